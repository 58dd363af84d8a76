// Layout of a regular MP4 built from collected tracks: a fixed ftyp, the moov,
// then one mdat holding every track's samples back to back, track after track.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/output.hpp"
#include "core/result.hpp"
#include "mp4_parser/fragments.hpp"
#include "mp4_parser/track_builder.hpp"

namespace quaver {

// Where each track's samples lie, by record: every track on co64 until
// place_tracks decides.
using ChunkPlan = std::vector<TrackChunks>;

// The layout after a moov body of `moov_body_length` built with every track
// on co64, whose builds counted each track's chunk entries: a track whose
// offsets all fit 32 bits there takes stco entries, which shortens the moov
// and only moves the samples closer; then each track's first offset. The
// moov body length of that layout is returned, or an error where even 64
// bits cannot hold the file.
Result<std::uint64_t> place_tracks(std::uint64_t moov_body_length, const std::vector<const TrackFragments*>& tracks,
                                   ChunkPlan& plan);

// The moov body for `tracks` laid out after it, from build(plan), which
// builds the body. Its length depends on the offsets' widths only, so a
// first build with every track on co64 tells where the samples would
// start, the widths are chosen, and a second build writes the offsets; a
// second body of another length is changed()'s to report.
template <class Build, class Changed>
Result<std::vector<std::uint8_t>> placed_moov(const std::vector<const TrackFragments*>& tracks, Build&& build,
                                              Changed&& changed) {
  ChunkPlan plan(tracks.size());
  Result<std::vector<std::uint8_t>> sizing = build(plan);
  if (!sizing.ok()) return sizing.error();
  const std::size_t wide_length = sizing.value().size();
  sizing = std::vector<std::uint8_t>{};  // only its length is kept
  Result<std::uint64_t> length = place_tracks(wide_length, tracks, plan);
  if (!length.ok()) return length.error();
  Result<std::vector<std::uint8_t>> moov = build(plan);
  if (moov.ok() && moov.value().size() != length.value()) return changed();
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
