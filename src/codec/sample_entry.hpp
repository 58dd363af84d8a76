// Sample entries and decoder configuration boxes, one writer per codec, and
// the fixed fields that every visual or audio sample entry opens with.
#pragma once

#include <cstdint>
#include <optional>

#include "core/output.hpp"
#include "ts_parser/ac3.hpp"
#include "ts_parser/hevc.hpp"
#include "ts_parser/mpeg_audio.hpp"

namespace quaver {

// Reserved bytes, data reference index 1, and the 70 bytes of a visual
// sample entry (picture size, 72 dpi, one frame per sample, depth 24).
void write_visual_entry_fields(ByteBuilder& b, std::uint16_t width, std::uint16_t height);

// Reserved bytes, data reference index 1, and the 20 bytes of an audio sample
// entry (channel count, 16-bit samples, the 16.16 sample rate field).
void write_audio_entry_fields(ByteBuilder& b, std::uint16_t channels, std::uint32_t sample_rate_field);

// An esds box: ES descriptor 1 holding a decoder configuration (object type,
// audio stream, buffer size, maximum and average bit rate, and the decoder
// specific information when there is some) and the predefined SL configuration.
struct EsdsFields {
  std::uint8_t object_type;
  std::uint32_t buffer_size;  // bytes, 24 bits
  std::uint32_t max_bit_rate;
  std::uint32_t avg_bit_rate;
  ByteView specific_info;     // empty: no decoder-specific descriptor
};
void write_esds(ByteBuilder& b, const EsdsFields& f);

// The HEVC parameter sets of the track, NAL header first, start code excluded.
struct HevcParameterSets {
  ByteView vps;
  ByteView sps;
  ByteView pps;
};
// An hvcC box: the profile, chroma format, bit depths and temporal layers from
// the SPS fields (zeros, 4:2:0 and 8 bits when they could not be read), 4-byte
// NAL lengths, then one complete array for each parameter set present.
// Nothing is written when a set does not fit its 16-bit length field.
void write_hvcc(ByteBuilder& b, const std::optional<hevc::SpsInfo>& sps, const HevcParameterSets& sets);

// ac-3 with dac3, ec-3 with dec3, and mp4a with an esds whose object type
// names MPEG-1 (0x6B) or MPEG-2 (0x69) audio and that carries no decoder
// specific information.
void write_ac3_entry(ByteBuilder& b, const Ac3Config& c);
void write_eac3_entry(ByteBuilder& b, const Eac3Config& c);
void write_mpeg_audio_entry(ByteBuilder& b, const MpegAudioHeader& first);

}  // namespace quaver
