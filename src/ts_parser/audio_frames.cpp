#include "ts_parser/audio_frames.hpp"

#include <algorithm>

namespace quaver {

namespace {

// Frames of one sample lie back to back, so joining one grows the last size.
// A sample of 2^32 bytes or more cannot be written: its size stays at the
// largest value, and the whole audio, larger still, is refused by the writer.
void join_sample(MediaData& md, ByteView bytes) {
  std::uint32_t& size = md.audio_frame_sizes.back();
  size = static_cast<std::uint32_t>(std::min<std::uint64_t>(std::uint64_t{size} + bytes.size(), 0xFFFFFFFFu));
  md.audio_frame_bytes.insert(md.audio_frame_bytes.end(), bytes.begin(), bytes.end());
}

}  // namespace

void AudioFrameCutter::pes_start(const MediaData& md, std::optional<Timestamp> pts) {
  pending_.push_back({drained_ + md.audio_buffer.size(), pts});
}

void AudioFrameCutter::open_sample(MediaData& md, const std::uint8_t* first_byte, ByteView bytes) {
  const std::uint64_t at = drained_ + static_cast<std::uint64_t>(first_byte - md.audio_buffer.data());
  // The last PES that started at or before the sample's first byte holds it.
  std::size_t reached = next_pending_;
  while (reached < pending_.size() && pending_[reached].at <= at) ++reached;
  if (reached != next_pending_) {
    md.audio_pes.push_back({pending_[reached - 1].pts, md.audio_frame_sizes.size()});
    next_pending_ = reached;
    if (next_pending_ == pending_.size()) {
      pending_.clear();
      next_pending_ = 0;
    }
  }
  if (md.audio_frame_sizes.empty()) md.audio_report_first = md.audio_pts;
  md.audio_report_last = md.audio_pts;
  md.audio_frame_sizes.push_back(static_cast<std::uint32_t>(bytes.size()));  // a frame is below 2^32 bytes
  md.audio_frame_bytes.insert(md.audio_frame_bytes.end(), bytes.begin(), bytes.end());
}

std::size_t AudioFrameCutter::cut(MediaData& md) {
  const ByteView buf(md.audio_buffer.data(), md.audio_buffer.size());
  switch (codec_) {
    case AudioCodec::kAac:
      return adts_.cut(buf, [&](ByteView header, ByteView frame) {
        if (md.audio_frame_sizes.empty()) {
          md.audio_config = AdtsConfig{static_cast<std::uint8_t>(header[2] >> 6),
                                       static_cast<std::uint8_t>((header[2] >> 2) & 0x0F),
                                       static_cast<std::uint8_t>(((header[2] & 0x01) << 2) | (header[3] >> 6))};
        }
        open_sample(md, header.data(), frame);
      });
    case AudioCodec::kAc3:
      return ac3_.cut(buf, [&](ByteView frame) {
        if (md.audio_frame_sizes.empty()) md.ac3_config = read_ac3_config(frame);
        open_sample(md, frame.data(), frame);
      });
    case AudioCodec::kEac3:
      return eac3_.cut(buf, [&](ByteView frame) {
        switch (eac3_samples_.add(frame)) {
          case Eac3Gatherer::Step::kDrop: return;
          case Eac3Gatherer::Step::kOpen: open_sample(md, frame.data(), frame); break;
          case Eac3Gatherer::Step::kJoin: join_sample(md, frame); break;
        }
        // The configuration is read from the frames of the first sample.
        if (md.audio_frame_sizes.size() == 1) md.eac3_config = eac3_samples_.config();
      });
    case AudioCodec::kMpegAudio:
      return mpeg_.cut(buf, [&](ByteView frame) {
        if (md.audio_frame_sizes.empty()) md.mpeg_audio_config = read_mpeg_audio_header(frame.data());
        open_sample(md, frame.data(), frame);
      });
  }
  return 0;
}

void AudioFrameCutter::drained(std::size_t consumed) {
  drained_ += consumed;
  adts_.drained(consumed);
  ac3_.drained(consumed);
  eac3_.drained(consumed);
  mpeg_.drained(consumed);
}

}  // namespace quaver
