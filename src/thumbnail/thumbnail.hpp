// The first key frame of a transport stream or a regular MP4, as an H.264 or
// HEVC Annex B byte stream (4-byte start codes in front of the parameter sets).
//
// TS: the first random access picture of the demultiplexed video (H.264: an
// IDR, or a picture marked by a recovery point SEI, from that SEI on; in a
// stream with neither, the first whose slices are all intra; HEVC: an intra
// random access point), every slice of it, with the stream's parameter sets
// (HEVC: VPS, SPS, PPS) in front. MP4: the first sample of the video track
// (the first track when none says it is video), found through its chunk
// offset (its first sync sample's, where the track lists sync samples that
// start later), or in the first fragment holding one when its tables have none, converted from
// length-prefixed form (length fields as wide as its avcC or hvcC says), with
// the parameter sets of its avcC or hvcC (and lhvC) in front.
// Refused: inputs without video, without a key frame, or whose boxes do not
// lead to a sample that lies inside its mdat, and encrypted tracks.
//
// MPEG-2 video, whose stream is not made of NAL units, gives its elementary
// stream instead: from a TS, the first I picture with a sequence header in
// front of it, as the stream holds them; from an MP4, the first sample as
// it stands.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "codec/codec.hpp"
#include "core/bytes.hpp"
#include "core/output.hpp"
#include "core/result.hpp"
#include "ts_parser/media_data.hpp"
#include "ts_parser/report.hpp"

namespace quaver {

// `codec`, when given, receives the coding format of the key frame.
Result<OutBuffer> extract_thumbnail_from_ts(ByteView data, OutputAllocator& alloc,
                                            Report& report = stdout_report(), VideoCodec* codec = nullptr);
Result<OutBuffer> extract_thumbnail_from_mp4(ByteView data, OutputAllocator& alloc, VideoCodec* codec = nullptr);

// The first key picture of a demultiplexed stream (the TS search after its walk).
Result<OutBuffer> key_frame_of(const MediaData& media, OutputAllocator& alloc, VideoCodec* codec = nullptr);

// True when the first moov has a trak whose handler is "vide".
bool holds_video_track(ByteView mp4);

// Offset of the first top-level box of the type.
Result<std::size_t> find_box(ByteView data, FourCC type);
// Offset of the first child of the type in the container box at `start`.
Result<std::size_t> find_box_in_container(ByteView data, std::size_t start, FourCC type);
// Size of the first sample of the stsz box at `p`.
Result<std::uint32_t> read_first_sample_size(ByteView data, std::size_t p);
// Length-prefixed NAL units (length fields of `length_size` bytes, 1 to 4)
// to Annex B; a cut-off last unit is dropped.
std::vector<std::uint8_t> convert_avcc_to_annexb(ByteView sample, std::size_t length_size = 4);

}  // namespace quaver
