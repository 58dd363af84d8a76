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

// What the head of a slice says of its picture, as far as telling random
// access points and the fields of a frame apart needs it.
struct SliceHead {
  bool first_in_picture = false;  // the picture's first slice
  bool intra = false;             // decodes without other pictures (I or SI)
  bool field = false;             // one field of a frame (field_pic_flag)
  bool bottom = false;            // the bottom one
  std::uint32_t frame_num = 0;
};

// What reading slice heads needs of the stream's SPS.
struct SliceCoding {
  std::uint32_t frame_num_bits = 4;
  bool frames_only = true;  // no picture is a field (frame_mbs_only_flag)
  bool colour_planes = false;
};

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
  // A slice of a picture, of any kind.
  bool (*is_slice)(std::uint8_t type);
  // Units of this type may mark the picture that follows them as a random
  // access point (H.264's SEI: a recovery point); 0xFF where none do.
  std::uint8_t marker;
  // Whether such a unit (header first, escaped as stored, cut at
  // kMarkerBytes) marks it; null where no unit does.
  bool (*marks_random_access)(ByteView unit);
  // The codec's slice heads, for streams that may have neither key slices
  // nor markers, and for field pictures; null where the unit type tells
  // enough. slice_coding reads an SPS (header first, escaped); slice_head
  // reads a slice cut at kSliceHeadBytes.
  std::optional<SliceCoding> (*slice_coding)(ByteView sps);
  std::optional<SliceHead> (*slice_head)(ByteView slice, const SliceCoding& coding);
};

// How much of a marker unit and of a slice is read: a recovery point
// follows at most a few timing messages, and the fields read open a slice
// header (five Exp-Golomb codes of at most 8 bytes and a few bits).
constexpr std::size_t kMarkerBytes = 1024;
constexpr std::size_t kSliceHeadBytes = 48;

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
