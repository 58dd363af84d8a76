// Where the samples of a demultiplexed stream land on the MP4's timeline.
//
// Each track keeps the times its stream gives it. A video sample lasts from
// its decode time to the next one's; audio frames follow each other, and a
// stretch the stream lost stays a silence. Where a recording's clock
// restarts (recordings joined end to end, a clock that folds back after 13.2
// hours), each track's next part starts where the previous parts ended, and
// inside a part the tracks keep their relative timing. Every time is bounded,
// so no timestamp, however absurd, makes a duration overflow.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "ts_parser/media_data.hpp"

namespace quaver {

// Sample durations as stts writes them: runs of equal values.
struct DurationRuns {
  struct Run {
    std::uint32_t count;
    std::uint32_t delta;
  };
  std::vector<Run> runs;
  std::uint64_t total = 0;  // every duration summed

  void add(std::uint32_t delta) {
    if (!runs.empty() && runs.back().delta == delta && runs.back().count < 0xFFFFFFFFu) {
      ++runs.back().count;
      total += delta;
    } else {
      add(delta, 1);
    }
  }
  void add(std::uint32_t delta, std::uint64_t count);
};

// One track's durations in its media timescale, and where it starts.
struct TrackTiming {
  DurationRuns durations;
  std::uint32_t nominal = 0;  // the duration of a sample, as the stream's clock runs most of the time
  // The 90 kHz source time shown first: the first picture's presentation
  // time, or the first audio frame's time. Absent when no sample of the
  // track has a time.
  std::optional<Timestamp> start;
};

// A video track's clock: sample i takes timestamp entry i; samples past the
// entries have none.
struct VideoClock {
  const std::vector<TimestampPair>& entries;
  std::size_t samples;
};

// An audio track's clock: the PES its samples begin in (AudioTrack::pes),
// its sample rate, which is also its media timescale, and the audio samples
// in each of its samples: `frame`, or where they differ, each sample's own
// (AudioTrack::durations, 0 standing for `frame`).
struct AudioClock {
  const std::vector<AudioPes>& pes;
  std::size_t samples;
  std::uint32_t rate;
  std::uint32_t frame;
  const std::vector<std::uint32_t>* durations = nullptr;  // null or empty: every sample lasts `frame`
};

struct Timeline {
  TrackTiming video;               // 90 kHz; empty without video
  std::vector<TrackTiming> audio;  // each at its own rate, in the order of the clocks given
};

// The durations of every track. `video` is null for a stream without video;
// each audio clock has at least one sample. Joins are paired between the
// video and the first audio track; the other audio tracks run on over theirs.
Timeline lay_out_timeline(const VideoClock* video, const std::vector<AudioClock>& audio);

}  // namespace quaver
