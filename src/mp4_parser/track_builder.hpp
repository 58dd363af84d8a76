// A regular trak from the trak of an initialisation segment and the samples
// collected for it.
//
// The template keeps its boxes and order; its track and media headers get
// the collected duration (in version 0, or version 1 where the duration
// does not fit 32 bits, the track's edit lists following its header), and
// every stbl is replaced by a table describing each sample as a chunk of its
// own, the track's samples lying back to back from a chunk offset the caller
// chose, in co64 entries or, where every offset fits 32 bits
// (fits_32_bits of last_chunk_offset), stco ones.
//
// The tracks of one result share one timeline (align_tracks): a track whose
// fragments start after the earliest track's keeps that delay as a leading
// empty edit, and the part of the leading empty edits that every track
// shares, an absolute start left by the packager, is taken out.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "core/bytes.hpp"
#include "core/output.hpp"
#include "core/result.hpp"
#include "mp4_parser/fragments.hpp"

namespace quaver {

// T: the sum of the sample durations, in the track's media timescale.
std::uint64_t total_duration(const TrackFragments& track);

// The largest chunk offset of the track: its chunk offset plus the sizes of
// the samples before its last one; UINT64_MAX where 64 bits cannot hold it.
std::uint64_t last_chunk_offset(const TrackFragments& track, std::uint64_t chunk_offset);

// Where a track's samples lie in a result, and how its chunk table says so.
struct TrackChunks {
  std::uint64_t offset = 8000;  // of its first sample; a stand-in while sizing
  bool wide = true;             // co64 entries, else stco
  std::uint64_t entries = 0;    // chunk entries written for it so far, counted by each build
};

// One track of a regular result: the template trak it is built from and
// its collected samples.
struct TrackSource {
  ByteView trak;  // template trak body
  const TrackFragments* fragments = nullptr;
  std::uint32_t edit_timescale = 0;  // the movie timescale of the template's file, which its edits count in
};

// Where a track starts on the result's timeline, in the movie timescale.
struct TrackPlacement {
  std::uint32_t edit_timescale = 0;  // as in its TrackSource
  std::uint64_t leading_empty = 0;   // the empty edit its edit list starts with; 0 for none
  std::uint64_t added = 0;           // how much later its media starts than its template's edits say
};

// One timeline for the tracks: each track's first decode time is measured
// from the earliest of them in seconds (tracks without a tfdt start at the
// origin), added to the template's own leading empty edit, and the
// smallest of those starts, shared by every track, is taken out.
std::vector<TrackPlacement> align_tracks(const std::vector<TrackSource>& sources, std::uint32_t movie_timescale);

// The movie duration: the longest track with its delay, in the movie timescale.
std::uint64_t movie_duration(const std::vector<TrackSource>& sources, const std::vector<TrackPlacement>& placements,
                             std::uint32_t movie_timescale);

// Appends the whole regular trak box to `out`, written in place so that its
// tables, the largest part of a moov, exist once. movie_timescale scales the
// duration written into the track header, which includes the delay the
// placement adds; the media header keeps the media timescale's duration.
// A track_id, when given, goes into the first track header where it has
// room for one (merging renumbers tracks whose IDs clash).
Result<void> append_regular_trak(ByteBuilder& out, ByteView trak_body, const TrackFragments& track,
                                 TrackChunks& chunks, std::uint32_t movie_timescale,
                                 const TrackPlacement& placement,
                                 std::optional<std::uint32_t> track_id = std::nullopt);

}  // namespace quaver
