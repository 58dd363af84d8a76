// Track IDs of a merge whose inputs were numbered independently.
//
// Fragmenters number each file's tracks from 1, so a video file and an
// audio file cut from the same recording both carry track ID 1. When the
// caller asks for it, an audio track whose ID a video track already uses
// gets a fresh one: the first ID past the largest video track ID that no
// track of either input uses, then onward for further clashes. A track ID
// repeated within one input is still refused: that input is malformed. The
// merged trak takes its record's ID where its track header is rewritten
// (append_regular_trak).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "mp4_parser/mux.hpp"

namespace quaver {

// The first track ID that repeats within tracks[begin, end), in list order.
std::optional<std::uint32_t> first_repeated_track_id(const std::vector<CollectedTrack>& tracks, std::size_t begin,
                                                     std::size_t end);

// Renumbers every track at or past `audio_begin` whose ID one of the tracks
// before it carries. Only the records change; their samples stay theirs.
void renumber_colliding_tracks(std::vector<CollectedTrack>& tracks, std::size_t audio_begin);

}  // namespace quaver
