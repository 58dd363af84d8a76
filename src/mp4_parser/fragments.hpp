// Samples of a fragmented MP4, gathered per track.
//
// The initialisation moov names the tracks (extract_track_info_from_moov);
// every moof/mdat pair of the file then adds its runs to the matching track
// (collect_fragment_data). Sample bytes are kept as ranges of the input, so
// the input must outlive the records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "core/bytes.hpp"
#include "core/result.hpp"
#include "mp4_parser/box.hpp"

namespace quaver {

struct FragmentSampleInfo {
  std::uint32_t duration = 0;
  std::uint32_t size = 0;
  std::uint32_t flags = 0;
  std::uint32_t composition_offset = 0;  // as stored: a negative offset keeps its two's-complement bits
};

struct TrackFragments {
  std::vector<FragmentSampleInfo> samples;  // in file order
  // The bytes of the samples that had them, in sample order, as ranges of
  // the input; a range that continues the previous one is merged into it.
  std::vector<ByteView> data;
  std::uint64_t data_size = 0;  // total length of `data`
  ByteView stsd;                // stsd body of the initialisation moov; empty if none
  std::uint32_t track_id = 0;
  std::uint32_t timescale = 1000;

  void append_data(ByteView bytes);
};

// Track ID of a trak given its children: the first tkhd of 12 bytes or
// more decides; 0 where its field cannot be read.
std::uint32_t track_id_of(const std::vector<Mp4Box>& trak_children);

// Index of the first record with each track ID: the record that the runs
// and the traks carrying that ID belong to.
std::unordered_map<std::uint32_t, std::size_t> first_track_by_id(const std::vector<TrackFragments>& tracks);

// One empty record per trak of the moov body, in trak order.
Result<std::vector<TrackFragments>> extract_track_info_from_moov(ByteView moov_body);

// Appends the runs of every moof/mdat pair of `data` (parsed into
// `box_infos`) to the matching records. Returns the number of samples
// collected; refuses a file that declares more samples, or more sample
// bytes, than it has bytes.
Result<std::uint64_t> collect_fragment_data(ByteView data, const std::vector<BoxInfo>& box_infos,
                                            std::vector<TrackFragments>& tracks);

}  // namespace quaver
