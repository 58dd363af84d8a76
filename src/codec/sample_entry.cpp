#include "codec/sample_entry.hpp"

namespace quaver {

void write_visual_entry_fields(ByteBuilder& b, PictureSize size) {
  b.zeros(6);
  b.u16(1);  // data reference index
  b.u16(0);
  b.u16(0);
  b.zeros(12);
  b.u16(size.width);
  b.u16(size.height);
  b.u32(0x00480000);  // 72 dpi
  b.u32(0x00480000);
  b.u32(0);
  b.u16(1);  // frame count
  b.zeros(32);
  b.u16(0x0018);
  b.u16(0xFFFF);
}

std::optional<PictureSize> read_visual_entry_fields(ByteView body) {
  if (body.size() < kVisualEntryFields) return std::nullopt;
  return PictureSize{load_be16(body.data() + 24), load_be16(body.data() + 26)};
}

void write_audio_entry_fields(ByteBuilder& b, const AudioFormat& format) {
  b.zeros(6);
  b.u16(1);  // data reference index
  b.zeros(8);
  b.u16(format.channels);
  b.u16(16);
  b.u16(0);
  b.u16(0);
  b.u32(format.sample_rate_field());
}

std::optional<AudioEntryFields> read_audio_entry_fields(ByteView body) {
  if (body.size() < 28) return std::nullopt;
  return AudioEntryFields{load_be16(body.data() + 16), load_be32(body.data() + 24) >> 16};
}

std::size_t audio_entry_fields_length(ByteView body) {
  if (body.size() < 10) return 28;
  const std::uint16_t version = load_be16(body.data() + 8);
  return version == 1 ? 44 : version == 2 ? 64 : 28;
}

namespace {

// A descriptor's length: one byte below 128, else in 7-bit groups, each
// but the last with its top bit set.
std::size_t length_bytes(std::size_t n) { return n < 0x80 ? 1 : n < 0x4000 ? 2 : n < 0x200000 ? 3 : 4; }

void write_descriptor_head(ByteBuilder& b, std::uint8_t tag, std::size_t n) {
  b.u8(tag);
  for (std::size_t k = length_bytes(n); k-- > 0;) {
    b.u8(static_cast<std::uint8_t>(((n >> (7 * k)) & 0x7F) | (k ? 0x80 : 0)));
  }
}

}  // namespace

void write_esds(ByteBuilder& b, const EsdsFields& f) {
  const std::size_t info = f.specific_info.size();
  const std::size_t specific = info == 0 ? 0 : 1 + length_bytes(info) + info;
  const std::size_t config = 13 + specific;
  std::size_t esds = b.open_full_box(fourcc("esds"), 0, 0);
  write_descriptor_head(b, 0x03, 3 + 1 + length_bytes(config) + config + 3);  // ES descriptor
  b.u16(1);  // ES ID
  b.u8(0);   // no dependence, URL or OCR stream
  write_descriptor_head(b, 0x04, config);  // decoder configuration
  b.u8(f.object_type);
  b.u8(f.stream_type);
  b.u24(f.buffer_size & 0xFFFFFF);
  b.u32(f.max_bit_rate);
  b.u32(f.avg_bit_rate);
  if (specific) {
    write_descriptor_head(b, 0x05, info);
    b.bytes(f.specific_info);
  }
  b.u8(0x06);  // SL configuration: predefined 2
  b.u8(0x01);
  b.u8(0x02);
  b.close_box(esds);
}

std::uint8_t read_esds_object_type(ByteView esds) {
  std::size_t at = 4;  // version and flags
  const auto descriptor = [&](std::uint8_t tag) -> bool {
    if (at >= esds.size() || esds[at] != tag) return false;
    ++at;
    for (int i = 0; i < 4 && at < esds.size(); ++i) {  // the length: up to four bytes of 7 bits
      if (!(esds[at++] & 0x80)) break;
    }
    return true;
  };
  if (!descriptor(3)) return 0;
  if (at + 3 > esds.size()) return 0;
  const std::uint8_t flags = esds[at + 2];
  at += 3;  // ES_ID, flags
  if (flags & 0x80) at += 2;                                     // dependsOn_ES_ID
  if ((flags & 0x40) && at < esds.size()) at += 1 + esds[at];    // URL
  if (flags & 0x20) at += 2;                                     // OCR_ES_Id
  if (!descriptor(4) || at >= esds.size()) return 0;
  return esds[at];
}

}  // namespace quaver
