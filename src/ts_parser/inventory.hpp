// What a transport stream holds, as the demultiplexer saw it: its programmes
// and their elementary streams, and for each stream whether the conversion
// carries it or why not. The stream choice, the report of what was left
// out, the probe and the checks of a join all read this one record.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quaver {

enum class StreamKind : std::uint8_t { kVideo, kAudio, kOther };

// What an elementary stream carries, by its stream type and descriptors.
// Those that carried_video() and carried_audio() name are the formats the
// conversion carries.
enum class StreamFormat : std::uint8_t {
  kH264,
  kHevc,
  kAac,
  kAc3,
  kEac3,
  kMpegAudio,
  kMpeg1Video,
  kMpeg2Video,
  kMpeg4Video,
  kVc1,
  kVvc,
  kLatmAac,
  kDts,
  kTrueHd,
  kOpus,
  kId3,
  kScte35,
  kDvbSubtitles,
  kTeletext,
  kPrivateData,
  kUndeclaredAudio,  // private data whose PES say audio: a format the map does not name
  kUnknown,
};

struct FormatWords {
  StreamKind kind;
  std::string_view name;  // for people: "H.264", "AC-3"
  std::string_view id;    // for programs: "h264", "ac3"
};
const FormatWords& words_of(StreamFormat format);

// Whether the first packet with a payload of a PID has been seen, and what
// its transport_scrambling_control said.
enum class Payload : std::uint8_t { kUnseen, kClear, kScrambled };

// Why a stream is not in the result.
enum class LeftOut : std::uint8_t {
  kCarried,         // it is
  kNotMedia,        // neither video nor audio (metadata, subtitles, cues)
  kNotChosen,       // the caller named other streams of its kind
  kAnotherTrack,    // another stream of its kind in the programme was taken
  kAnotherProgram,  // its programme was not the one taken
  kScrambled,       // its payload is scrambled
  kCodec,           // a format the conversion does not carry
  kNoFrames,        // taken, but no frame of it could be read
};

struct TsStream {
  std::uint16_t pid = 0;
  std::uint16_t program = 0;       // program_number of the map that lists it
  std::uint8_t stream_type = 0;
  StreamFormat format = StreamFormat::kUnknown;
  std::uint8_t ordinal = 1;        // 1 for the map's first stream of its kind, 2 for the second, ...
  std::array<char, 3> language{};  // ISO 639-2 code of its language descriptor; zeros when none
  std::uint8_t channels = 0;       // as its descriptors declare them (Opus); 0 when they do not
  Payload payload = Payload::kUnseen;  // set when the walk is done
  LeftOut why = LeftOut::kCarried;

  StreamKind kind() const { return words_of(format).kind; }
  std::string_view language_code() const;  // empty when none
};

struct TsProgram {
  std::uint16_t number = 0;
  std::uint16_t pmt_pid = 0;
  bool mapped = false;     // its programme map was read
  bool scrambled = false;  // the video it would give (or without video, all of its audio) is scrambled
  bool carried = false;    // a stream of it is in the result
  // Its streams: inventory.streams[first_stream, first_stream + stream_count).
  std::size_t first_stream = 0;
  std::size_t stream_count = 0;
};

struct TsInventory {
  std::size_t packet_size = 188;       // 192 for M2TS, whose packets carry a 4-byte timestamp in front
  std::vector<TsProgram> programs;     // as the PAT lists them
  std::vector<TsStream> streams;       // as the maps list them, map after map in the order they were read
  bool every_video_scrambled = false;  // programmes with video exist, and the video of each is scrambled
};

// "second audio track", "scrambled", ...: why a stream is not carried.
std::string why_text(const TsStream& stream);

// One line per stream or programme holding video or audio that the result
// does not carry ("left out: PID 258 audio AC-3 [eng]: second audio track").
// Streams left out because the caller named others are not listed.
std::vector<std::string> left_out_lines(const TsInventory& inventory);

}  // namespace quaver
