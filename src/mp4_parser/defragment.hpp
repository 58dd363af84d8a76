// Unfolding a fragmented MP4 into a regular one.
//
// In: a whole file with an initialisation moov and moof/mdat fragments. Out:
// a fixed ftyp, a moov whose traks carry complete sample tables, and one mdat
// with every track's samples, track after track. The tracks keep the
// distances their decode times give them (align_tracks, track_builder.hpp). Refused: no moof, no moov,
// unreadable boxes, more samples or sample bytes than input bytes, and
// outputs whose mdat size or chunk offsets do not fit 32 bits.
#pragma once

#include <cstdint>
#include <vector>

#include "core/bytes.hpp"
#include "core/output.hpp"
#include "core/result.hpp"
#include "mp4_parser/box.hpp"
#include "mp4_parser/fragments.hpp"
#include "mp4_parser/regular_file.hpp"
#include "mp4_parser/track_selection.hpp"

namespace quaver {

// The movie timescale of a moov given its children: from the first mvhd,
// 1000 where there is none or it is too short.
std::uint32_t movie_timescale(const std::vector<Mp4Box>& moov_children);

// An mvhd body carrying `duration`; version 1 bodies become version 0, or
// version 1 ones where the duration does not fit 32 bits.
std::vector<std::uint8_t> update_mvhd_duration(ByteView mvhd_body, std::uint64_t duration);

// The regular moov body. plan[k] (one per record) places the samples of
// tracks[k] and counts the chunk entries written for them.
Result<std::vector<std::uint8_t>> build_regular_moov(ByteView moov_body, const std::vector<TrackFragments>& tracks,
                                                     ChunkPlan& plan);

Result<OutBuffer> defragment_mp4(ByteView data, OutputAllocator& alloc);
// Only the traks `keep` accepts are unfolded (track_selection.hpp).
Result<OutBuffer> defragment_mp4(ByteView data, OutputAllocator& alloc, const TrakFilter& keep);

}  // namespace quaver
