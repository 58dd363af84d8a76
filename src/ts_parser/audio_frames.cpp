#include "ts_parser/audio_frames.hpp"

namespace quaver {

namespace {

void open_sample(MediaData& md, ByteView bytes) {
  md.audio_frames.push_back(AudioFrameRef{md.audio_frame_bytes.size(), bytes.size()});
  md.audio_frame_bytes.insert(md.audio_frame_bytes.end(), bytes.begin(), bytes.end());
  md.audio_timestamps.push_back(md.audio_pts);
}

// Frames of one sample lie back to back, so joining one grows the last range.
void join_sample(MediaData& md, ByteView bytes) {
  md.audio_frames.back().size += bytes.size();
  md.audio_frame_bytes.insert(md.audio_frame_bytes.end(), bytes.begin(), bytes.end());
}

}  // namespace

std::size_t AudioFrameCutter::cut(MediaData& md) {
  const ByteView buf(md.audio_buffer.data(), md.audio_buffer.size());
  switch (codec_) {
    case AudioCodec::kAac:
      return adts_.cut(buf, [&](ByteView header, ByteView frame) {
        if (md.audio_frames.empty()) {
          md.audio_config = AdtsConfig{static_cast<std::uint8_t>(header[2] >> 6),
                                       static_cast<std::uint8_t>((header[2] >> 2) & 0x0F),
                                       static_cast<std::uint8_t>(((header[2] & 0x01) << 2) | (header[3] >> 6))};
        }
        open_sample(md, frame);
      });
    case AudioCodec::kAc3:
      return ac3_.cut(buf, [&](ByteView frame) {
        if (md.audio_frames.empty()) md.ac3_config = read_ac3_config(frame);
        open_sample(md, frame);
      });
    case AudioCodec::kEac3:
      return eac3_.cut(buf, [&](ByteView frame) {
        switch (eac3_samples_.add(frame)) {
          case Eac3Gatherer::Step::kDrop: return;
          case Eac3Gatherer::Step::kOpen: open_sample(md, frame); break;
          case Eac3Gatherer::Step::kJoin: join_sample(md, frame); break;
        }
        // The configuration is read from the frames of the first sample.
        if (md.audio_frames.size() == 1) md.eac3_config = eac3_samples_.config();
      });
    case AudioCodec::kMpegAudio:
      return mpeg_.cut(buf, [&](ByteView frame) {
        if (md.audio_frames.empty()) md.mpeg_audio_config = read_mpeg_audio_header(frame.data());
        open_sample(md, frame);
      });
  }
  return 0;
}

void AudioFrameCutter::drained(std::size_t consumed) {
  adts_.drained(consumed);
  ac3_.drained(consumed);
  eac3_.drained(consumed);
  mpeg_.drained(consumed);
}

}  // namespace quaver
