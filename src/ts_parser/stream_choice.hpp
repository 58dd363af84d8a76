// Which programme and which of its elementary streams the demultiplexer takes.
//
// Programme: the first map read (in input order) of a programme that has
// video the conversion carries and whose video is not scrambled; when no
// programme has such video, the first with audio it carries (only where an
// audio-only result is wanted). Video: its first H.264 stream, else its
// first HEVC stream, else its first MPEG-2 video stream. Audio: its first
// AAC (ADTS) stream, else LATM AAC, else AC-3, else E-AC-3, else MPEG audio
// (layers I to III), else Opus, passing over scrambled ones. DVB maps list
// AC-3, E-AC-3 and Opus as private data (stream type 0x06) marked by a
// descriptor; ATSC maps give the first two stream types of their own.
//
// A stream is scrambled when the first packet of its PID with a payload says
// so. The choice waits until the first packet of each stream it depends on
// has been seen, or the whole input has; a stream never seen counts as clear
// (the demultiplexer stops waiting for one sooner: see kPatience).
// A caller may name the video and audio streams instead, by PID.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "core/bytes.hpp"
#include "core/result.hpp"
#include "ts_parser/inventory.hpp"
#include "ts_parser/media_data.hpp"

namespace quaver {

// What an elementary stream of a programme map carries, by its stream type
// and (for private data, 0x06) its descriptors.
StreamFormat classify_stream(std::uint8_t stream_type, ByteView descriptors);

// The code of the first ISO 639 language descriptor (tag 0x0A); zeros when
// there is none or it is not three letters.
std::array<char, 3> language_of(ByteView descriptors);

std::optional<VideoCodec> carried_video(StreamFormat format);
std::optional<AudioCodec> carried_audio(StreamFormat format);

// Streams a caller names by PID; nothing means the default choice.
struct StreamRequest {
  std::optional<std::uint32_t> video;
  std::optional<std::vector<std::uint32_t>> audio;  // empty: no audio
};

struct DemuxOptions {
  StreamRequest request;
  bool audio_only = false;        // a programme without video may be taken
  bool left_out_lines = false;    // the report says what the result leaves out
  bool every_audio = false;       // every other clear audio stream the conversion could carry is read too
};

struct ChosenAudio {
  std::uint16_t pid;
  AudioCodec codec;
  std::array<char, 3> language;
  std::uint8_t channels;  // TsStream::channels
};

struct StreamChoice {
  std::optional<std::size_t> program;  // index into inventory.programs
  std::optional<std::uint16_t> video_pid;
  VideoCodec video_codec = VideoCodec::kH264;
  std::vector<ChosenAudio> audio;        // in the order given to the result
  std::vector<ChosenAudio> extra_audio;  // read only (DemuxOptions::every_audio)
};

// What the first packet with a payload of a PID said, as far as the walk has come.
using PayloadOf = std::function<Payload(std::uint16_t pid)>;

// Not yet: the choice depends on a stream whose first packet has not been
// seen (`pid`), or on a map not yet read (no pid).
struct WaitFor {
  std::optional<std::uint16_t> pid;
};

// The choice over the maps read so far, in the order they were read; with
// `complete`, the whole input has been looked at and there is no waiting.
// An error names a stream the caller asked for that cannot be taken.
std::variant<WaitFor, StreamChoice, Error> choose_streams(TsInventory& inventory,
                                                          const std::vector<std::size_t>& map_order,
                                                          const PayloadOf& payload, const DemuxOptions& options,
                                                          bool complete);

// Settles every stream's LeftOut and every programme's flags once the walk
// is done and every stream's `payload` is set: `video_read` when the video
// taken gave bytes, audio_frames[k] the number of frames read of
// choice.audio[k].
void settle_inventory(TsInventory& inventory, const StreamChoice& choice, const DemuxOptions& options,
                      bool video_read, const std::vector<std::size_t>& audio_frames);

}  // namespace quaver
