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

void write_esds(ByteBuilder& b, const EsdsFields& f) {
  // Every descriptor here is short enough for the one-byte length form.
  const std::size_t specific = f.specific_info.empty() ? 0 : 2 + f.specific_info.size();
  const std::size_t config = 13 + specific;
  std::size_t esds = b.open_full_box(fourcc("esds"), 0, 0);
  b.u8(0x03);  // ES descriptor
  b.u8(static_cast<std::uint8_t>(3 + 2 + config + 3));
  b.u16(1);  // ES ID
  b.u8(0);   // no dependence, URL or OCR stream
  b.u8(0x04);  // decoder configuration
  b.u8(static_cast<std::uint8_t>(config));
  b.u8(f.object_type);
  b.u8(0x15);  // audio stream, not upstream
  b.u24(f.buffer_size & 0xFFFFFF);
  b.u32(f.max_bit_rate);
  b.u32(f.avg_bit_rate);
  if (specific) {
    b.u8(0x05);
    b.u8(static_cast<std::uint8_t>(f.specific_info.size()));
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
