#include "codec/mpeg2_video.hpp"

#include <algorithm>

namespace quaver::mpeg2_video {

namespace {

// The esds object type of a profile_and_level_indication: the 4:2:2 profile
// is one of the escaped values; the others name the profile in bits 4..6.
std::uint8_t object_type_of(std::uint8_t profile_and_level) {
  if (profile_and_level & 0x80) {
    const unsigned escaped = profile_and_level & 0x0F;
    return escaped == 0x02 || escaped == 0x05 ? 0x65 : 0x61;
  }
  switch ((profile_and_level >> 4) & 7) {
    case 5: return 0x60;  // Simple
    case 3: return 0x62;  // SNR scalable
    case 2: return 0x63;  // Spatially scalable
    case 1: return 0x64;  // High
    default: return 0x61;  // Main
  }
}

}  // namespace

std::optional<Sequence> read_sequence(ByteView s) {
  if (s.size() < 12 || s[0] != 0 || s[1] != 0 || s[2] != 1 || s[3] != kSequenceHeaderCode) return std::nullopt;
  std::uint32_t width = (std::uint32_t{s[4]} << 4) | (s[5] >> 4);
  std::uint32_t height = ((std::uint32_t{s[5]} & 0x0F) << 8) | s[6];
  std::uint32_t rate = (std::uint32_t{s[8]} << 10) | (std::uint32_t{s[9]} << 2) | (s[10] >> 6);
  std::uint32_t vbv = ((std::uint32_t{s[10]} & 0x1F) << 5) | (s[11] >> 3);
  const bool variable = rate == 0x3FFFF;
  Sequence seq{};
  seq.object_type = 0x6A;
  // The sequence extension (extension id 1) among the extensions after the header.
  for (std::size_t q = 12; q + 10 <= s.size(); ++q) {
    if (s[q] != 0 || s[q + 1] != 0 || s[q + 2] != 1 || s[q + 3] != kExtensionCode || (s[q + 4] >> 4) != 1) continue;
    const std::uint8_t* e = s.data() + q + 4;
    seq.object_type = object_type_of(static_cast<std::uint8_t>(((e[0] & 0x0F) << 4) | (e[1] >> 4)));
    width |= ((std::uint32_t{e[1]} & 1) << 13) | ((std::uint32_t{e[2]} >> 7) << 12);
    height |= ((std::uint32_t{e[2]} >> 5) & 3) << 12;
    rate |= ((std::uint32_t{e[2]} & 0x1F) << 25) | ((std::uint32_t{e[3]} >> 1) << 18);
    vbv |= std::uint32_t{e[4]} << 10;
    break;
  }
  seq.size = PictureSize{static_cast<std::uint16_t>(std::min<std::uint32_t>(width, 0xFFFF)),
                         static_cast<std::uint16_t>(std::min<std::uint32_t>(height, 0xFFFF))};
  seq.bit_rate =
      variable ? 0 : static_cast<std::uint32_t>(std::min<std::uint64_t>(std::uint64_t{rate} * 400, 0xFFFFFFFF));
  seq.buffer_size = static_cast<std::uint32_t>(std::min<std::uint64_t>(std::uint64_t{vbv} * 2048, 0xFFFFFF));
  return seq;
}

void write_sample_entry(ByteBuilder& b, PictureSize size, const ParameterSets& sets) {
  const ByteView header = bytes_of(sets.sps);
  const std::optional<Sequence> seq = read_sequence(header);
  const std::size_t entry = b.open_box(fourcc("mp4v"));
  write_visual_entry_fields(b, size);
  EsdsFields esds{seq ? seq->object_type : std::uint8_t{0x61}, seq ? seq->buffer_size : 0, seq ? seq->bit_rate : 0,
                  seq ? seq->bit_rate : 0, seq ? header : ByteView()};
  esds.stream_type = kVisualStream;
  write_esds(b, esds);
  b.close_box(entry);
}

}  // namespace quaver::mpeg2_video
