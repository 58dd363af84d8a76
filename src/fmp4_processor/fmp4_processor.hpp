// Rebasing of a live fragmented-MP4 stream, segment by segment.
//
// The first track-fragment decode time seen after creation (or reset) becomes
// the base; every tfdt of this and later segments is replaced by its distance
// from the base (0 below it), so the stream starts at time 0. Every other
// byte passes through in place, so box sizes and data offsets stay valid.
// Refused: box sizes below 8 on the walked path ("Invalid box size").
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "core/bytes.hpp"
#include "core/output.hpp"
#include "core/result.hpp"

namespace quaver {

class FragmentedMP4Processor {
 public:
  Result<OutBuffer> process_segment(ByteView segment, OutputAllocator& alloc);
  void set_init_segment(ByteView data) { init_segment_.assign(data.begin(), data.end()); }
  std::optional<std::uint64_t> get_base_decode_time() const { return base_decode_time_; }
  void reset() { base_decode_time_.reset(); }

 private:
  std::optional<std::uint64_t> base_decode_time_;  // media timescale of the first tfdt
  std::vector<std::uint8_t> init_segment_;          // kept for the caller; never read here
};

}  // namespace quaver
