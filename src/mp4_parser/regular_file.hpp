// Layout of a regular MP4 built from collected tracks: a fixed ftyp, the moov,
// then one mdat holding every track's samples back to back, track after track.
#pragma once

#include <cstddef>
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

// Where a trak points when the caller gave no offset for its track (the
// sizing build of the moov).
inline constexpr std::uint64_t kUnplacedChunkOffset = 8000;

inline std::uint64_t chunk_offset_of(const std::vector<std::uint64_t>& chunk_offsets, std::size_t k) {
  return k < chunk_offsets.size() ? chunk_offsets[k] : kUnplacedChunkOffset;
}

// The moov body for `tracks` laid out after it, from build(chunk_offsets),
// which builds the body. Its length does not depend on the offsets (fixed
// 32-bit entries), so a first build with none tells where the samples will
// start and a second writes them; a second body of another length is
// changed()'s to report.
template <class Build, class Changed>
Result<std::vector<std::uint8_t>> placed_moov(const std::vector<const TrackFragments*>& tracks, Build&& build,
                                              Changed&& changed) {
  Result<std::vector<std::uint8_t>> sizing = build(std::vector<std::uint64_t>{});
  if (!sizing.ok()) return sizing.error();
  const std::size_t length = sizing.value().size();
  sizing = std::vector<std::uint8_t>{};  // only its length is kept
  Result<std::vector<std::uint64_t>> offsets = place_tracks(length, tracks);
  if (!offsets.ok()) return offsets.error();
  Result<std::vector<std::uint8_t>> moov = build(offsets.value());
  if (moov.ok() && moov.value().size() != length) return changed();
  return moov;
}

// Frees a track's per-sample records once its tables are written: the
// file's bytes need only the sample ranges, and records freed before the
// output is allocated stay out of the call's peak memory.
inline void release_sample_records(TrackFragments& track) { std::vector<FragmentSampleInfo>().swap(track.samples); }

// ftyp, the moov box around `moov_body`, and the mdat, written once; the
// sample bytes are copied straight from the inputs they lie in.
OutBuffer write_regular_file(const std::vector<std::uint8_t>& moov_body,
                             const std::vector<const TrackFragments*>& tracks, OutputAllocator& alloc);

}  // namespace quaver
