// What every sample entry shares, whatever its codec: the fixed fields that
// a visual or an audio sample entry opens with, and the esds box that MPEG-4
// systems entries (mp4a) carry. Written for the entries each codec writes,
// read where an MP4's entries are looked into (the track listing, the
// key-frame search, the encryption check).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "core/output.hpp"

namespace quaver {

struct PictureSize {
  std::uint16_t width;   // pixels
  std::uint16_t height;
};

// What an audio sample entry and its track's timing are written from.
struct AudioFormat {
  std::uint32_t sample_rate = 48000;  // Hz, also the track's media timescale
  std::uint32_t frame_samples = 1024;  // audio samples in each MP4 sample
  std::uint16_t channels = 2;
  // The entry's 16.16 sample rate field: 0 for a rate above 65535 Hz.
  std::uint32_t sample_rate_field() const { return sample_rate <= 0xFFFF ? sample_rate << 16 : 0; }
};

// ---- visual sample entries --------------------------------------------------

// Bytes of fields a visual sample entry has before its child boxes.
inline constexpr std::size_t kVisualEntryFields = 78;

// Reserved bytes, data reference index 1, and the 70 bytes of a visual
// sample entry (picture size, 72 dpi, one frame per sample, depth 24).
void write_visual_entry_fields(ByteBuilder& b, PictureSize size);

// The picture size of a visual sample entry body; nothing where the body
// is shorter than its fields.
std::optional<PictureSize> read_visual_entry_fields(ByteView entry_body);

// ---- audio sample entries ---------------------------------------------------

// Reserved bytes, data reference index 1, and the 20 bytes of an audio sample
// entry (channel count, 16-bit samples, the 16.16 sample rate field).
void write_audio_entry_fields(ByteBuilder& b, const AudioFormat& format);

struct AudioEntryFields {
  std::uint16_t channels;
  std::uint32_t sample_rate;  // Hz: the integer part of the 16.16 field
};
// Nothing where the body is shorter than its 28 bytes of fields.
std::optional<AudioEntryFields> read_audio_entry_fields(ByteView entry_body);

// Bytes of fields an audio sample entry has before its child boxes: 28, or
// 16 and 36 more for the QuickTime layouts of version 1 and 2 (28 where the
// body is too short to say).
std::size_t audio_entry_fields_length(ByteView entry_body);

// ---- esds -------------------------------------------------------------------

// The byte of a decoder configuration naming the stream's kind (not upstream).
inline constexpr std::uint8_t kAudioStream = 0x15;
inline constexpr std::uint8_t kVisualStream = 0x11;

// An esds box: ES descriptor 1 holding a decoder configuration (object type,
// stream kind, buffer size, maximum and average bit rate, and the decoder
// specific information when there is some) and the predefined SL configuration.
struct EsdsFields {
  std::uint8_t object_type;
  std::uint32_t buffer_size;  // bytes, 24 bits
  std::uint32_t max_bit_rate;
  std::uint32_t avg_bit_rate;
  ByteView specific_info;     // empty: no decoder-specific descriptor
  std::uint8_t stream_type = kAudioStream;
};
void write_esds(ByteBuilder& b, const EsdsFields& f);

// The objectTypeIndication of the decoder configuration (tag 4) inside the
// ES descriptor (tag 3) of an esds body; 0 when it cannot be read.
std::uint8_t read_esds_object_type(ByteView esds_body);

}  // namespace quaver
