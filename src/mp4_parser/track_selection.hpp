// Keeping some of an MP4's tracks, and making its chosen audio tracks
// alternatives of one another.
//
// An unfolded file is built from a moov without the traks left out, so
// neither they nor their samples reach it. A rebased file keeps its layout,
// offsets included: a trak left out becomes a free box of its own size, and
// its samples stay in the mdat, where nothing points at them.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "core/bytes.hpp"
#include "mp4_parser/track_list.hpp"

namespace quaver {

using TrakFilter = std::function<bool(const TrakIdentity&)>;

// The moov body with only the traks `keep` accepts; every other child as it was.
std::vector<std::uint8_t> moov_keeping(ByteView moov_body, const TrakFilter& keep);

// Turns each trak of the file's moov that `keep` refuses into a free box.
void leave_out_traks(std::span<std::uint8_t> file, const TrakFilter& keep);

// Gives the tracks with these IDs one alternate group, not used by any other
// track, in their track headers: the first one enabled, the others disabled.
void make_alternates(std::span<std::uint8_t> file, const std::vector<std::uint32_t>& track_ids);

}  // namespace quaver
