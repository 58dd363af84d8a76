// Samples that a moov's own sample tables hold.
//
// A partially fragmented file keeps its first samples in the sample tables
// of its moov, as a regular file does, and goes on in moof/mdat fragments
// (ffmpeg writes one with frag_keyframe and without empty_moov). Those
// samples come before every fragment's: collected first, they start each
// track's record, and the fragments' decode times follow them on the same
// timeline (fragments.hpp).
//
// Tables read: stsz (the sizes, and with them the sample count), stts (the
// durations), ctts (composition offsets, their 32 bits as stored, so a
// version 1 table keeps its negative offsets), stss (the sync samples; every
// sample is one without it), stsc with stco or co64 (where each sample's
// bytes lie). A sample's bytes are taken only where they lie inside one
// top-level mdat body; a sample whose bytes lie elsewhere, or that no chunk
// places, keeps its record without bytes, as one of a fragment does.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "core/bytes.hpp"
#include "core/result.hpp"
#include "mp4_parser/box.hpp"
#include "mp4_parser/fragments.hpp"

namespace quaver {

// Appends to each record the samples of its trak's tables
// (TrackFragments::stbl). Refuses tables that describe more samples, or
// more sample bytes, than the input has bytes.
Result<void> collect_table_samples(ByteView data, const std::vector<BoxInfo>& box_infos,
                                   std::vector<TrackFragments>& tracks);

// How long the samples of each track ID's tables last (the sum of the stts
// durations of the first trak with that ID, in its media timescale); a
// trak whose tables hold no sample, and one that cannot be read, name nothing.
std::unordered_map<std::uint32_t, std::uint64_t> table_durations(ByteView moov_body);

}  // namespace quaver
