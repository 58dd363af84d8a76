// What the access-unit split and the key-frame search need to know about a
// video coding format's NAL units. The Annex B start-code rules are shared
// (core/annexb.hpp); only the header layout and the meaning of the types
// differ between formats.
#pragma once

#include <cstdint>

namespace quaver {

// Where a parameter set goes in the decoder configuration.
enum class ParameterSet : std::uint8_t { kNone, kVideo, kSequence, kPicture };

struct NalSyntax {
  std::uint8_t header_length;                   // bytes of the NAL unit header
  std::uint8_t (*type_of)(std::uint8_t first);  // unit type from the first header byte
  std::uint8_t delimiter;                       // access-unit delimiter
  std::uint8_t filler;                          // filler data
  // Parameter sets and delimiters: carried by the sample description (or of
  // no use in MP4), so left out of the samples.
  bool (*left_out)(std::uint8_t type);
  // A slice of a picture that decodes on its own (a sync sample).
  bool (*is_key)(std::uint8_t type);
  // Which parameter set a unit of this type is, if any.
  ParameterSet (*parameter_set)(std::uint8_t type);
};

// H.264: one header byte, type in its low five bits.
extern const NalSyntax kH264Syntax;
// HEVC: two header bytes, type in bits 1..6 of the first; key pictures are
// the intra random access points (types 16 to 23).
extern const NalSyntax kHevcSyntax;

}  // namespace quaver
