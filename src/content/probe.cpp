#include "content/probe.hpp"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <vector>

#include "content/detect.hpp"
#include "content/jobs.hpp"
#include "mp4_parser/track_list.hpp"
#include "mp4_writer/mp4_writer.hpp"

namespace quaver {

namespace {

// One JSON object, its members added in order.
class JsonObject {
 public:
  JsonObject& raw(std::string_view key, std::string_view value) {
    text_ += text_.empty() ? "{" : ", ";
    text_ += quoted(key) + ": ";
    text_.append(value);
    return *this;
  }
  JsonObject& text(std::string_view key, std::string_view value) { return raw(key, quoted(value)); }
  JsonObject& integer(std::string_view key, std::uint64_t value) { return raw(key, std::to_string(value)); }
  JsonObject& boolean(std::string_view key, bool value) { return raw(key, value ? "true" : "false"); }
  // A number with up to `decimals` digits after the point, trailing zeros dropped.
  JsonObject& number(std::string_view key, double value, int decimals = 3) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
    std::string s(buf);
    if (s.find('.') != std::string::npos) {
      s.erase(s.find_last_not_of('0') + 1);
      if (s.back() == '.') s.pop_back();
    }
    return raw(key, s);
  }
  std::string str() const { return text_.empty() ? "{}" : text_ + "}"; }

  static std::string quoted(std::string_view s) {
    std::string out = "\"";
    for (char c : s) {
      const auto u = static_cast<unsigned char>(c);
      if (c == '"' || c == '\\') {
        out += '\\';
        out += c;
      } else if (u < 0x20 || u >= 0x7F) {
        char esc[8];
        std::snprintf(esc, sizeof esc, "\\u%04x", u);
        out += esc;
      } else {
        out += c;
      }
    }
    return out + "\"";
  }

 private:
  std::string text_;
};

std::string array(const std::vector<std::string>& items) {
  std::string out = "[";
  for (std::size_t i = 0; i < items.size(); ++i) out += (i ? ", " : "") + items[i];
  return out + "]";
}

std::string hex(ByteView bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (std::uint8_t b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

std::string_view kind_name(StreamKind kind) {
  return kind == StreamKind::kVideo ? "video" : kind == StreamKind::kAudio ? "audio" : "other";
}

// ---- transport streams -------------------------------------------------------

std::string_view audio_codec_id(const AudioTrack& track, const TsStream& stream) {
  if (track.codec == AudioCodec::kAac) return "aac";
  if (const auto* h = std::get_if<mpeg_audio::Header>(&track.config)) {
    return h->layer == 1 ? "mp1" : h->layer == 2 ? "mp2" : "mp3";
  }
  return words_of(stream.format).id;
}

Result<std::string> probe_ts(ByteView ts, const StreamRequest& request) {
  Result<MediaData> demuxed = demultiplex(ts, null_report(), request, true);
  if (!demuxed.ok()) return demuxed.error();
  MediaData& md = demuxed.value();
  const bool has_video = !md.video_data.empty();
  const SampleLayout layout = layout_video(md);
  keep_sample_times(md.video_timestamps, layout);
  const MovieTiming timing = plan_timing(md, layout);
  const std::vector<const AudioTrack*> written = written_audio(md);

  double longest = 0;
  std::vector<std::string> tracks;
  for (const TsStream& s : md.inventory.streams) {
    JsonObject t;
    t.integer("pid", s.pid).integer("program", s.program).integer("stream_type", s.stream_type);
    t.text("kind", kind_name(s.kind()));
    std::string_view codec = words_of(s.format).id;
    std::optional<double> duration;
    if (s.kind() == StreamKind::kVideo && md.video_pid == s.pid && has_video) {
      const std::size_t keys = static_cast<std::size_t>(std::count(layout.sample_keys.begin(),
                                                                   layout.sample_keys.end(), true));
      const std::uint64_t total = timing.timeline.video.durations.total;
      t.text("codec", codec).integer("width", md.picture.width).integer("height", md.picture.height);
      if (total > 0) t.number("frame_rate", static_cast<double>(layout.samples()) * 90000.0 / total);
      duration = total / 90000.0;
      t.number("duration", *duration).integer("samples", layout.samples()).integer("key_frames", keys);
      std::vector<std::string> sets;
      for (const auto* set : md.parameter_sets.in_order()) {
        if (*set) sets.push_back(JsonObject::quoted(hex(bytes_of(*set))));
      }
      t.raw("parameter_sets", array(sets));
    } else if (const auto track = std::find_if(md.audio.begin(), md.audio.end(),
                                               [&](const AudioTrack& a) { return a.pid == s.pid; });
               s.kind() == StreamKind::kAudio && track != md.audio.end() && track->samples() > 0) {
      const AudioFormat format = audio_format(track->config);
      const auto at = std::find(written.begin(), written.end(), &*track);
      std::uint64_t total = 0;
      if (at != written.end()) {
        total = timing.timeline.audio[static_cast<std::size_t>(at - written.begin())].durations.total;
      } else {  // read for a look only: placed on its own
        const AudioClock clock{track->pes, track->samples(), format.sample_rate, format.frame_samples,
                               &track->durations};
        total = lay_out_timeline(nullptr, {clock}).audio[0].durations.total;
      }
      duration = static_cast<double>(total) / format.sample_rate;
      t.text("codec", audio_codec_id(*track, s)).integer("sample_rate", format.sample_rate);
      t.integer("channels", format.channels);
      t.number("duration", *duration).integer("samples", track->samples());
    } else {
      t.text("codec", codec);
    }
    if (!s.language_code().empty()) t.text("language", s.language_code());
    const bool kept = s.why == LeftOut::kCarried;
    t.boolean("kept", kept);
    if (!kept) t.text("why", why_text(s));
    if (kept && duration) longest = std::max(longest, *duration);
    tracks.push_back(t.str());
  }
  std::vector<std::string> programs;
  for (const TsProgram& p : md.inventory.programs) {
    programs.push_back(JsonObject()
                           .integer("number", p.number)
                           .integer("pmt_pid", p.pmt_pid)
                           .boolean("mapped", p.mapped)
                           .boolean("scrambled", p.scrambled)
                           .boolean("kept", p.carried)
                           .str());
  }
  return JsonObject()
      .text("container", md.inventory.packet_size == 192 ? "m2ts" : "mpegts")
      .number("duration", longest)
      .raw("programs", array(programs))
      .raw("tracks", array(tracks))
      .str();
}

// ---- MP4 ---------------------------------------------------------------------

std::string mp4_codec(const Mp4TrackFacts& t) {
  struct Entry {
    FourCC type;
    std::string_view id;
  };
  static constexpr Entry kEntries[] = {
      {fourcc("avc1"), "h264"}, {fourcc("avc3"), "h264"}, {fourcc("hvc1"), "hevc"}, {fourcc("hev1"), "hevc"},
      {fourcc("ac-3"), "ac3"},  {fourcc("ec-3"), "eac3"}, {fourcc("Opus"), "opus"}, {fourcc("fLaC"), "flac"},
      {fourcc("av01"), "av1"},  {fourcc("vp09"), "vp9"},  {fourcc("vp08"), "vp8"},  {fourcc("alac"), "alac"},
      {fourcc("tx3g"), "mov_text"}, {fourcc("wvtt"), "webvtt"}, {fourcc("stpp"), "ttml"},
  };
  for (const Entry& e : kEntries) {
    if (e.type == t.entry) return std::string(e.id);
  }
  if (t.entry == fourcc("mp4a")) {
    if (t.object_type == 0x69 || t.object_type == 0x6B) return "mp3";
    return "aac";
  }
  if (t.entry == fourcc("mp4v")) {
    if (t.object_type >= 0x60 && t.object_type <= 0x65) return "mpeg2video";
    if (t.object_type == 0x6A) return "mpeg1video";
    return "mpeg4";
  }
  std::string name;
  for (std::uint8_t c : t.entry.c) name += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
  return name == "????" || t.entry == FourCC{} ? "unknown" : name;
}

Result<std::string> probe_mp4(ByteView data, InputKind kind, const StreamRequest& request) {
  if (request.video || request.audio) {
    if (Result<void> tracks = check_named_tracks(data, request); !tracks.ok()) return tracks.error();
  }
  Result<std::vector<Mp4TrackFacts>> listed = list_tracks(data);
  if (!listed.ok()) return listed.error();
  double longest = 0;
  std::vector<std::string> tracks;
  for (const Mp4TrackFacts& f : listed.value()) {
    const bool video = f.handler == fourcc("vide");
    const bool audio = f.handler == fourcc("soun");
    JsonObject t;
    t.integer("track_id", f.track_id).text("kind", video ? "video" : audio ? "audio" : "other");
    t.text("codec", mp4_codec(f));
    const double duration = f.timescale ? static_cast<double>(f.duration) / f.timescale : 0;
    if (video) {
      t.integer("width", f.width).integer("height", f.height);
      if (duration > 0) t.number("frame_rate", static_cast<double>(f.samples) / duration);
    }
    if (audio) t.integer("sample_rate", f.sample_rate).integer("channels", f.channels);
    if (f.language[0]) t.text("language", std::string_view(f.language.data(), 3));
    if (f.timescale) t.number("duration", duration);
    t.integer("samples", f.samples);
    if (video) t.integer("key_frames", f.sync_samples);
    bool kept = true;
    if (video && request.video) kept = f.track_id == *request.video;
    if (audio && request.audio) {
      kept = std::find(request.audio->begin(), request.audio->end(), f.track_id) != request.audio->end();
    }
    t.boolean("kept", kept);
    if (!kept) t.text("why", "not chosen");
    if (kept) longest = std::max(longest, duration);
    tracks.push_back(t.str());
  }
  return JsonObject()
      .text("container", kind == InputKind::kFragmentedMp4 ? "fragmented-mp4" : "mp4")
      .number("duration", longest)
      .raw("tracks", array(tracks))
      .str();
}

}  // namespace

Result<std::string> probe(ByteView data, const StreamRequest& request) {
  Result<DetectedInput> detected = detect_input(data);
  if (!detected.ok()) return detected.error();
  const ByteView input = detected.value().data;
  switch (detected.value().kind) {
    case InputKind::kTransportStream: return probe_ts(input, request);
    case InputKind::kFragmentedMp4:
    case InputKind::kRegularMp4: return probe_mp4(input, detected.value().kind, request);
    case InputKind::kMediaSegment:
      return JsonObject().text("container", "media-segment").raw("tracks", "[]").str();
  }
  fault("unknown input kind");
}

}  // namespace quaver
