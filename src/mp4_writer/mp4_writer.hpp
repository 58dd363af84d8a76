// Regular MP4 from a demultiplexed transport stream.
//
// In: a MediaData record. Out: ftyp, moov, then one mdat holding every video
// sample (one per access unit, NAL units length-prefixed, parameter sets and
// delimiters removed) followed by the samples of each audio track, track
// after track. Sample durations follow the stream's clock (timeline.hpp).
// Each audio track is lined up with the video by an edit when one starts
// before the other. All times are 90 kHz ticks except the audio media's,
// which run on their streams' sample rates (their sample entries and formats
// are the codecs', codec/codec.hpp). Refused: a stream without video
// bytes (unless an audio-only file is wanted and audio exists), and a video
// sample too large for its 32-bit size field. Chunk offsets, the mdat size
// and durations that outgrow 32 bits take their 64-bit forms.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "codec/codec.hpp"
#include "core/output.hpp"
#include "core/result.hpp"
#include "mp4_writer/timeline.hpp"
#include "ts_parser/media_data.hpp"
#include "ts_parser/report.hpp"

namespace quaver {

// The video samples: the NAL units they keep, in sample order, as ranges of
// MediaData::video_data (the mdat is these units back to back, each behind
// a 4-byte length), and each sample's size and key flag. Kept in flat arrays
// of small fields, since a hostile stream can hold a NAL unit every four
// bytes. A stream not made of NAL units (MPEG-2 video) is cut into its
// pictures, each with the headers in front of it, and keeps each sample as
// one range, written as it stands.
struct SampleLayout {
  std::vector<std::uint64_t> nal_starts;    // position of each kept NAL unit's header byte
  std::vector<std::uint32_t> nal_sizes;     // its bytes, header included
  std::vector<std::uint32_t> sample_sizes;  // bytes in length-prefixed form
  std::vector<bool> sample_keys;            // a random access point: decoding may start there
  // Timestamp entry of each sample, where sample i does not take entry i:
  // pictures before the first random access point are left out, and the
  // two fields of a frame share the first one's sample. Empty otherwise.
  std::vector<std::uint32_t> sample_entries;
  std::uint64_t video_bytes = 0;            // V: all video samples together
  // A sample reaches 2^32 bytes: its size field could not hold it.
  bool too_large = false;
  bool length_prefixed = true;  // each range is written behind its length

  std::size_t samples() const { return sample_sizes.size(); }
};

// The video samples of a demultiplexed stream (none without video bytes):
// a stream of NAL units is split into access units at access-unit
// delimiters, or at the PES starts when it has none. The samples start at
// the first random access point; a stream without any keeps every picture,
// its first one marked as the point.
SampleLayout layout_video(const MediaData& media);

// The timestamp entries of the samples laid out, in place of the stream's:
// entry i becomes sample i's.
void keep_sample_times(std::vector<TimestampPair>& entries, const SampleLayout& layout);

// The video samples' composition offsets: PTS - DTS of each sample's
// timestamp entry relative to the first one's, on 32 bits.
struct CompositionOffsets {
  std::vector<std::uint32_t> offsets;  // one per sample, two's complement
  bool any = false;                    // one is not 0
  bool negative = false;               // one has its top bit set
};

// Every time the movie box writes, worked out once for both of its passes.
struct MovieTiming {
  Timeline timeline;
  CompositionOffsets composition;
};
MovieTiming plan_timing(const MediaData& media, const SampleLayout& layout);

// The audio tracks the file holds, in order: the carried ones with a sample.
std::vector<const AudioTrack*> written_audio(const MediaData& media);

// The file starts with a fixed ftyp of this length.
inline constexpr std::uint64_t kFtypSize = 28;

// How the samples are found: the mdat header's length (16 where its size
// takes 64 bits) and, for each track in file order (the video, then each
// audio track), whether its chunk offset is a 32-bit stco entry. Without
// that list (sizing) every track takes a co64 entry.
struct ChunkLayout {
  std::uint8_t mdat_header = 8;
  std::vector<bool> narrow_tracks;

  bool narrow(std::size_t track) const { return track < narrow_tracks.size() && narrow_tracks[track]; }
};

// The complete moov box. moov_size is the final moov length (0 when sizing),
// video_bytes is V.
std::vector<std::uint8_t> build_moov(const MediaData& media, const SampleLayout& layout, const MovieTiming& timing,
                                     std::uint64_t moov_size, std::uint64_t video_bytes, const ChunkLayout& chunks);

// The file for a demultiplexed stream; with `audio_only`, a stream without
// video gives a file of its audio tracks (the first of them track 1).
Result<OutBuffer> write_mp4(MediaData media, OutputAllocator& alloc, bool audio_only = false);

// reset_timestamps is accepted for callers' convenience and changes nothing:
// the written timeline always starts at 0.
Result<OutBuffer> create_mp4_with_options(MediaData media, bool reset_timestamps,
                                          OutputAllocator& alloc);

// The whole conversion: demultiplex, then write.
Result<OutBuffer> convert_ts_to_mp4(ByteView data, bool reset_timestamps, OutputAllocator& alloc,
                                    Report& report = stdout_report());

}  // namespace quaver
