// The demultiplexed transport stream, handed by value from the parser to its
// consumer (the MP4 writer, the key-frame extraction).
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <variant>
#include <vector>

#include "codec/codec.hpp"
#include "core/chunked_bytes.hpp"
#include "ts_parser/inventory.hpp"

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

// Bytes a framer rebuilt rather than found in the input, kept in blocks
// whose addresses never move, since a ChunkedBytes points at them. Shared,
// so that a copy of a track points at bytes that live as long as it does.
class RebuiltBytes {
 public:
  ByteView keep(ByteView bytes) {
    if (bytes.size() > size_ - used_) {
      size_ = std::max(kBlock, bytes.size());
      blocks_.emplace_back(new std::uint8_t[size_]);
      used_ = 0;
    }
    std::uint8_t* at = blocks_.back().get() + used_;
    if (!bytes.empty()) std::memcpy(at, bytes.data(), bytes.size());
    used_ += bytes.size();
    return ByteView(at, bytes.size());
  }

 private:
  static constexpr std::size_t kBlock = std::size_t{64} << 10;
  std::vector<std::shared_ptr<std::uint8_t[]>> blocks_;
  std::size_t size_ = 0;  // of the last block
  std::size_t used_ = 0;  // of it
};

// One audio stream, cut into MP4 samples.
struct AudioTrack {
  std::uint16_t pid = 0;
  std::array<char, 3> language{};  // of its map's language descriptor; zeros when none
  // As chosen from the map; AAC where a stream typed as MPEG audio turned
  // out to carry ADTS frames.
  AudioCodec codec = AudioCodec::kAac;
  // The samples, back to back, and their sizes: AAC frames without their
  // ADTS headers, or the payloads of LATM; AC-3 and MPEG audio frames whole;
  // E-AC-3 frames gathered into units of 1536 audio samples (see
  // ac3::Eac3Frames); Opus packets without their control headers. A size
  // takes 4 bytes: a hostile stream can hold a frame every 8 bytes. The
  // bytes are ranges of the parser's input, as the video's are, but for
  // those a framer rebuilds (LATM payloads not aligned to bytes), which are
  // copied into `rebuilt_bytes`.
  ChunkedBytes frame_bytes{ChunkedBytes::StartCodes::kNotIndexed};
  RebuiltBytes rebuilt_bytes;
  std::vector<std::uint32_t> frame_sizes;
  // The audio samples each sample lasts, once one lasts other than the
  // first (Opus packets of several lengths); empty while every sample
  // lasts as long as the first, which is the track format's frame.
  std::vector<std::uint32_t> durations;
  // The PES in which samples begin, in order: a sample's time is the PTS of
  // the PES its first byte arrived in, plus its position among the samples
  // that begin there. Samples before the first entry have no time.
  std::vector<AudioPes> pes;
  // For the report: the PTS of the PES that was current when the first and
  // when the last sample were cut.
  std::optional<Timestamp> report_first;
  std::optional<Timestamp> report_last;
  AudioConfig config;  // what the frames of its first sample declare

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
  // The first parameter sets of the stream.
  ParameterSets parameter_sets;
  PictureSize picture{1920, 1080};  // from the SPS kept, when it could be read
  std::optional<std::uint16_t> video_pid;
  VideoCodec video_codec = VideoCodec::kH264;
  // The audio streams read, in the order chosen: the first `carried_audio`
  // are the result's (those without a sample are left out of it), any after
  // them were read for a look only (DemuxOptions::every_audio).
  std::vector<AudioTrack> audio;
  std::size_t carried_audio = 0;
  // Every programme and stream of the input, and what became of each.
  TsInventory inventory;
};

}  // namespace quaver
