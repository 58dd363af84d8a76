// Rebasing of a live fragmented-MP4 stream, segment by segment.
//
// Every tfdt of a segment is replaced by its distance from a base (0 below
// it), so the stream starts at time 0. Every other byte passes through in
// place, so box sizes and data offsets stay valid.
//
// Which base: with an initialisation segment stored (set_init_segment),
// whose mdhds give each track's timescale, the tracks share one origin:
// the earliest first decode time, in seconds, over the tfdts of the first
// segment that carries one, expressed in each track's own timescale, so
// audio and video keep their distance. A track the init segment does not
// name takes its own first decode time. Without one (or with one that names
// no timescale), no timescale is known: the first decode time seen is the
// base of every track. Which of the two is decided when the first base is
// taken after creation or reset.
// Boxes with 64-bit sizes pass through like any other. Refused: box sizes
// below their header, and sizes of 0, on the walked path ("Invalid box
// size").
#pragma once

#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

#include "core/bytes.hpp"
#include "core/output.hpp"
#include "core/result.hpp"
#include "mp4_parser/time_origin.hpp"

namespace quaver {

class FragmentedMP4Processor {
 public:
  Result<OutBuffer> process_segment(ByteView segment, OutputAllocator& alloc);
  // Keeps a copy and reads the timescales of its tracks from it.
  void set_init_segment(ByteView data);
  // The base of the first track seen, in its own timescale.
  std::optional<std::uint64_t> get_base_decode_time() const { return base_decode_time_; }
  void reset();

  // One tfdt of a segment: the track of its traf and its decode time.
  struct DecodeTime {
    std::uint32_t track_id = 0;
    std::uint64_t value = 0;
  };

 private:
  // What the tfdts of this segment subtract, in walk order; decides the
  // bases that are still open.
  std::vector<std::uint64_t> bases_for(const std::vector<DecodeTime>& times);

  std::vector<std::uint8_t> init_segment_;
  std::unordered_map<std::uint32_t, std::uint32_t> timescales_;  // track ID -> media timescale, from the init segment
  std::optional<std::uint64_t> base_decode_time_;
  bool single_base_ = true;                             // no timescale was known when the first base was taken
  TimeOrigin origin_;                                   // with timescales: the shared origin
  std::unordered_map<std::uint32_t, std::uint64_t> bases_;  // with timescales: each track's base once seen
};

}  // namespace quaver
