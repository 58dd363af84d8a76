// The demultiplexed transport stream, handed by value from the parser to its
// consumer (the MP4 writer, the key-frame extraction).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <variant>
#include <vector>

#include "core/chunked_bytes.hpp"
#include "core/nal_syntax.hpp"
#include "ts_parser/ac3.hpp"
#include "ts_parser/hevc.hpp"
#include "ts_parser/inventory.hpp"
#include "ts_parser/mpeg_audio.hpp"

namespace quaver {

// 90 kHz ticks. The 33-bit values of the stream are unwrapped around the
// first timestamp read (see parse_ts_packets), so a stream that crosses the
// wrap keeps counting up, and a value may be negative.
using Timestamp = std::int64_t;

struct TimestampPair {
  std::optional<Timestamp> pts;
  std::optional<Timestamp> dts;
};

// An audio PES in which at least one sample begins.
struct AudioPes {
  std::optional<Timestamp> pts;
  std::size_t first_sample;  // index of the first sample that begins in it
};

// The coding formats a stream may carry (the demultiplexer's choice).
enum class VideoCodec : std::uint8_t { kH264, kHevc };
enum class AudioCodec : std::uint8_t { kAac, kAc3, kEac3, kMpegAudio };

// What the ADTS header in front of the first audio frame declares.
struct AdtsConfig {
  std::uint8_t profile;             // ADTS profile: audio object type - 1
  std::uint8_t sampling_index;      // sampling_frequency_index, 0..15
  std::uint8_t channel_config;      // channel_configuration, 0..7
};

// What the first frames of an audio stream declare, by its format: nothing
// until a frame has been read.
using AudioConfig = std::variant<std::monostate, AdtsConfig, Ac3Config, Eac3Config, MpegAudioHeader>;

// One audio stream, cut into MP4 samples.
struct AudioTrack {
  std::uint16_t pid = 0;
  std::array<char, 3> language{};  // of its map's language descriptor; zeros when none
  // As chosen from the map; AAC where a stream typed as MPEG audio turned
  // out to carry ADTS frames.
  AudioCodec codec = AudioCodec::kAac;
  // The samples, back to back, and their sizes: AAC frames without their
  // ADTS headers; AC-3 and MPEG audio frames whole; E-AC-3 frames gathered
  // into units of 1536 audio samples (see Eac3Gatherer). A size takes 4
  // bytes: a hostile stream can hold a frame every 8 bytes.
  std::vector<std::uint8_t> frame_bytes;
  std::vector<std::uint32_t> frame_sizes;
  // The PES in which samples begin, in order: a sample's time is the PTS of
  // the PES its first byte arrived in, plus its position among the samples
  // that begin there. Samples before the first entry have no time.
  std::vector<AudioPes> pes;
  // For the report: the PTS of the PES that was current when the first and
  // when the last sample were cut.
  std::optional<Timestamp> report_first;
  std::optional<Timestamp> report_last;
  AudioConfig config;

  std::size_t samples() const { return frame_sizes.size(); }
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
  // First parameter sets: NAL header included, start code excluded, escaped
  // as in the stream. The VPS exists in HEVC streams only.
  std::optional<std::vector<std::uint8_t>> vps;
  std::optional<std::vector<std::uint8_t>> sps;
  std::optional<std::vector<std::uint8_t>> pps;
  // What the HEVC SPS kept declares, when it could be read.
  std::optional<hevc::SpsInfo> hevc_sps;
  std::uint16_t width = 1920;   // pixels, from the SPS kept
  std::uint16_t height = 1080;  // pixels, from the SPS kept
  std::optional<std::uint16_t> video_pid;
  VideoCodec video_codec = VideoCodec::kH264;
  // The audio streams read, in the order chosen: the first `carried_audio`
  // are the result's (those without a sample are left out of it), any after
  // them were read for a look only (DemuxOptions::every_audio).
  std::vector<AudioTrack> audio;
  std::size_t carried_audio = 0;
  // Every programme and stream of the input, and what became of each.
  TsInventory inventory;

  const NalSyntax& video_syntax() const { return video_codec == VideoCodec::kHevc ? kHevcSyntax : kH264Syntax; }
};

}  // namespace quaver
