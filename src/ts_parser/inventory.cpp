#include "ts_parser/inventory.hpp"

#include <iterator>

namespace quaver {

namespace {

constexpr FormatWords kWords[] = {
    {StreamKind::kVideo, "H.264", "h264"},
    {StreamKind::kVideo, "HEVC", "hevc"},
    {StreamKind::kAudio, "AAC", "aac"},
    {StreamKind::kAudio, "AC-3", "ac3"},
    {StreamKind::kAudio, "E-AC-3", "eac3"},
    {StreamKind::kAudio, "MP2/MP3", "mpeg_audio"},
    {StreamKind::kVideo, "MPEG-1", "mpeg1video"},
    {StreamKind::kVideo, "MPEG-2", "mpeg2video"},
    {StreamKind::kVideo, "MPEG-4 Visual", "mpeg4"},
    {StreamKind::kVideo, "VC-1", "vc1"},
    {StreamKind::kVideo, "VVC", "vvc"},
    {StreamKind::kAudio, "LATM AAC", "aac_latm"},
    {StreamKind::kAudio, "DTS", "dts"},
    {StreamKind::kAudio, "TrueHD", "truehd"},
    {StreamKind::kAudio, "Opus", "opus"},
    {StreamKind::kOther, "ID3 metadata", "timed_id3"},
    {StreamKind::kOther, "SCTE-35 cues", "scte_35"},
    {StreamKind::kOther, "DVB subtitles", "dvb_subtitle"},
    {StreamKind::kOther, "teletext", "dvb_teletext"},
    {StreamKind::kOther, "private data", "data"},
    {StreamKind::kAudio, "of a format the map does not name", "unknown"},
    {StreamKind::kOther, "unknown", "unknown"},
};
static_assert(std::size(kWords) == static_cast<std::size_t>(StreamFormat::kUnknown) + 1);

constexpr std::string_view kOrdinals[] = {"first", "second", "third", "fourth", "fifth",
                                          "sixth", "seventh", "eighth", "ninth", "tenth"};

std::string_view kind_word(StreamKind kind) {
  return kind == StreamKind::kVideo ? "video" : kind == StreamKind::kAudio ? "audio" : "data";
}

// "PID 258 audio AC-3 [eng]"
std::string describe(const TsStream& s) {
  std::string out = "PID " + std::to_string(s.pid) + " " + std::string(kind_word(s.kind())) + " " +
                    std::string(words_of(s.format).name);
  if (!s.language_code().empty()) out += " [" + std::string(s.language_code()) + "]";
  return out;
}

}  // namespace

const FormatWords& words_of(StreamFormat format) { return kWords[static_cast<std::size_t>(format)]; }

std::string_view TsStream::language_code() const {
  return language[0] ? std::string_view(language.data(), language.size()) : std::string_view();
}

std::string why_text(const TsStream& s) {
  switch (s.why) {
    case LeftOut::kCarried: return "";
    case LeftOut::kNotMedia: return "neither video nor audio";
    case LeftOut::kNotChosen: return "not chosen";
    case LeftOut::kAnotherTrack: {
      const std::string kind(kind_word(s.kind()));
      if (s.ordinal >= 1 && s.ordinal <= std::size(kOrdinals)) {
        return std::string(kOrdinals[s.ordinal - 1]) + " " + kind + " track";
      }
      return kind + " track " + std::to_string(s.ordinal);
    }
    case LeftOut::kAnotherProgram: return "another program";
    case LeftOut::kScrambled: return "scrambled";
    case LeftOut::kCodec: return "a codec quaver does not carry";
    case LeftOut::kNoFrames: return "no frame of it could be read";
  }
  return "";
}

std::vector<std::string> left_out_lines(const TsInventory& inv) {
  std::vector<std::string> lines;
  const auto media = [](const TsStream& s) { return s.kind() != StreamKind::kOther; };
  for (const TsProgram& p : inv.programs) {
    if (!p.mapped) continue;
    const auto begin = inv.streams.begin() + static_cast<std::ptrdiff_t>(p.first_stream);
    const auto end = begin + static_cast<std::ptrdiff_t>(p.stream_count);
    if (p.carried) {
      for (auto s = begin; s != end; ++s) {
        if (media(*s) && s->why != LeftOut::kCarried && s->why != LeftOut::kNotChosen) {
          lines.push_back("left out: " + describe(*s) + ": " + why_text(*s));
        }
      }
      continue;
    }
    // A programme not taken: one line naming its video and audio.
    std::string streams;
    for (auto s = begin; s != end; ++s) {
      if (media(*s)) streams += (streams.empty() ? "" : ", ") + describe(*s);
    }
    if (streams.empty()) continue;
    lines.push_back("left out: program " + std::to_string(p.number) + " (" + streams +
                    "): " + (p.scrambled ? "scrambled" : "another program"));
  }
  return lines;
}

}  // namespace quaver
