#include "codec/aac.hpp"

#include <iterator>

namespace quaver::aac {

SampleStep AdtsFrames::add(ByteView frame) {
  const std::size_t header = (frame[1] & 0x01) ? 7 : 9;  // protection_absent, else a CRC follows
  if (frame.size() <= header) return {SampleStep::Kind::kDrop, {}};
  if (!config_) {
    config_ = AdtsConfig{static_cast<std::uint8_t>(frame[2] >> 6), static_cast<std::uint8_t>((frame[2] >> 2) & 0x0F),
                         static_cast<std::uint8_t>(((frame[2] & 0x01) << 2) | (frame[3] >> 6))};
  }
  return {SampleStep::Kind::kOpen, frame.subspan(header)};
}

AudioFormat format(const AdtsConfig& c) {
  AudioFormat f;
  if (c.sampling_index >= std::size(kSampleRates)) return f;
  f.sample_rate = kSampleRates[c.sampling_index];
  f.channels = c.channel_config == 0 ? 2 : c.channel_config == 7 ? 8 : c.channel_config;
  return f;
}

std::uint16_t audio_specific_config(const AdtsConfig& c) {
  if (c.sampling_index >= std::size(kSampleRates)) return 0x1190;
  return static_cast<std::uint16_t>(((c.profile + 1) << 11) | (c.sampling_index << 7) | (c.channel_config << 3));
}

void write_sample_entry(ByteBuilder& b, const AudioFormat& format, ByteView audio_specific_config) {
  const std::size_t mp4a = b.open_box(fourcc("mp4a"));
  write_audio_entry_fields(b, format);
  write_esds(b, EsdsFields{0x40, 768, 128000, 128000, audio_specific_config});
  b.close_box(mp4a);
}

void write_sample_entry(ByteBuilder& b, const AdtsConfig& c) {
  const std::uint16_t asc = audio_specific_config(c);
  const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(asc >> 8), static_cast<std::uint8_t>(asc)};
  write_sample_entry(b, format(c), ByteView(bytes, 2));
}

}  // namespace quaver::aac
