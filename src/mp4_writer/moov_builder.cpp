// The movie box of a file made from a transport stream.
//
// Timing: sample durations follow the stream's clock (see timeline.hpp);
// composition offsets come from PTS - DTS of each PES relative to the first;
// every media timeline starts at 0, and an edit on each audio track lines
// its start up with the first picture (without video, with the first audio
// track's start). Several audio tracks are alternatives of one group: the
// first is enabled, the others are not until a player switches to them.
#include <algorithm>
#include <array>

#include "codec/codec.hpp"
#include "mp4_parser/box_fields.hpp"
#include "mp4_writer/mp4_writer.hpp"

namespace quaver {

namespace {

constexpr std::uint32_t kMovieTimescale = 90000;
constexpr std::uint16_t kUndetermined = 0x55C4;  // the language "und"

// Offset i belongs to sample i; samples beyond the timestamp entries get 0,
// so the table always has exactly one entry per sample. The arithmetic is on
// the low 32 bits, which unwrapping the clock does not change.
CompositionOffsets composition_offsets(const MediaData& md, std::size_t video_samples) {
  CompositionOffsets t;
  const auto raw = [&](const TimestampPair& ts) -> std::uint32_t {
    if (!ts.pts || !ts.dts) return 0;
    return static_cast<std::uint32_t>(*ts.pts) - static_cast<std::uint32_t>(*ts.dts);
  };
  t.offsets.assign(video_samples, 0);
  if (!md.video_timestamps.empty()) {
    const std::uint32_t r0 = raw(md.video_timestamps[0]);
    const std::size_t e = std::min(video_samples, md.video_timestamps.size());
    for (std::size_t i = 0; i < e; ++i) {
      const std::uint32_t c = raw(md.video_timestamps[i]) - r0;
      t.offsets[i] = c;
      t.any |= c != 0;
      t.negative |= (c & 0x80000000u) != 0;
    }
  }
  return t;
}

// A header whose duration does not fit 32 bits (13.2 hours at 90 kHz) is
// written in version 1, whose times and duration take 64 bits.
std::uint8_t header_version(std::uint64_t duration) { return fits_32_bits(duration) ? 0 : 1; }

void write_mvhd(ByteBuilder& b, std::uint64_t duration, std::uint32_t next_track_id) {
  const std::size_t box = b.open_box(fourcc("mvhd"));
  MovieHeader::write(b, kMovieTimescale, duration, next_track_id);
  b.close_box(box);
}

// Which tracks a player shows: all of them, except that of a group of
// alternatives only the enabled one plays.
struct TrackRole {
  std::uint32_t flags = 7;             // enabled, in movie, in preview
  std::uint16_t alternate_group = 0;   // 0: the track is no alternative
  // Alternatives name their language, for a player's choice of track.
  std::uint16_t language = kUndetermined;
};

void write_tkhd(ByteBuilder& b, std::uint32_t track_id, std::uint64_t duration, std::uint16_t volume,
                PictureSize size, TrackRole role = {}) {
  const std::uint8_t version = header_version(duration);
  std::size_t box = b.open_full_box(fourcc("tkhd"), version, role.flags);
  HeaderBox::write_times(b, version, track_id, duration, true);
  b.zeros(8);
  b.u16(0);  // layer
  b.u16(role.alternate_group);
  b.u16(volume);
  b.u16(0);
  for (std::uint32_t v : kUnityMatrix) b.u32(v);
  b.u32(std::uint32_t{size.width} << 16);
  b.u32(std::uint32_t{size.height} << 16);
  b.close_box(box);
}

// The mdhd's packed ISO 639-2 code: three lowercase letters of five bits each.
std::uint16_t packed_language(const std::array<char, 3>& code) {
  std::uint16_t packed = 0;
  for (char c : code) {
    const char lower = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    if (lower < 'a' || lower > 'z') return kUndetermined;
    packed = static_cast<std::uint16_t>((packed << 5) | (lower - 0x60));
  }
  return packed;
}

void write_mdhd(ByteBuilder& b, std::uint32_t timescale, std::uint64_t duration,
                std::uint16_t language = kUndetermined) {
  const std::uint8_t version = header_version(duration);
  std::size_t box = b.open_full_box(fourcc("mdhd"), version, 0);
  HeaderBox::write_times(b, version, timescale, duration, false);
  b.u16(language);
  b.u16(0);
  b.close_box(box);
}

void write_hdlr(ByteBuilder& b, FourCC handler) {
  std::size_t box = b.open_full_box(fourcc("hdlr"), 0, 0);
  b.u32(0);
  b.fourcc(handler);
  b.zeros(12);
  b.u8(0);  // empty name
  b.close_box(box);
}

void write_dinf(ByteBuilder& b) {
  std::size_t dinf = b.open_box(fourcc("dinf"));
  std::size_t dref = b.open_full_box(fourcc("dref"), 0, 0);
  b.u32(1);
  std::size_t url = b.open_full_box(fourcc("url "), 0, 1);  // media in this file
  b.close_box(url);
  b.close_box(dref);
  b.close_box(dinf);
}

// Where a track's one chunk lies: its offset, in a co64 entry where `wide`.
struct Chunk {
  std::uint64_t offset = 0;
  bool wide = false;
};

// One chunk holding every sample of the track. A track without samples
// still has one time-to-sample entry, of its nominal duration.
void write_single_chunk_tables(ByteBuilder& b, std::uint32_t count, const TrackTiming& timing, Chunk chunk,
                               auto&& sample_size) {
  std::size_t stts = b.open_full_box(fourcc("stts"), 0, 0);
  const auto& runs = timing.durations.runs;
  if (runs.empty()) {
    b.u32(1);
    b.u32(count);
    b.u32(timing.nominal);
  } else {
    b.u32(static_cast<std::uint32_t>(runs.size()));
    for (const DurationRuns::Run& r : runs) {
      b.u32(r.count);
      b.u32(r.delta);
    }
  }
  b.close_box(stts);
  std::size_t stsc = b.open_full_box(fourcc("stsc"), 0, 0);
  b.u32(1);
  b.u32(1);
  b.u32(count);
  b.u32(1);
  b.close_box(stsc);
  std::size_t stsz = b.open_full_box(fourcc("stsz"), 0, 0);
  b.u32(0);
  b.u32(count);
  for (std::uint32_t i = 0; i < count; ++i) b.u32(sample_size(i));
  b.close_box(stsz);
  std::size_t offsets = b.open_full_box(fourcc(chunk.wide ? "co64" : "stco"), 0, 0);
  b.u32(1);
  if (chunk.wide) {
    b.u64(chunk.offset);
  } else {
    b.u32(static_cast<std::uint32_t>(chunk.offset));
  }
  b.close_box(offsets);
}

// The media box of a track: its header, handler and media information,
// with the sample table around the one sample entry that entry() writes and
// the tables that tables() writes.
struct Media {
  std::uint32_t timescale;
  std::uint64_t duration;  // in the timescale
  std::uint16_t language;
  FourCC handler;          // "vide" or "soun"
};

template <class Entry, class Tables>
void write_mdia(ByteBuilder& b, const Media& m, Entry&& entry, Tables&& tables) {
  const std::size_t mdia = b.open_box(fourcc("mdia"));
  write_mdhd(b, m.timescale, m.duration, m.language);
  write_hdlr(b, m.handler);
  const std::size_t minf = b.open_box(fourcc("minf"));
  if (m.handler == fourcc("vide")) {
    const std::size_t vmhd = b.open_full_box(fourcc("vmhd"), 0, 1);
    b.zeros(8);
    b.close_box(vmhd);
  } else {
    const std::size_t smhd = b.open_full_box(fourcc("smhd"), 0, 0);
    b.zeros(4);
    b.close_box(smhd);
  }
  write_dinf(b);
  const std::size_t stbl = b.open_box(fourcc("stbl"));
  const std::size_t stsd = b.open_full_box(fourcc("stsd"), 0, 0);
  b.u32(1);
  entry();
  b.close_box(stsd);
  tables();
  b.close_box(stbl);
  b.close_box(minf);
  b.close_box(mdia);
}

void write_video_trak(ByteBuilder& b, const MediaData& md, const SampleLayout& layout, const MovieTiming& t,
                      std::uint64_t duration, Chunk chunk) {
  const auto n = static_cast<std::uint32_t>(layout.samples());
  const std::size_t trak = b.open_box(fourcc("trak"));
  write_tkhd(b, 1, duration, 0, md.picture);
  const auto entry = [&] { write_video_sample_entry(b, md.video_codec, md.picture, md.parameter_sets); };
  write_mdia(b, Media{kMovieTimescale, duration, kUndetermined, fourcc("vide")}, entry, [&] {
    write_single_chunk_tables(b, n, t.timeline.video, chunk,
                              [&](std::uint32_t i) { return layout.sample_sizes[i]; });
    const CompositionOffsets& offsets = t.composition;
    if (offsets.any) {
      // Version 0 offsets are unsigned: a picture shown before the one decoded
      // first (every B-frame) needs the signed offsets of version 1, or readers
      // place it 13 hours late.
      const std::size_t ctts = b.open_full_box(fourcc("ctts"), offsets.negative ? 1 : 0, 0);
      b.u32(n);
      for (std::uint32_t c : offsets.offsets) {
        b.u32(1);
        b.u32(c);
      }
      b.close_box(ctts);
    }
    // Sync samples: the random access points, so that seeking never lands on
    // a picture that cannot be decoded on its own. The layout marks at least
    // the first sample; no table when every sample qualifies (its absence
    // says so).
    std::size_t sync = 0;
    for (bool key : layout.sample_keys) sync += key;
    if (sync > 0 && sync < layout.samples()) {
      const std::size_t stss = b.open_full_box(fourcc("stss"), 0, 0);
      b.u32(static_cast<std::uint32_t>(sync));
      for (std::uint32_t i = 0; i < n; ++i) {
        if (layout.sample_keys[i]) b.u32(i + 1);
      }
      b.close_box(stss);
    }
  });
  b.close_box(trak);
}

// How an audio track lines up with the video, whose first picture is shown
// at movie time 0 (without video, with the first audio track, which starts
// there): audio that starts later waits behind an empty edit;
// audio that starts earlier (an AAC encoder's priming samples, or a stream
// whose video joins late) skips its lead. Gaps of 2^32 ticks or more are
// not believed.
struct AudioEdit {
  enum Kind { kNone, kDelay, kSkip } kind = kNone;
  std::uint32_t ticks = 0;  // 90 kHz: the delay, or the lead skipped
};

AudioEdit audio_edit(const TrackTiming& audio, const TrackTiming& video) {
  constexpr Timestamp kLimit = Timestamp{1} << 32;
  if (!audio.start || !video.start) return {};
  const Timestamp d = *audio.start - *video.start;
  if (d > 0 && d < kLimit) return {AudioEdit::kDelay, static_cast<std::uint32_t>(d)};
  if (d < 0 && -d < kLimit) return {AudioEdit::kSkip, static_cast<std::uint32_t>(-d)};
  return {};
}

// The edit list takes the version of its track header: 64-bit durations
// and media times in version 1.
void write_audio_edit(ByteBuilder& b, const AudioEdit& e, std::uint64_t tkhd_duration, std::uint32_t timescale) {
  if (e.kind == AudioEdit::kNone) return;
  const std::uint8_t version = header_version(tkhd_duration);
  const auto entry = [&](std::uint64_t segment_duration, std::uint64_t media_time) {
    if (version == 1) {
      b.u64(segment_duration);
      b.u64(media_time);
    } else {
      b.u32(static_cast<std::uint32_t>(segment_duration));
      b.u32(static_cast<std::uint32_t>(media_time));
    }
    b.u32(0x00010000);
  };
  std::size_t edts = b.open_box(fourcc("edts"));
  std::size_t elst = b.open_full_box(fourcc("elst"), version, 0);
  if (e.kind == AudioEdit::kDelay) {
    b.u32(2);
    entry(e.ticks, ~std::uint64_t{0});  // empty edit
    entry(tkhd_duration, 0);
  } else {
    b.u32(1);
    entry(tkhd_duration > e.ticks ? tkhd_duration - e.ticks : 0,
          std::uint64_t{e.ticks} * timescale / kMovieTimescale);  // media time
  }
  b.close_box(elst);
  b.close_box(edts);
}

// The track header counts in the movie's 90 kHz, the media in samples.
std::uint64_t movie_duration(const TrackTiming& timing, std::uint32_t timescale) {
  const std::uint64_t samples = timing.durations.total;
  return samples / timescale * kMovieTimescale + samples % timescale * kMovieTimescale / timescale;
}

void write_audio_trak(ByteBuilder& b, const AudioTrack& track, const TrackTiming& timing, const TrackTiming& reference,
                      std::uint32_t track_id, TrackRole role, Chunk chunk) {
  const auto m = static_cast<std::uint32_t>(track.samples());
  const AudioFormat format = audio_format(track.config);
  const std::uint64_t tkhd_duration = movie_duration(timing, format.sample_rate);
  const std::uint64_t mdhd_duration = timing.durations.total;

  const std::size_t trak = b.open_box(fourcc("trak"));
  write_tkhd(b, track_id, tkhd_duration, 0x0100, PictureSize{0, 0}, role);
  const auto entry = [&] { write_audio_sample_entry(b, track.config); };
  write_mdia(b, Media{format.sample_rate, mdhd_duration, role.language, fourcc("soun")}, entry, [&] {
    write_single_chunk_tables(b, m, timing, chunk, [&](std::uint32_t i) { return track.frame_sizes[i]; });
  });
  write_audio_edit(b, audio_edit(timing, reference), tkhd_duration, format.sample_rate);
  b.close_box(trak);
}

}  // namespace

std::vector<const AudioTrack*> written_audio(const MediaData& md) {
  std::vector<const AudioTrack*> out;
  for (std::size_t k = 0; k < md.carried_audio && k < md.audio.size(); ++k) {
    if (md.audio[k].samples() > 0) out.push_back(&md.audio[k]);
  }
  return out;
}

MovieTiming plan_timing(const MediaData& md, const SampleLayout& layout) {
  MovieTiming t;
  const bool has_video = !md.video_data.empty();
  if (has_video) t.composition = composition_offsets(md, layout.samples());
  const VideoClock video{md.video_timestamps, layout.samples()};
  std::vector<AudioClock> audio;
  for (const AudioTrack* track : written_audio(md)) {
    const AudioFormat format = audio_format(track->config);
    audio.push_back(
        AudioClock{track->pes, track->samples(), format.sample_rate, format.frame_samples, &track->durations});
  }
  t.timeline = lay_out_timeline(has_video ? &video : nullptr, audio);
  return t;
}

std::vector<std::uint8_t> build_moov(const MediaData& md, const SampleLayout& layout, const MovieTiming& t,
                                     std::uint64_t moov_size, std::uint64_t video_bytes, const ChunkLayout& chunks) {
  const bool has_video = !md.video_data.empty();
  const std::vector<const AudioTrack*> audio = written_audio(md);
  // The movie lasts as long as the video, even when the audio runs longer;
  // without video, as long as the first audio track.
  const std::uint64_t movie = has_video ? t.timeline.video.durations.total
                                        : movie_duration(t.timeline.audio[0], audio_format(audio[0]->config).sample_rate);
  const TrackTiming& reference = has_video ? t.timeline.video : t.timeline.audio[0];

  ByteBuilder b;
  // stsz and stss (4 bytes a sample), ctts (8), the audio stsz (4 a frame)
  // and the time-to-sample runs (8 each).
  std::size_t audio_entries = 0;
  for (std::size_t k = 0; k < audio.size(); ++k) {
    audio_entries += 4 * audio[k]->samples() + 8 * t.timeline.audio[k].durations.runs.size() + 1024;
  }
  b.reserve(1024 + 8 * layout.samples() + 8 * t.composition.offsets.size() + audio_entries +
            8 * t.timeline.video.durations.runs.size());
  std::size_t moov = b.open_box(fourcc("moov"));
  const std::uint32_t tracks = (has_video ? 1 : 0) + static_cast<std::uint32_t>(audio.size());
  write_mvhd(b, movie, tracks + 1);
  std::uint64_t chunk = kFtypSize + moov_size + chunks.mdat_header;
  std::size_t track = 0;
  const auto chunk_of = [&](std::uint64_t offset) { return Chunk{offset, !chunks.narrow(track++)}; };
  if (has_video) {
    write_video_trak(b, md, layout, t, movie, chunk_of(chunk));
    chunk += video_bytes;
  }
  for (std::size_t k = 0; k < audio.size(); ++k) {
    TrackRole role;
    if (audio.size() > 1) role = TrackRole{k == 0 ? 7u : 6u, 1, packed_language(audio[k]->language)};
    const auto track_id = static_cast<std::uint32_t>((has_video ? 2 : 1) + k);
    write_audio_trak(b, *audio[k], t.timeline.audio[k], reference, track_id, role, chunk_of(chunk));
    chunk += audio[k]->frame_bytes.size();
  }
  b.close_box(moov);
  return std::move(b.data());
}

}  // namespace quaver
