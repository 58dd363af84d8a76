// The demultiplexed transport stream, handed by value from the parser to its
// consumer (the MP4 writer, the key-frame extraction).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/chunked_bytes.hpp"

namespace quaver {

// 90 kHz ticks. The 33-bit values of the stream are unwrapped around the
// first timestamp read (see parse_ts_packets), so a stream that crosses the
// wrap keeps counting up, and a value may be negative.
using Timestamp = std::int64_t;

struct TimestampPair {
  std::optional<Timestamp> pts;
  std::optional<Timestamp> dts;
};

// One cut AAC frame: a range of MediaData::audio_frame_bytes.
struct AudioFrameRef {
  std::size_t offset;  // bytes into audio_frame_bytes
  std::size_t size;    // bytes, ADTS header excluded
};

// What the ADTS header in front of the first audio frame declares.
struct AdtsConfig {
  std::uint8_t profile;             // ADTS profile: audio object type - 1
  std::uint8_t sampling_index;      // sampling_frequency_index, 0..15
  std::uint8_t channel_config;      // channel_configuration, 0..7
};

struct MediaData {
  // Video elementary stream of video_pid in Annex B form, PES headers removed.
  // It refers to the parser's input, which must outlive this record.
  ChunkedBytes video_data;
  // One entry per PES start on video_pid, in arrival order.
  std::vector<TimestampPair> video_timestamps;
  // Where the bytes of each PES start on video_pid begin in video_data, in
  // order; a PES start that added no bytes is not listed.
  std::vector<std::size_t> video_pes_starts;
  // Raw AAC frames (ADTS headers stripped), back to back, and their ranges.
  std::vector<std::uint8_t> audio_frame_bytes;
  std::vector<AudioFrameRef> audio_frames;
  // PTS given to each frame; same index as audio_frames.
  std::vector<std::optional<Timestamp>> audio_timestamps;
  // First SPS and PPS: NAL header included, start code excluded, escaped as in the stream.
  std::optional<std::vector<std::uint8_t>> sps;
  std::optional<std::vector<std::uint8_t>> pps;
  std::uint16_t width = 1920;   // pixels, from the SPS kept
  std::uint16_t height = 1080;  // pixels, from the SPS kept
  std::optional<std::uint16_t> video_pid;
  std::optional<std::uint16_t> audio_pid;
  std::optional<AdtsConfig> audio_config;
  // Working fields: audio bytes not yet cut into frames, and the PTS of the
  // latest audio PES header.
  std::vector<std::uint8_t> audio_buffer;
  std::optional<Timestamp> audio_pts;

  ByteView audio_frame(std::size_t i) const {
    const AudioFrameRef& f = audio_frames[i];
    return ByteView(audio_frame_bytes.data() + f.offset, f.size);
  }
};

}  // namespace quaver
