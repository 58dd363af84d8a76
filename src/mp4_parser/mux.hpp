// Merging a video fMP4 and an audio fMP4 delivered separately.
//
// In: two fragmented files (initialisation moov, then moof/mdat fragments).
// Out: one regular MP4 whose moov is the video input's with every track of
// both inputs placed where its first trak stood (video tracks first), and
// one mdat with every track's samples in that order. The two inputs are
// laid on one timeline by their decode times, as unfolding lays the tracks
// of one file. Refused: an input
// without moov, a track without its trak, no tracks at all, repeated track
// IDs, a template without trak, and offsets beyond 32 bits.
#pragma once

#include <vector>

#include "core/bytes.hpp"
#include "core/output.hpp"
#include "core/result.hpp"
#include "mp4_parser/fragments.hpp"
#include "mp4_parser/regular_file.hpp"

namespace quaver {

// A track of one input with the trak that describes it.
struct CollectedTrack {
  ByteView trak;  // body of the source trak, inside the input
  TrackFragments fragments;
  std::uint32_t movie_timescale = 0;  // of the input, which the trak's edits count in
};

struct CollectedInput {
  ByteView moov;  // body of the input's moov
  std::vector<CollectedTrack> tracks;
};

Result<CollectedInput> collect_tracks(ByteView data);

// The merged moov body; plan[j] (one per track) places track j's samples
// and counts the chunk entries written for them.
Result<std::vector<std::uint8_t>> build_muxed_moov(ByteView template_moov, const std::vector<CollectedTrack>& tracks,
                                                   ChunkPlan& plan);

// What becomes of an audio track whose ID a video track already carries.
enum class RepeatedTrackIds {
  kRefuse,          // fail with "track_id {} 가 중복됨"
  kRenumberAudio,   // give it a fresh ID (mp4_parser/track_ids.hpp)
};

Result<OutBuffer> mux_fmp4_tracks(ByteView video, ByteView audio, OutputAllocator& alloc,
                                  RepeatedTrackIds repeated = RepeatedTrackIds::kRefuse);

}  // namespace quaver
