// AAC: the ADTS frames a transport stream carries it in, the
// AudioSpecificConfig their header declares, and its MP4 sample entry (mp4a
// with an esds).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "codec/framing.hpp"
#include "codec/sample_entry.hpp"
#include "core/bytes.hpp"
#include "core/output.hpp"

namespace quaver::aac {

// The 13-bit frame length of the ADTS header at q, header included.
inline std::uint32_t adts_frame_length(const std::uint8_t* q) {
  return ((q[3] & 0x03u) << 11) | (std::uint32_t{q[4]} << 3) | (q[5] >> 5);
}
// A position q holds an ADTS header when q + 7 < n, the 12-bit sync word is
// set, the layer bits are 00 and the frame length covers at least a header.
inline bool is_adts_header(const std::uint8_t* q) {
  if (q[0] != 0xFF || (q[1] & 0xF6) != 0xF0) return false;
  return adts_frame_length(q) >= 7;
}

// Hz by sampling_frequency_index (13 and above are reserved, 15 escapes to
// an explicit rate where a syntax allows it).
inline constexpr std::uint32_t kSampleRates[13] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                                   22050, 16000, 12000, 11025, 8000, 7350};

// What the ADTS header in front of the first audio frame declares.
struct AdtsConfig {
  std::uint8_t profile;         // ADTS profile: audio object type - 1
  std::uint8_t sampling_index;  // sampling_frequency_index, 0..15
  std::uint8_t channel_config;  // channel_configuration, 0..7
};

// ADTS frames, each one MP4 sample without its header (see framing.hpp).
// The configuration is the first sample's header's.
class AdtsFrames : public FramerConfig<AdtsConfig> {
 public:
  // The header is 7 bytes, but a candidate is only judged with one more byte behind it.
  static constexpr std::size_t kHeaderBytes = 8;
  static constexpr std::uint8_t kSyncByte = 0xFF;
  static std::size_t frame_length(const std::uint8_t* q) { return is_adts_header(q) ? adts_frame_length(q) : 0; }

  // A frame with nothing after its header is dropped.
  SampleStep add(ByteView frame);
};

// The track's format: at the header's sample rate, 1024 samples a frame;
// channel configuration 0 (given in the stream) counts as stereo, 7 as
// eight channels. A reserved sample rate index (13 and above) gives the
// fixed AAC-LC 48 kHz stereo description.
AudioFormat format(const AdtsConfig& c);

// The two-byte AudioSpecificConfig: object type, sample rate index and
// channel configuration (0x1190, AAC-LC 48 kHz stereo, where the index is
// reserved).
std::uint16_t audio_specific_config(const AdtsConfig& c);

// mp4a with an esds for MPEG-4 audio (object type 0x40), a 768-byte buffer,
// 128 kbit/s and the AudioSpecificConfig as its decoder specific information.
void write_sample_entry(ByteBuilder& b, const AudioFormat& format, ByteView audio_specific_config);
void write_sample_entry(ByteBuilder& b, const AdtsConfig& c);

}  // namespace quaver::aac
