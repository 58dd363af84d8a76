// The movie box of a file made from a transport stream.
//
// Timing: sample durations follow the stream's clock (see timeline.hpp);
// composition offsets come from PTS - DTS of each PES relative to the first;
// both media timelines start at 0, and an edit on the audio track lines its
// start up with the first picture.
#include <algorithm>
#include <array>

#include "mp4_writer/mp4_writer.hpp"
#include "mp4_writer/sample_entries.hpp"

namespace quaver {

namespace {

constexpr std::uint32_t kMovieTimescale = 90000;
constexpr std::array<std::uint32_t, 13> kAdtsRates = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                                      22050, 16000, 12000, 11025, 8000, 7350};

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

// A duration too long for its 32-bit field (13.2 hours at 90 kHz) is written
// as the largest one rather than wrapped round to a short one.
std::uint32_t duration_field(std::uint64_t d) {
  return clamp32(d);
}

void matrix(ByteBuilder& b) {
  for (std::uint32_t v : kUnityMatrix) b.u32(v);
}

void write_mvhd(ByteBuilder& b, std::uint32_t duration, std::uint32_t next_track_id) {
  std::size_t box = b.open_full_box(fourcc("mvhd"), 0, 0);
  b.u32(0);  // creation time
  b.u32(0);  // modification time
  b.u32(kMovieTimescale);
  b.u32(duration);
  b.u32(0x00010000);  // rate 1.0
  b.u16(0x0100);      // volume 1.0
  b.zeros(10);
  matrix(b);
  b.zeros(24);  // pre-defined
  b.u32(next_track_id);
  b.close_box(box);
}

void write_tkhd(ByteBuilder& b, std::uint32_t track_id, std::uint32_t duration, std::uint16_t volume,
                std::uint16_t width, std::uint16_t height) {
  std::size_t box = b.open_full_box(fourcc("tkhd"), 0, 7);  // enabled, in movie, in preview
  b.u32(0);
  b.u32(0);
  b.u32(track_id);
  b.u32(0);
  b.u32(duration);
  b.zeros(8);
  b.u16(0);  // layer
  b.u16(0);  // alternate group
  b.u16(volume);
  b.u16(0);
  matrix(b);
  b.u32(std::uint32_t{width} << 16);
  b.u32(std::uint32_t{height} << 16);
  b.close_box(box);
}

void write_mdhd(ByteBuilder& b, std::uint32_t timescale, std::uint32_t duration) {
  std::size_t box = b.open_full_box(fourcc("mdhd"), 0, 0);
  b.u32(0);
  b.u32(0);
  b.u32(timescale);
  b.u32(duration);
  b.u16(0x55C4);  // language "und"
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

// One chunk holding every sample of the track. A track without samples
// still has one time-to-sample entry, of its nominal duration.
void write_single_chunk_tables(ByteBuilder& b, std::uint32_t count, const TrackTiming& timing,
                               std::uint32_t chunk_offset, auto&& sample_size) {
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
  std::size_t stco = b.open_full_box(fourcc("stco"), 0, 0);
  b.u32(1);
  b.u32(chunk_offset);
  b.close_box(stco);
}

void write_avc1(ByteBuilder& b, const MediaData& md) {
  std::size_t avc1 = b.open_box(fourcc("avc1"));
  write_visual_entry_fields(b, md.width, md.height);
  // The length fields are 16 bits: a longer "parameter set" cannot be a real
  // one, and writing it would corrupt the box, so no configuration is written.
  if (md.sps && md.pps && md.sps->size() <= 0xFFFF && md.pps->size() <= 0xFFFF) {
    const auto& sps = *md.sps;
    const auto& pps = *md.pps;
    std::size_t avcc = b.open_box(fourcc("avcC"));
    b.u8(1);
    if (sps.size() >= 4) {
      b.bytes(sps.data() + 1, 3);  // profile, compatibility, level
    } else {
      b.u8(0x64);
      b.u8(0x00);
      b.u8(0x1F);
    }
    b.u8(0xFF);  // 4-byte NAL lengths
    b.u8(0xE1);  // one SPS
    b.u16(static_cast<std::uint16_t>(sps.size()));
    b.bytes(sps.data(), sps.size());
    b.u8(1);
    b.u16(static_cast<std::uint16_t>(pps.size()));
    b.bytes(pps.data(), pps.size());
    b.close_box(avcc);
  }
  b.close_box(avc1);
}

ByteView bytes_of(const std::optional<std::vector<std::uint8_t>>& set) {
  return set ? ByteView(set->data(), set->size()) : ByteView();
}

// hvc1: the parameter sets live in the hvcC only (samples leave them out).
void write_hvc1(ByteBuilder& b, const MediaData& md) {
  std::size_t hvc1 = b.open_box(fourcc("hvc1"));
  write_visual_entry_fields(b, md.width, md.height);
  if (md.sps) write_hvcc(b, md.hevc_sps, HevcParameterSets{bytes_of(md.vps), bytes_of(md.sps), bytes_of(md.pps)});
  b.close_box(hvc1);
}

void write_video_trak(ByteBuilder& b, const MediaData& md, const SampleLayout& layout, const MovieTiming& t,
                      std::uint32_t duration, std::uint32_t chunk_offset) {
  const auto n = static_cast<std::uint32_t>(layout.samples());
  std::size_t trak = b.open_box(fourcc("trak"));
  write_tkhd(b, 1, duration, 0, md.width, md.height);
  std::size_t mdia = b.open_box(fourcc("mdia"));
  write_mdhd(b, kMovieTimescale, duration);
  write_hdlr(b, fourcc("vide"));
  std::size_t minf = b.open_box(fourcc("minf"));
  std::size_t vmhd = b.open_full_box(fourcc("vmhd"), 0, 1);
  b.zeros(8);
  b.close_box(vmhd);
  write_dinf(b);
  std::size_t stbl = b.open_box(fourcc("stbl"));
  std::size_t stsd = b.open_full_box(fourcc("stsd"), 0, 0);
  b.u32(1);
  if (md.video_codec == VideoCodec::kHevc) {
    write_hvc1(b, md);
  } else {
    write_avc1(b, md);
  }
  b.close_box(stsd);
  write_single_chunk_tables(b, n, t.timeline.video, chunk_offset,
                            [&](std::uint32_t i) { return layout.sample_sizes[i]; });
  const CompositionOffsets& offsets = t.composition;
  if (offsets.any) {
    // Version 0 offsets are unsigned: a picture shown before the one decoded
    // first (every B-frame) needs the signed offsets of version 1, or readers
    // place it 13 hours late.
    std::size_t ctts = b.open_full_box(fourcc("ctts"), offsets.negative ? 1 : 0, 0);
    b.u32(n);
    for (std::uint32_t c : offsets.offsets) {
      b.u32(1);
      b.u32(c);
    }
    b.close_box(ctts);
  }
  // Sync samples: only those holding a key picture, so that seeking never
  // lands on a picture that cannot be decoded on its own. No table when
  // every sample qualifies (its absence says so) or none does.
  std::size_t sync = 0;
  for (bool key : layout.sample_keys) sync += key;
  if (sync > 0 && sync < layout.samples()) {
    std::size_t stss = b.open_full_box(fourcc("stss"), 0, 0);
    b.u32(static_cast<std::uint32_t>(sync));
    for (std::uint32_t i = 0; i < n; ++i) {
      if (layout.sample_keys[i]) b.u32(i + 1);
    }
    b.close_box(stss);
  }
  b.close_box(stbl);
  b.close_box(minf);
  b.close_box(mdia);
  b.close_box(trak);
}

// What the audio track declares. Every stream runs on its own sample rate,
// the fixed AAC-LC 48 kHz stereo description included: readers built on
// ffmpeg count an audio edit's media time in samples, and so skip exactly
// the lead only then. Any stream other than that one declares its own
// configuration, so that it neither plays at the wrong speed nor decodes
// with the wrong channel layout.
struct AudioDescription {
  std::uint16_t audio_specific_config = 0x1190;
  std::uint16_t channel_count = 2;
  std::uint32_t sample_rate_field = 48000u << 16;
  std::uint32_t timescale = 48000;
  std::uint32_t sample_delta = 1024;  // audio samples in each sample
};

// Every sample of these formats holds a fixed number of audio samples.
AudioDescription at_own_rate(std::uint32_t rate, std::uint32_t samples_per_frame) {
  AudioDescription d;
  d.timescale = rate;
  d.sample_delta = samples_per_frame;
  return d;
}

// A configuration the demultiplexer always records with the first frame.
template <class T>
const T& recorded(const std::optional<T>& config) {
  if (!config) fault("audio frames without the configuration of their first frame");
  return *config;
}

AudioDescription describe_audio(const MediaData& md) {
  switch (md.audio_codec) {
    case AudioCodec::kAc3: return at_own_rate(recorded(md.ac3_config).sample_rate, 1536);
    case AudioCodec::kEac3: return at_own_rate(recorded(md.eac3_config).sample_rate, 1536);
    case AudioCodec::kMpegAudio: {
      const MpegAudioHeader& h = recorded(md.mpeg_audio_config);
      return at_own_rate(h.sample_rate, h.samples_per_frame);
    }
    case AudioCodec::kAac: break;
  }
  AudioDescription d;
  if (!md.audio_config) return d;
  const AdtsConfig& c = *md.audio_config;
  if ((c.profile == 1 && c.sampling_index == 3 && c.channel_config == 2) || c.sampling_index >= 13) return d;
  const std::uint32_t rate = kAdtsRates[c.sampling_index];
  d = at_own_rate(rate, 1024);
  d.audio_specific_config = static_cast<std::uint16_t>(((c.profile + 1) << 11) | (c.sampling_index << 7) |
                                                       (c.channel_config << 3));
  d.channel_count = c.channel_config == 0 ? 2 : c.channel_config == 7 ? 8 : c.channel_config;
  d.sample_rate_field = rate <= 0xFFFF ? rate << 16 : 0;
  return d;
}

// AAC: MPEG-4 audio (object type 0x40) with its two-byte AudioSpecificConfig,
// a 768-byte buffer and 128 kbit/s.
void write_aac_entry(ByteBuilder& b, const AudioDescription& d) {
  std::size_t mp4a = b.open_box(fourcc("mp4a"));
  write_audio_entry_fields(b, d.channel_count, d.sample_rate_field);
  const std::uint8_t config[2] = {static_cast<std::uint8_t>(d.audio_specific_config >> 8),
                                  static_cast<std::uint8_t>(d.audio_specific_config)};
  write_esds(b, EsdsFields{0x40, 768, 128000, 128000, ByteView(config, 2)});
  b.close_box(mp4a);
}

void write_audio_entry(ByteBuilder& b, const MediaData& md, const AudioDescription& d) {
  switch (md.audio_codec) {
    case AudioCodec::kAac: write_aac_entry(b, d); break;
    case AudioCodec::kAc3: write_ac3_entry(b, *md.ac3_config); break;
    case AudioCodec::kEac3: write_eac3_entry(b, *md.eac3_config); break;
    case AudioCodec::kMpegAudio: write_mpeg_audio_entry(b, *md.mpeg_audio_config); break;
  }
}

// How the audio track lines up with the video, whose first picture is shown
// at movie time 0: audio that starts later waits behind an empty edit;
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

void write_audio_edit(ByteBuilder& b, const AudioEdit& e, std::uint32_t tkhd_duration, std::uint32_t timescale) {
  if (e.kind == AudioEdit::kNone) return;
  std::size_t edts = b.open_box(fourcc("edts"));
  std::size_t elst = b.open_full_box(fourcc("elst"), 0, 0);
  if (e.kind == AudioEdit::kDelay) {
    b.u32(2);
    b.u32(e.ticks);
    b.u32(0xFFFFFFFF);  // empty edit
    b.u32(0x00010000);
    b.u32(tkhd_duration);
    b.u32(0);
    b.u32(0x00010000);
  } else {
    b.u32(1);
    b.u32(tkhd_duration > e.ticks ? tkhd_duration - e.ticks : 0);
    b.u32(static_cast<std::uint32_t>(std::uint64_t{e.ticks} * timescale / kMovieTimescale));  // media time
    b.u32(0x00010000);
  }
  b.close_box(elst);
  b.close_box(edts);
}

void write_audio_trak(ByteBuilder& b, const MediaData& md, const MovieTiming& t, std::uint32_t chunk_offset) {
  const auto m = static_cast<std::uint32_t>(md.audio_frame_sizes.size());
  const AudioDescription d = describe_audio(md);
  const TrackTiming& timing = t.timeline.audio;
  // The track header counts in the movie's 90 kHz, the media in samples.
  const std::uint64_t samples = timing.durations.total;
  const std::uint32_t tkhd_duration =
      duration_field(samples / d.timescale * kMovieTimescale + samples % d.timescale * kMovieTimescale / d.timescale);
  const std::uint32_t mdhd_duration = duration_field(samples);

  std::size_t trak = b.open_box(fourcc("trak"));
  write_tkhd(b, 2, tkhd_duration, 0x0100, 0, 0);
  std::size_t mdia = b.open_box(fourcc("mdia"));
  write_mdhd(b, d.timescale, mdhd_duration);
  write_hdlr(b, fourcc("soun"));
  std::size_t minf = b.open_box(fourcc("minf"));
  std::size_t smhd = b.open_full_box(fourcc("smhd"), 0, 0);
  b.u16(0);
  b.u16(0);
  b.close_box(smhd);
  write_dinf(b);
  std::size_t stbl = b.open_box(fourcc("stbl"));
  std::size_t stsd = b.open_full_box(fourcc("stsd"), 0, 0);
  b.u32(1);
  write_audio_entry(b, md, d);
  b.close_box(stsd);
  write_single_chunk_tables(b, m, timing, chunk_offset, [&](std::uint32_t i) { return md.audio_frame_sizes[i]; });
  b.close_box(stbl);
  b.close_box(minf);
  b.close_box(mdia);

  write_audio_edit(b, audio_edit(timing, t.timeline.video), tkhd_duration, d.timescale);
  b.close_box(trak);
}

}  // namespace

MovieTiming plan_timing(const MediaData& md, const SampleLayout& layout) {
  MovieTiming t;
  t.composition = composition_offsets(md, layout.samples());
  const VideoClock video{md.video_timestamps, layout.samples()};
  if (md.audio_frame_sizes.empty()) {
    t.timeline = lay_out_timeline(video, nullptr);
  } else {
    const AudioDescription d = describe_audio(md);
    const AudioClock audio{md.audio_pes, md.audio_frame_sizes.size(), d.timescale, d.sample_delta};
    t.timeline = lay_out_timeline(video, &audio);
  }
  return t;
}

std::vector<std::uint8_t> build_moov(const MediaData& md, const SampleLayout& layout, const MovieTiming& t,
                                     std::uint64_t moov_size, std::uint64_t video_bytes) {
  // The movie lasts as long as the video, even when the audio runs longer.
  const std::uint32_t video_duration = duration_field(t.timeline.video.durations.total);
  const bool has_audio = !md.audio_frame_sizes.empty();

  ByteBuilder b;
  // stsz and stss (4 bytes a sample), ctts (8), the audio stsz (4 a frame)
  // and the time-to-sample runs (8 each).
  b.reserve(1024 + 8 * layout.samples() + 8 * t.composition.offsets.size() + 4 * md.audio_frame_sizes.size() +
            8 * (t.timeline.video.durations.runs.size() + t.timeline.audio.durations.runs.size()));
  std::size_t moov = b.open_box(fourcc("moov"));
  write_mvhd(b, video_duration, has_audio ? 3 : 2);
  write_video_trak(b, md, layout, t, video_duration, static_cast<std::uint32_t>(moov_size + 36));
  if (has_audio) write_audio_trak(b, md, t, static_cast<std::uint32_t>(moov_size + video_bytes + 36));
  b.close_box(moov);
  return std::move(b.data());
}

}  // namespace quaver
