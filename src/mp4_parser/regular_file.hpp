// Layout of a regular MP4 built from collected tracks: a fixed ftyp, the moov,
// then one mdat holding every track's samples back to back, track after track.
#pragma once

#include <cstdint>
#include <vector>

#include "core/output.hpp"
#include "core/result.hpp"
#include "mp4_parser/fragments.hpp"

namespace quaver {

// Chunk offset of each track's first sample for a moov body of this length,
// or an error when the mdat or any sample offset would not fit 32 bits.
Result<std::vector<std::uint64_t>> place_tracks(std::uint64_t moov_body_length,
                                                const std::vector<const TrackFragments*>& tracks);

// Frees a track's per-sample records once its tables are written: the
// file's bytes need only the sample ranges, and records freed before the
// output is allocated stay out of the call's peak memory.
inline void release_sample_records(TrackFragments& track) { std::vector<FragmentSampleInfo>().swap(track.samples); }

// ftyp, the moov box around `moov_body`, and the mdat, written once; the
// sample bytes are copied straight from the inputs they lie in.
OutBuffer write_regular_file(const std::vector<std::uint8_t>& moov_body,
                             const std::vector<const TrackFragments*>& tracks, OutputAllocator& alloc);

}  // namespace quaver
