#include "codec/mpeg_audio.hpp"

namespace quaver::mpeg_audio {

namespace {

// kbit/s by bit rate index 1..14.
constexpr std::uint16_t kMpeg1Kbps[3][14] = {
    {32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},  // layer I
    {32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},     // layer II
    {32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},      // layer III
};
constexpr std::uint16_t kMpeg2Kbps[2][14] = {
    {32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},  // layer I
    {8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},       // layers II and III
};
// Hz by sample rate index, for version bits 00 (MPEG-2.5), 10 (MPEG-2) and 11 (MPEG-1).
constexpr std::uint32_t kRates[3][3] = {{11025, 12000, 8000}, {22050, 24000, 16000}, {44100, 48000, 32000}};

}  // namespace

std::optional<Header> read_header(const std::uint8_t* q) {
  if (q[0] != 0xFF || (q[1] & 0xE0) != 0xE0) return std::nullopt;
  const unsigned version = (q[1] >> 3) & 3;  // 0 MPEG-2.5, 1 reserved, 2 MPEG-2, 3 MPEG-1
  const unsigned layer_bits = (q[1] >> 1) & 3;  // 1 layer III, 2 layer II, 3 layer I
  const unsigned rate_index = q[2] >> 4;
  const unsigned freq_index = (q[2] >> 2) & 3;
  if (version == 1 || layer_bits == 0 || rate_index == 0 || rate_index == 15 || freq_index == 3) {
    return std::nullopt;
  }
  Header h{};
  h.mpeg1 = version == 3;
  h.layer = static_cast<std::uint8_t>(4 - layer_bits);
  h.sample_rate = kRates[version == 0 ? 0 : version - 1][freq_index];
  const std::uint32_t kbps = h.mpeg1 ? kMpeg1Kbps[h.layer - 1][rate_index - 1]
                                     : kMpeg2Kbps[h.layer == 1 ? 0 : 1][rate_index - 1];
  h.bit_rate = kbps * 1000;
  const std::size_t padding = (q[2] >> 1) & 1;
  h.mono = (q[3] >> 6) == 3;
  if (h.layer == 1) {
    h.samples_per_frame = 384;
    h.frame_length = (12 * std::size_t{h.bit_rate} / h.sample_rate + padding) * 4;
  } else {
    // Layer III at the lower rates codes one granule, half the samples.
    h.samples_per_frame = h.layer == 3 && !h.mpeg1 ? 576 : 1152;
    h.frame_length = std::size_t{h.samples_per_frame} / 8 * h.bit_rate / h.sample_rate + padding;
  }
  return h;
}

AudioFormat format(const Header& first) {
  return AudioFormat{first.sample_rate, first.samples_per_frame, static_cast<std::uint16_t>(first.mono ? 1 : 2)};
}

void write_sample_entry(ByteBuilder& b, const Header& first) {
  const std::size_t entry = b.open_box(fourcc("mp4a"));
  write_audio_entry_fields(b, format(first));
  write_esds(b, EsdsFields{static_cast<std::uint8_t>(first.mpeg1 ? 0x6B : 0x69),
                           static_cast<std::uint32_t>(first.frame_length), first.bit_rate, first.bit_rate, {}});
  b.close_box(entry);
}

}  // namespace quaver::mpeg_audio
