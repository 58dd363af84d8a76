#include "ts_parser/stream_choice.hpp"

namespace quaver {

namespace {

constexpr std::uint8_t kAc3DescriptorTag = 0x6A;
constexpr std::uint8_t kEnhancedAc3DescriptorTag = 0x7A;

// Whether the descriptor loop holds a descriptor with this tag; a descriptor
// cut short by the end of the bytes still counts by its tag.
bool has_descriptor(ByteView d, std::uint8_t tag) {
  for (std::size_t i = 0; i + 2 <= d.size(); i += 2 + std::size_t{d[i + 1]}) {
    if (d[i] == tag) return true;
  }
  return false;
}

}  // namespace

void StreamChooser::add(std::uint8_t stream_type, std::uint16_t pid, ByteView descriptors) {
  int kind = -1;
  switch (stream_type) {
    case 0x1B: kind = kH264; break;
    case 0x24: kind = kHevc; break;
    case 0x0F: kind = kAac; break;
    case 0x81: kind = kAc3; break;
    case 0x87: kind = kEac3; break;
    case 0x03:
    case 0x04: kind = kMpegAudio; break;
    case 0x06:
      if (has_descriptor(descriptors, kAc3DescriptorTag)) {
        kind = kAc3;
      } else if (has_descriptor(descriptors, kEnhancedAc3DescriptorTag)) {
        kind = kEac3;
      }
      break;
    default: break;
  }
  if (kind >= 0 && !first_[kind]) first_[kind] = pid;
}

StreamChoice StreamChooser::choose() const {
  StreamChoice c;
  if (first_[kH264]) {
    c.video_pid = first_[kH264];
  } else if (first_[kHevc]) {
    c.video_pid = first_[kHevc];
    c.video_codec = VideoCodec::kHevc;
  }
  static constexpr std::pair<Kind, AudioCodec> kAudioPreference[] = {
      {kAac, AudioCodec::kAac}, {kAc3, AudioCodec::kAc3}, {kEac3, AudioCodec::kEac3},
      {kMpegAudio, AudioCodec::kMpegAudio}};
  for (auto [kind, codec] : kAudioPreference) {
    if (first_[kind]) {
      c.audio_pid = first_[kind];
      c.audio_codec = codec;
      break;
    }
  }
  return c;
}

}  // namespace quaver
