// A regular trak from the trak of an initialisation segment and the samples
// collected for it.
//
// The template keeps its boxes and order; its track and media headers get
// the collected duration (version 1 headers become version 0), and every
// stbl is replaced by a table describing each sample as a chunk of its own,
// the track's samples lying back to back from a chunk offset the caller
// chose. The caller also makes sure that every offset fits 32 bits
// (chunk_offsets_fit_32_bits) before building.
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

// True when every stco entry of the track, chunk offset plus the sizes of
// the samples before it, is below 2^32.
bool chunk_offsets_fit_32_bits(const TrackFragments& track, std::uint64_t chunk_offset);

// Appends the whole regular trak box to `out`, written in place so that its
// tables, the largest part of a moov, exist once. movie_timescale scales the
// duration written into the track header; the media header keeps the media
// timescale's duration.
std::optional<Error> append_regular_trak(ByteBuilder& out, ByteView trak_body, const TrackFragments& track,
                                         std::uint64_t chunk_offset, std::uint32_t movie_timescale);

// Header rewrites shared by the movie, track and media headers.

// A duration for a 32-bit field: 0xFFFFFFFF when it does not fit.
inline std::uint32_t clamp32(std::uint64_t v) {
  return v > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(v);
}

// A version 0 header kept as it is, with creation and modification times
// cleared and the duration at `duration_at` set; a body too short to hold
// the duration is returned unchanged.
std::vector<std::uint8_t> update_header_in_place(ByteView body, std::size_t duration_at, std::uint64_t duration);

}  // namespace quaver
