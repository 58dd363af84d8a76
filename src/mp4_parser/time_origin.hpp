// One time origin for the tracks of a file.
//
// Every track of a fragmented file counts its decode times (tfdt) in its
// own media timescale, and the tracks start at different times on purpose:
// audio that carries encoder priming starts before the first picture, and
// a rendition may join later. Rebasing each track on its own first decode
// time would drop those distances, so every track is measured from one
// origin: the earliest first decode time of the tracks, compared in
// seconds, expressed in each track's own ticks. All arithmetic is exact
// in 64 bits; nothing is compared or scaled through floating point.
#pragma once

#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

#include "core/bytes.hpp"
#include "mp4_parser/box.hpp"

namespace quaver {

// A time on a track's clock: `ticks` of a `timescale` per second.
struct MediaTime {
  std::uint64_t ticks = 0;
  std::uint32_t timescale = 0;
};

// How a scaled time that falls between two ticks is taken.
enum class Rounding : std::uint8_t {
  kDown,     // the tick before: durations the headers count in another timescale
  kNearest,  // the nearer tick, halves up: points on a shared timeline
};

// `ticks` of timescale `from` in ticks of timescale `to`, exact in 64 bits
// and saturating at the largest 64-bit value. Unscaled where either
// timescale is 0 (unknown) or the two are equal. Every change of timescale
// on the MP4 side goes through here.
std::uint64_t scale(std::uint64_t ticks, std::uint32_t from, std::uint32_t to, Rounding rounding);

// The earliest of the starts offered, in seconds. A start without a
// timescale cannot be compared, so it is not taken.
class TimeOrigin {
 public:
  void offer(MediaTime start);
  const std::optional<MediaTime>& earliest() const { return earliest_; }
  // The origin in ticks of `timescale`; nothing without an origin or a timescale.
  std::optional<std::uint64_t> in(std::uint32_t timescale) const;
  // What a track that starts at `start` subtracts from its decode times:
  // the origin in its ticks, or its own start where it has no timescale or
  // there is no origin. Never more than the start itself.
  std::uint64_t base_for(MediaTime start) const;

 private:
  std::optional<MediaTime> earliest_;
};

// Media timescale of a trak (its body, or its children), from the first
// mdhd of its first mdia; 0 if unknown.
std::uint32_t trak_media_timescale(ByteView trak_body);
std::uint32_t trak_media_timescale(const std::vector<Mp4Box>& trak_children);

// The media timescale of each track ID that a trak of the moov body
// carries (the first such trak with a readable timescale decides); traks
// and moovs that cannot be read name nothing.
std::unordered_map<std::uint32_t, std::uint32_t> media_timescales(ByteView moov_body);

// a + b, or the largest 64-bit value when that overflows.
inline std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

}  // namespace quaver
