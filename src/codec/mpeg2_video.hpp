// MPEG-2 video (and the MPEG-1 syntax it extends): where its pictures are in
// the elementary stream, what its sequence header declares, and its MP4
// sample entry (mp4v with an esds).
//
// The stream is a run of start codes (00 00 01 and a code byte), each
// opening a header or a slice; no start code can occur inside the data, so a
// scan for 00 00 01 finds every one. A sample is one picture together with
// the headers in front of it: a sequence header (B3) with its extensions, a
// group-of-pictures header (B8), the picture header (00) and its slices. Its
// picture coding type (I, P, B) is read from the picture header. A frame
// coded as two field pictures is one sample: the second field (its picture
// coding extension says which field each is) stays with the first, as the
// frame's timestamps and a player take them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>

#include "codec/nal.hpp"
#include "codec/sample_entry.hpp"
#include "core/bytes.hpp"
#include "core/output.hpp"

namespace quaver::mpeg2_video {

constexpr std::uint8_t kPictureCode = 0x00;
constexpr std::uint8_t kSequenceHeaderCode = 0xB3;
constexpr std::uint8_t kExtensionCode = 0xB5;
constexpr std::uint8_t kGroupCode = 0xB8;
constexpr std::uint8_t kPictureCodingExtension = 8;  // extension_start_code_identifier

// What a sequence header and its sequence extension declare.
struct Sequence {
  PictureSize size;
  std::uint8_t object_type;   // of the esds: 0x60..0x65 by MPEG-2 profile, 0x6A without the extension (MPEG-1)
  std::uint32_t bit_rate;     // bit/s; 0 where the header says variable
  std::uint32_t buffer_size;  // bytes of the VBV buffer, at most 2^24 - 1
};

// The sequence header at the start of `bytes` (start code included) and the
// sequence extension among the extensions after it; nothing when the bytes
// are not one or end before its fields.
std::optional<Sequence> read_sequence(ByteView bytes);

// A picture with its headers, as a sample: [begin, end) of the stream.
struct Picture {
  std::size_t begin;
  std::size_t end;
  bool key;  // an I picture with a sequence header in front of it
  std::size_t second_field = 0;  // where the second field's picture header starts; 0 for a frame picture
};

// Calls visit(picture) for each picture of the stream, in order. A picture
// opens at the first sequence, group or picture header after the previous
// picture's header and ends where the next one opens (the last at the end
// of the bytes); the picture header of a first field's second field opens
// none. Bytes before the first header, and headers after the last picture,
// belong to no picture. `visit` returns false to stop.
template <class Bytes, class Visit>
void for_each_picture(const Bytes& v, Visit&& visit) {
  const std::size_t n = v.size();
  bool open = false;      // a picture's headers have begun
  bool pictured = false;  // and its picture header came
  bool sequence = false;  // and a sequence header did
  bool intra = false;
  // The picture so far is a field whose second field is still to come.
  bool first_field = false;
  std::size_t fields = 0;  // field pictures in the open picture
  std::size_t second = 0;  // where its second field starts
  std::size_t begin = 0;
  for (std::size_t q = v.find_start3(0); q + 3 < n; q = v.find_start3(q + 3)) {
    const std::uint8_t code = v.nal_header(q + 3);
    if (code == kExtensionCode && pictured && q + 6 < n && (v.at(q + 4) >> 4) == kPictureCodingExtension) {
      // picture_structure: 1 top field, 2 bottom field, 3 frame.
      const unsigned structure = v.at(q + 6) & 3;
      first_field = structure != 3 && structure != 0 && ++fields == 1;
      continue;
    }
    if (code != kPictureCode && code != kSequenceHeaderCode && code != kGroupCode) continue;
    if (code == kPictureCode && first_field) {
      first_field = false;  // the second field joins the first
      second = q;
      continue;
    }
    if (pictured) {
      if (!visit(Picture{begin, q, intra && sequence, second})) return;
      open = pictured = sequence = first_field = false;
      fields = second = 0;
    }
    if (!open) {
      open = true;
      begin = q;
    }
    if (code == kSequenceHeaderCode) sequence = true;
    if (code == kPictureCode) {
      pictured = true;
      // temporal_reference (10 bits), then picture_coding_type (3 bits): 1 is I.
      intra = q + 5 < n && ((v.at(q + 5) >> 3) & 7) == 1;
    }
  }
  if (pictured) visit(Picture{begin, n, intra && sequence, second});
}

// The first sequence header of the stream with the extensions that follow
// it, start code included: what the decoder configuration carries. Nothing
// without one, or when it runs past `kMaxConfig` bytes.
inline constexpr std::size_t kMaxConfig = 512;
template <class Bytes>
std::optional<std::pair<std::size_t, std::size_t>> find_sequence_header(const Bytes& v) {
  const std::size_t n = v.size();
  for (std::size_t q = v.find_start3(0); q + 3 < n; q = v.find_start3(q + 3)) {
    if (v.nal_header(q + 3) != kSequenceHeaderCode) continue;
    std::size_t end = q + 4;
    for (;;) {
      const std::size_t next = v.find_start3(end);
      if (next + 3 >= n) {
        end = n;
        break;
      }
      end = next;
      if (v.nal_header(next + 3) != kExtensionCode) break;
      end = next + 4;
    }
    if (end - q > kMaxConfig) return std::nullopt;
    return std::pair{q, end};
  }
  return std::nullopt;
}

// mp4v with an esds for the profile of the stream's first sequence header
// (`sets.sps`, start code included), which is also its decoder specific
// information; Main profile and no such information without one.
void write_sample_entry(ByteBuilder& b, PictureSize size, const ParameterSets& sets);

// Whether an esds object type names MPEG-1 or MPEG-2 video.
inline bool is_object_type(std::uint8_t object_type) {
  return (object_type >= 0x60 && object_type <= 0x65) || object_type == 0x6A;
}

}  // namespace quaver::mpeg2_video
