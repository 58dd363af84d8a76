// Which elementary streams of a programme the demultiplexer takes.
//
// Video: the first H.264 entry of the programme map, else the first HEVC
// entry. Audio: the first ADTS AAC entry, else the first AC-3, else the first
// E-AC-3, else the first MPEG audio (layers I to III) entry. DVB maps list
// AC-3 and E-AC-3 as private data (stream type 0x06) marked by a descriptor;
// ATSC maps give them stream types of their own. MPEG-2 video is not taken:
// its pictures are not NAL units, and labelling them H.264 would give a file
// that no reader plays.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <utility>

#include "core/bytes.hpp"
#include "ts_parser/media_data.hpp"

namespace quaver {

struct StreamChoice {
  std::optional<std::uint16_t> video_pid;
  VideoCodec video_codec = VideoCodec::kH264;
  std::optional<std::uint16_t> audio_pid;
  AudioCodec audio_codec = AudioCodec::kAac;
};

class StreamChooser {
 public:
  // One programme map entry, in table order; `descriptors` is whatever of its
  // ES_info lies in the bytes at hand.
  void add(std::uint8_t stream_type, std::uint16_t pid, ByteView descriptors);
  StreamChoice choose() const;

 private:
  enum Kind { kH264, kHevc, kAac, kAc3, kEac3, kMpegAudio, kKinds };
  std::array<std::optional<std::uint16_t>, kKinds> first_{};
};

}  // namespace quaver
