#include "ts_parser/stream_choice.hpp"

#include <algorithm>
#include <string>

namespace quaver {

namespace {

constexpr std::uint8_t kRegistrationTag = 0x05;
constexpr std::uint8_t kLanguageTag = 0x0A;
constexpr std::uint8_t kVbiTeletextTag = 0x46;
constexpr std::uint8_t kTeletextTag = 0x56;
constexpr std::uint8_t kSubtitlingTag = 0x59;
constexpr std::uint8_t kAc3DescriptorTag = 0x6A;
constexpr std::uint8_t kEnhancedAc3DescriptorTag = 0x7A;
constexpr std::uint8_t kDtsDescriptorTag = 0x7B;

// The body of the first descriptor with this tag; a descriptor cut short by
// the end of the bytes still counts by its tag, with what is there of it.
std::optional<ByteView> descriptor(ByteView d, std::uint8_t tag) {
  for (std::size_t i = 0; i + 2 <= d.size(); i += 2 + std::size_t{d[i + 1]}) {
    if (d[i] == tag) return d.subspan(i + 2, std::min<std::size_t>(d[i + 1], d.size() - i - 2));
  }
  return std::nullopt;
}

bool registered_as(ByteView d, std::string_view format) {
  const std::optional<ByteView> r = descriptor(d, kRegistrationTag);
  return r && r->size() >= 4 && std::equal(format.begin(), format.end(), r->begin(),
                                           [](char c, std::uint8_t b) { return static_cast<std::uint8_t>(c) == b; });
}

StreamFormat classify_private_data(ByteView d) {
  if (descriptor(d, kAc3DescriptorTag)) return StreamFormat::kAc3;
  if (descriptor(d, kEnhancedAc3DescriptorTag)) return StreamFormat::kEac3;
  if (descriptor(d, kDtsDescriptorTag)) return StreamFormat::kDts;
  if (descriptor(d, kSubtitlingTag)) return StreamFormat::kDvbSubtitles;
  if (descriptor(d, kTeletextTag) || descriptor(d, kVbiTeletextTag)) return StreamFormat::kTeletext;
  if (registered_as(d, "Opus")) return StreamFormat::kOpus;
  return StreamFormat::kPrivateData;
}

constexpr VideoCodec kVideoPreference[] = {VideoCodec::kH264, VideoCodec::kHevc, VideoCodec::kMpeg2Video};

// The stream a programme gives for video: its first stream of the most
// wanted format.
const TsStream* video_of(const TsInventory& inv, const TsProgram& p) {
  for (VideoCodec codec : kVideoPreference) {
    for (std::size_t i = p.first_stream; i < p.first_stream + p.stream_count; ++i) {
      if (carried_video(inv.streams[i].format) == codec) return &inv.streams[i];
    }
  }
  return nullptr;
}

constexpr AudioCodec kAudioPreference[] = {AudioCodec::kAac,  AudioCodec::kLatmAac,   AudioCodec::kAc3,
                                           AudioCodec::kEac3, AudioCodec::kMpegAudio, AudioCodec::kOpus};

// The audio a programme gives: the first clear stream of the most wanted
// format. Waits on a stream not yet seen that would come first.
std::variant<WaitFor, const TsStream*> audio_of(const TsInventory& inv, const TsProgram& p, const PayloadOf& payload,
                                                bool complete) {
  for (AudioCodec codec : kAudioPreference) {
    for (std::size_t i = p.first_stream; i < p.first_stream + p.stream_count; ++i) {
      const TsStream& s = inv.streams[i];
      if (carried_audio(s.format) != codec || payload(s.pid) == Payload::kScrambled) continue;
      if (payload(s.pid) == Payload::kUnseen && !complete) return WaitFor{s.pid};
      return &s;
    }
  }
  return static_cast<const TsStream*>(nullptr);
}

std::size_t program_index(const TsInventory& inv, const TsStream& s) {
  const auto at = std::find_if(inv.programs.begin(), inv.programs.end(),
                               [&](const TsProgram& p) { return p.number == s.program && p.mapped; });
  return static_cast<std::size_t>(at - inv.programs.begin());
}

std::string kind_word(StreamKind kind) {
  return kind == StreamKind::kVideo ? "video" : kind == StreamKind::kAudio ? "audio" : "data";
}

// "video: PID 256 (H.264), PID 300 (HEVC)", what the input holds of a kind.
std::string streams_of_kind(const TsInventory& inv, StreamKind kind) {
  std::string out;
  for (const TsStream& s : inv.streams) {
    if (s.kind() != kind) continue;
    out += (out.empty() ? "" : ", ") + std::string("PID ") + std::to_string(s.pid) + " (" +
           std::string(words_of(s.format).name) + ")";
  }
  return out.empty() ? "it has no " + kind_word(kind) : "its " + kind_word(kind) + ": " + out;
}

// A stream the caller named by PID, once its map has been read and its
// first packet seen; or why it cannot be taken, once every map is in (the
// message lists the streams of the kind asked for).
std::variant<WaitFor, const TsStream*, Error> named_stream(const TsInventory& inv, const PayloadOf& payload,
                                                           std::uint32_t pid, StreamKind kind, bool complete,
                                                           bool maps_final) {
  const auto at = std::find_if(inv.streams.begin(), inv.streams.end(), [&](const TsStream& s) { return s.pid == pid; });
  const std::string what = "PID " + std::to_string(pid);
  if (at == inv.streams.end() || at->kind() != kind) {
    if (!maps_final) return WaitFor{};
  }
  if (at == inv.streams.end()) {
    return Error{"no " + kind_word(kind) + " stream with " + what + " in the input (" + streams_of_kind(inv, kind) + ")",
                 ErrorKind::kNothingToDo};
  }
  const std::string format(words_of(at->format).name);
  if (at->kind() != kind) {
    return Error{what + " is " + kind_word(at->kind()) + " (" + format + "), not " + kind_word(kind) + " (" +
                     streams_of_kind(inv, kind) + ")",
                 ErrorKind::kNothingToDo};
  }
  const bool carried = kind == StreamKind::kVideo ? carried_video(at->format).has_value()
                                                  : carried_audio(at->format).has_value();
  if (!carried) return Error{what + " is " + format + " " + kind_word(kind) + ", which quaver does not carry",
                             ErrorKind::kUnsupported};
  if (payload(at->pid) == Payload::kScrambled) return Error{what + " is scrambled", ErrorKind::kUnsupported};
  if (payload(at->pid) == Payload::kUnseen && !complete) return WaitFor{at->pid};
  return &*at;
}

}  // namespace

StreamFormat classify_stream(std::uint8_t stream_type, ByteView descriptors) {
  switch (stream_type) {
    case 0x01: return StreamFormat::kMpeg1Video;
    case 0x02: return StreamFormat::kMpeg2Video;
    case 0x03:
    case 0x04: return StreamFormat::kMpegAudio;
    case 0x05:
    case 0x0D: return StreamFormat::kPrivateData;
    case 0x06: return classify_private_data(descriptors);
    case 0x0F: return StreamFormat::kAac;
    case 0x10: return StreamFormat::kMpeg4Video;
    case 0x11: return StreamFormat::kLatmAac;
    case 0x15: return StreamFormat::kId3;
    case 0x1B: return StreamFormat::kH264;
    case 0x24: return StreamFormat::kHevc;
    case 0x33: return StreamFormat::kVvc;
    case 0x81: return StreamFormat::kAc3;
    case 0x82:
    case 0x85:
    case 0x8A: return StreamFormat::kDts;
    case 0x83: return StreamFormat::kTrueHd;
    case 0x86: return StreamFormat::kScte35;
    case 0x87: return StreamFormat::kEac3;
    case 0xEA: return StreamFormat::kVc1;
    default: return StreamFormat::kUnknown;
  }
}

std::array<char, 3> language_of(ByteView descriptors) {
  std::array<char, 3> code{};
  const std::optional<ByteView> d = descriptor(descriptors, kLanguageTag);
  if (!d || d->size() < 3) return code;
  for (std::size_t i = 0; i < 3; ++i) {
    const std::uint8_t c = (*d)[i];
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) return {};
    code[i] = static_cast<char>(c);
  }
  return code;
}

std::optional<VideoCodec> carried_video(StreamFormat format) {
  switch (format) {
    case StreamFormat::kH264: return VideoCodec::kH264;
    case StreamFormat::kHevc: return VideoCodec::kHevc;
    case StreamFormat::kMpeg2Video: return VideoCodec::kMpeg2Video;
    default: return std::nullopt;
  }
}

std::optional<AudioCodec> carried_audio(StreamFormat format) {
  switch (format) {
    case StreamFormat::kAac: return AudioCodec::kAac;
    case StreamFormat::kAc3: return AudioCodec::kAc3;
    case StreamFormat::kEac3: return AudioCodec::kEac3;
    case StreamFormat::kMpegAudio: return AudioCodec::kMpegAudio;
    case StreamFormat::kLatmAac: return AudioCodec::kLatmAac;
    case StreamFormat::kOpus: return AudioCodec::kOpus;
    default: return std::nullopt;
  }
}

std::variant<WaitFor, StreamChoice, Error> choose_streams(TsInventory& inv, const std::vector<std::size_t>& map_order,
                                                          const PayloadOf& payload, const DemuxOptions& options,
                                                          bool complete) {
  const StreamRequest& request = options.request;
  StreamChoice choice;
  // Every map the PAT promises may still come while the input goes on.
  const bool all_mapped = std::all_of(inv.programs.begin(), inv.programs.end(), [](const TsProgram& p) { return p.mapped; });
  const bool maps_final = complete || (!inv.programs.empty() && all_mapped);

  const TsStream* video = nullptr;
  if (request.video) {
    auto named = named_stream(inv, payload, *request.video, StreamKind::kVideo, complete, maps_final);
    if (auto* w = std::get_if<WaitFor>(&named)) return *w;
    if (auto* e = std::get_if<Error>(&named)) return *e;
    video = std::get<const TsStream*>(named);
  }
  std::vector<const TsStream*> audio;
  if (request.audio) {
    for (std::uint32_t pid : *request.audio) {
      auto named = named_stream(inv, payload, pid, StreamKind::kAudio, complete, maps_final);
      if (auto* w = std::get_if<WaitFor>(&named)) return *w;
      if (auto* e = std::get_if<Error>(&named)) return *e;
      const TsStream* s = std::get<const TsStream*>(named);
      if (std::find(audio.begin(), audio.end(), s) == audio.end()) audio.push_back(s);
    }
  }

  // The programme: the named video's; else the first named audio's, when it
  // has clear video; else the first map read whose video is clear.
  std::optional<std::size_t> program;
  if (video) {
    program = program_index(inv, *video);
  } else if (!audio.empty()) {
    const std::size_t p = program_index(inv, *audio.front());
    const TsStream* v = video_of(inv, inv.programs[p]);
    if (v && payload(v->pid) == Payload::kUnseen && !complete) return WaitFor{v->pid};
    if (v && payload(v->pid) != Payload::kScrambled) {
      program = p;
      video = v;
    }
  }
  if (!video) {
    bool any_video = false;
    for (std::size_t p : map_order) {
      const TsStream* v = video_of(inv, inv.programs[p]);
      if (!v) continue;
      any_video = true;
      if (payload(v->pid) == Payload::kScrambled) continue;
      if (payload(v->pid) == Payload::kUnseen && !complete) return WaitFor{v->pid};
      program = p;
      video = v;
      break;
    }
    if (!video && !maps_final) return WaitFor{};
    inv.every_video_scrambled = !video && any_video;
    if (!video && audio.empty()) {
      // No video to take: the first map with audio, where that is wanted,
      // and never in place of scrambled video.
      if (!options.audio_only || any_video) return choice;
      for (std::size_t p : map_order) {
        auto a = audio_of(inv, inv.programs[p], payload, complete);
        if (auto* w = std::get_if<WaitFor>(&a)) return *w;
        if (const TsStream* s = std::get<const TsStream*>(a)) {
          program = p;
          audio.push_back(s);
          break;
        }
      }
    }
  }
  if (!request.audio && video) {
    auto a = audio_of(inv, inv.programs[*program], payload, complete);
    if (auto* w = std::get_if<WaitFor>(&a)) return *w;
    if (const TsStream* s = std::get<const TsStream*>(a)) audio.push_back(s);
  }

  choice.program = program;
  if (video) {
    choice.video_pid = video->pid;
    choice.video_codec = *carried_video(video->format);
  }
  for (const TsStream* s : audio) choice.audio.push_back({s->pid, *carried_audio(s->format), s->language, s->channels});
  if (options.every_audio) {
    // Each PID once: the PIDs already taken are marked as the list goes.
    std::vector<bool> taken(8192);
    for (const ChosenAudio& a : choice.audio) taken[a.pid] = true;
    for (const TsStream& s : inv.streams) {
      const std::optional<AudioCodec> codec = carried_audio(s.format);
      if (!codec || taken[s.pid] || payload(s.pid) == Payload::kScrambled || s.pid == choice.video_pid) continue;
      taken[s.pid] = true;
      choice.extra_audio.push_back({s.pid, *codec, s.language, s.channels});
    }
  }
  return choice;
}

void settle_inventory(TsInventory& inv, const StreamChoice& choice, const DemuxOptions& options, bool video_read,
                      const std::vector<std::size_t>& audio_frames) {
  for (std::size_t program = 0; program < inv.programs.size(); ++program) {
    TsProgram& p = inv.programs[program];
    if (!p.mapped) continue;
    bool carried = false;
    for (std::size_t i = p.first_stream; i < p.first_stream + p.stream_count; ++i) {
      TsStream& s = inv.streams[i];
      const StreamKind kind = s.kind();
      const auto chosen_audio = std::find_if(choice.audio.begin(), choice.audio.end(),
                                             [&](const ChosenAudio& a) { return a.pid == s.pid; });
      if (kind == StreamKind::kOther) {
        s.why = LeftOut::kNotMedia;
      } else if (kind == StreamKind::kVideo && choice.video_pid == s.pid) {
        s.why = video_read ? LeftOut::kCarried : LeftOut::kNoFrames;
      } else if (kind == StreamKind::kAudio && chosen_audio != choice.audio.end()) {
        const std::size_t k = static_cast<std::size_t>(chosen_audio - choice.audio.begin());
        s.why = k < audio_frames.size() && audio_frames[k] > 0 ? LeftOut::kCarried : LeftOut::kNoFrames;
      } else if (s.payload == Payload::kScrambled) {
        s.why = LeftOut::kScrambled;
      } else if (kind == StreamKind::kVideo ? !carried_video(s.format) : !carried_audio(s.format)) {
        s.why = LeftOut::kCodec;
      } else if (kind == StreamKind::kVideo ? options.request.video.has_value() : options.request.audio.has_value()) {
        s.why = LeftOut::kNotChosen;
      } else if (choice.program == program) {
        s.why = LeftOut::kAnotherTrack;
      } else {
        s.why = LeftOut::kAnotherProgram;
      }
      carried |= s.why == LeftOut::kCarried;
    }
    p.carried = carried;
    if (const TsStream* v = video_of(inv, p)) {
      p.scrambled = v->payload == Payload::kScrambled;
    } else {
      bool seen = false, clear = false;
      for (std::size_t i = p.first_stream; i < p.first_stream + p.stream_count; ++i) {
        const TsStream& s = inv.streams[i];
        if (s.kind() != StreamKind::kAudio || s.payload == Payload::kUnseen) continue;
        seen = true;
        clear |= s.payload == Payload::kClear;
      }
      p.scrambled = seen && !clear;
    }
  }
}

}  // namespace quaver
