// Rebasing an MP4 so that every track starts at decode time 0.
//
// In: a whole MP4, fragmented or regular. Out: the same boxes in the same
// order (a second moov dropped) and with the same header forms, so at the
// same positions; every tfdt lowered by the earliest first decode time of
// the tracks (compared in seconds, in the track's own timescale; a track no
// trak names by its own first decode time), so a track that starts later
// keeps its delay (a track whose first samples lie in the moov's own
// tables, in a partially fragmented file, starts that much earlier); the
// empty edit that every track's edit list starts with taken out (a dropped
// entry leaves a free box behind); and the mvhd, tkhd and mdhd durations
// recomputed from the fragments with their creation and modification times
// zeroed. Refused: unreadable boxes, a file without
// moov, header boxes too short for their fields.
#pragma once

#include "core/bytes.hpp"
#include "core/output.hpp"
#include "core/result.hpp"

namespace quaver {

Result<OutBuffer> reset_mp4_timestamps(ByteView data, OutputAllocator& alloc);

// Unfolds a fragmented file; anything that cannot be unfolded is rebased
// instead, and a failure is then the rebasing's.
Result<OutBuffer> convert_mp4_reset_timestamps(ByteView data, OutputAllocator& alloc);

}  // namespace quaver
