#include "mp4_writer/sample_entries.hpp"

namespace quaver {

void write_visual_entry_fields(ByteBuilder& b, std::uint16_t width, std::uint16_t height) {
  b.zeros(6);
  b.u16(1);  // data reference index
  b.u16(0);
  b.u16(0);
  b.zeros(12);
  b.u16(width);
  b.u16(height);
  b.u32(0x00480000);  // 72 dpi
  b.u32(0x00480000);
  b.u32(0);
  b.u16(1);  // frame count
  b.zeros(32);
  b.u16(0x0018);
  b.u16(0xFFFF);
}

void write_audio_entry_fields(ByteBuilder& b, std::uint16_t channels, std::uint32_t sample_rate_field) {
  b.zeros(6);
  b.u16(1);  // data reference index
  b.zeros(8);
  b.u16(channels);
  b.u16(16);
  b.u16(0);
  b.u16(0);
  b.u32(sample_rate_field);
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

void write_hvcc(ByteBuilder& b, const std::optional<hevc::SpsInfo>& sps, const HevcParameterSets& sets) {
  const ByteView arrays[3] = {sets.vps, sets.sps, sets.pps};
  const std::uint8_t types[3] = {hevc::kVps, hevc::kSps, hevc::kPps};
  std::uint8_t count = 0;
  for (ByteView a : arrays) {
    if (a.size() > 0xFFFF) return;
    count += !a.empty();
  }
  const hevc::SpsInfo s = sps.value_or(hevc::SpsInfo{});
  std::size_t box = b.open_box(fourcc("hvcC"));
  b.u8(1);  // configurationVersion
  b.bytes(s.general_profile.data(), s.general_profile.size());
  b.u16(0xF000);  // reserved bits, min_spatial_segmentation_idc 0
  b.u8(0xFC);     // reserved bits, parallelismType 0 (unknown)
  b.u8(static_cast<std::uint8_t>(0xFC | (s.chroma_format_idc & 3)));
  b.u8(static_cast<std::uint8_t>(0xF8 | (s.bit_depth_luma_minus8 & 7)));
  b.u8(static_cast<std::uint8_t>(0xF8 | (s.bit_depth_chroma_minus8 & 7)));
  b.u16(0);  // avgFrameRate unknown
  // constantFrameRate 0, numTemporalLayers, temporalIdNested, lengthSizeMinusOne 3.
  b.u8(static_cast<std::uint8_t>(((s.max_sub_layers & 7) << 3) | (s.temporal_id_nested ? 4 : 0) | 3));
  b.u8(count);
  for (int i = 0; i < 3; ++i) {
    if (arrays[i].empty()) continue;
    b.u8(static_cast<std::uint8_t>(0x80 | types[i]));  // array_completeness 1
    b.u16(1);
    b.u16(static_cast<std::uint16_t>(arrays[i].size()));
    b.bytes(arrays[i]);
  }
  b.close_box(box);
}

void write_ac3_entry(ByteBuilder& b, const Ac3Config& c) {
  std::size_t entry = b.open_box(fourcc("ac-3"));
  write_audio_entry_fields(b, c.channels, c.sample_rate << 16);
  std::size_t dac3 = b.open_box(fourcc("dac3"));
  b.u24((std::uint32_t{c.fscod} << 22) | (std::uint32_t{c.bsid & 0x1Fu} << 17) | (std::uint32_t{c.bsmod & 7u} << 14) |
        (std::uint32_t{c.acmod & 7u} << 11) | (std::uint32_t{c.lfeon & 1u} << 10) |
        (std::uint32_t{c.bit_rate_code & 0x1Fu} << 5));
  b.close_box(dac3);
  b.close_box(entry);
}

void write_eac3_entry(ByteBuilder& b, const Eac3Config& c) {
  std::size_t entry = b.open_box(fourcc("ec-3"));
  write_audio_entry_fields(b, c.channels, c.sample_rate <= 0xFFFF ? c.sample_rate << 16 : 0);
  std::size_t dec3 = b.open_box(fourcc("dec3"));
  const unsigned count = c.substream_count ? c.substream_count : 1;
  b.u16(static_cast<std::uint16_t>(((c.data_rate & 0x1FFFu) << 3) | (count - 1)));
  for (unsigned i = 0; i < count; ++i) {
    const Eac3Substream& s = c.substreams[i];
    // fscod, bsid, reserved, asvc 0, bsmod, acmod, lfeon, reserved, num_dep_sub,
    // then chan_loc (9 bits) when there are dependents, else a reserved bit.
    std::uint32_t bits = (std::uint32_t{s.fscod & 3u} << 22) | (std::uint32_t{s.bsid & 0x1Fu} << 17) |
                         (std::uint32_t{s.bsmod & 7u} << 12) | (std::uint32_t{s.acmod & 7u} << 9) |
                         (std::uint32_t{s.lfeon & 1u} << 8) | (std::uint32_t{s.num_dep_sub & 0xFu} << 1);
    if (s.num_dep_sub > 0) bits |= (s.chan_loc >> 8) & 1;
    b.u24(bits);
    if (s.num_dep_sub > 0) b.u8(static_cast<std::uint8_t>(s.chan_loc));
  }
  b.close_box(dec3);
  b.close_box(entry);
}

void write_mpeg_audio_entry(ByteBuilder& b, const MpegAudioHeader& first) {
  std::size_t entry = b.open_box(fourcc("mp4a"));
  write_audio_entry_fields(b, first.mono ? 1 : 2, first.sample_rate << 16);
  write_esds(b, EsdsFields{static_cast<std::uint8_t>(first.mpeg1 ? 0x6B : 0x69),
                           static_cast<std::uint32_t>(first.frame_length), first.bit_rate, first.bit_rate, {}});
  b.close_box(entry);
}

}  // namespace quaver
