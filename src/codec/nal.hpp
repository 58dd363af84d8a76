// What the codecs whose streams are made of NAL units (H.264 and HEVC)
// share: the description of their NAL units that the access-unit split and
// the key-frame search go by, the parameter sets a stream declares first,
// and what an MP4 decoder configuration record (avcC, hvcC) says of them.
// The Annex B start-code rules are core/annexb.hpp's. A video codec whose
// stream is not made of NAL units (MPEG-2 video) has none of this: its
// pictures are found by its own syntax.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/bytes.hpp"

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

// The first parameter sets of a stream: NAL header included, start code
// excluded, escaped as in the stream; absent where the stream had none. The
// VPS exists in HEVC streams only.
struct ParameterSets {
  std::optional<std::vector<std::uint8_t>> vps;
  std::optional<std::vector<std::uint8_t>> sps;
  std::optional<std::vector<std::uint8_t>> pps;

  // In the order they stand in front of a key frame.
  auto in_order() const { return std::array<const std::optional<std::vector<std::uint8_t>>*, 3>{&vps, &sps, &pps}; }
};

inline ByteView bytes_of(const std::optional<std::vector<std::uint8_t>>& set) {
  return set ? ByteView(set->data(), set->size()) : ByteView();
}

// What a key frame taken from an MP4 needs of its decoder configuration
// record: the parameter sets it lists, as far as they are whole, and the
// width of the length field in front of each NAL unit of a sample.
struct NalConfigRecord {
  std::vector<ByteView> parameter_sets;  // views into the record
  std::size_t length_size = 4;           // bytes: lengthSizeMinusOne + 1
};

}  // namespace quaver
