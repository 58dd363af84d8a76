// Samples of a fragmented MP4, gathered per track.
//
// The initialisation moov names the tracks and their track-extends defaults
// (extract_track_info_from_moov); every moof/mdat pair of the file then adds
// its runs to the matching track (collect_fragment_data). A run's data
// offset counts from its traf's base data offset, or else from the moof's
// first byte; a run without one starts where the traf's previous run ended
// (the first at that base). Its bytes are taken from the paired mdat body
// wherever the boxes really lie. Sample bytes are kept as ranges of the
// input, so the input must outlive the records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

#include "core/bytes.hpp"
#include "core/result.hpp"
#include "mp4_parser/box.hpp"
#include "mp4_parser/box_fields.hpp"

namespace quaver {

struct TrackFragments {
  std::vector<FragmentSampleInfo> samples;  // in file order
  // The bytes of the samples that had them, in sample order, as ranges of
  // the input; a range that continues the previous one is merged into it.
  std::vector<ByteView> data;
  std::uint64_t data_size = 0;  // total length of `data`
  ByteView stsd;                // stsd body of the initialisation moov; empty if none
  std::uint32_t track_id = 0;
  std::uint32_t timescale = 1000;
  SampleDefaults trex;  // the moov's track-extends defaults for this track ID; 0 where it has none
  // Decode time of the first sample, media timescale: the first tfdt of a
  // fragment holding samples, less the durations of any samples before it.
  // Nothing when no such fragment carries a tfdt.
  std::optional<std::uint64_t> first_decode_time;

  void append_data(ByteView bytes);
};

// Track ID of a trak given its children: the first tkhd of 12 bytes or
// more decides; 0 where its field cannot be read.
std::uint32_t track_id_of(const std::vector<Mp4Box>& trak_children);

// Index of the first record with each track ID: the record that the runs
// and the traks carrying that ID belong to.
std::unordered_map<std::uint32_t, std::size_t> first_track_by_id(const std::vector<TrackFragments>& tracks);

// Defaults of each track ID from the trex boxes in the mvex children of a
// moov (bodies of 24 bytes or more; the first trex of an ID wins). An mvex
// that cannot be read gives none.
std::unordered_map<std::uint32_t, SampleDefaults> track_extends_defaults(const std::vector<Mp4Box>& moov_children);

// One empty record per trak of the moov body, in trak order.
Result<std::vector<TrackFragments>> extract_track_info_from_moov(ByteView moov_body);

// Appends the runs of every moof/mdat pair of `data` (parsed into
// `box_infos`) to the matching records. Returns the number of samples
// collected; refuses a file that declares more samples, or more sample
// bytes, than it has bytes.
Result<std::uint64_t> collect_fragment_data(ByteView data, const std::vector<BoxInfo>& box_infos,
                                            std::vector<TrackFragments>& tracks);

// One record per trak of the file's moov (which it must have), each with
// the samples of every fragment: the two routines above, one after the other.
Result<std::vector<TrackFragments>> fragmented_tracks(ByteView data, const Mp4File& file);

// The first sample, in file order, of the fragments of one track, located
// as collect_fragment_data locates it: its bytes, or an empty view when it
// has none. Nothing when no fragment holds a sample of the track, or the
// fragment holding it cannot be read. Walks the file only up to that
// fragment, and only up to the first top-level box parse_mp4 would refuse.
std::optional<ByteView> first_fragment_sample(ByteView data, std::uint32_t track_id, const SampleDefaults& trex);

}  // namespace quaver
