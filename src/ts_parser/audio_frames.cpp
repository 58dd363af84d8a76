#include "ts_parser/audio_frames.hpp"

#include <algorithm>

namespace quaver {

namespace {

// Frames of one sample lie back to back, so joining one grows the last size.
// A sample of 2^32 bytes or more cannot be written: its size stays at the
// largest value, and the whole audio, larger still, is refused by the writer.
void join_sample(AudioTrack& track, ByteView bytes) {
  std::uint32_t& size = track.frame_sizes.back();
  size = static_cast<std::uint32_t>(std::min<std::uint64_t>(std::uint64_t{size} + bytes.size(), 0xFFFFFFFFu));
  track.frame_bytes.insert(track.frame_bytes.end(), bytes.begin(), bytes.end());
}

}  // namespace

void AudioFrameCutter::pes_start(AudioTrack& track, std::optional<Timestamp> pts, ByteView es) {
  // Frames completed by now belong to the previous PES.
  if (!buffer_.empty()) cut_and_drain(track);
  pts_ = pts;
  pending_.push_back({drained_ + buffer_.size(), pts});
  buffer_.insert(buffer_.end(), es.begin(), es.end());
  cut_and_drain(track);
}

void AudioFrameCutter::append(AudioTrack& track, ByteView es) {
  buffer_.insert(buffer_.end(), es.begin(), es.end());
  cut_and_drain(track);
}

void AudioFrameCutter::finish(AudioTrack& track) {
  decided_ = true;  // a stream that never showed a header of either syntax stays MPEG audio
  if (!buffer_.empty()) cut(track);
}

void AudioFrameCutter::cut_and_drain(AudioTrack& track) {
  const std::size_t consumed = cut(track);
  if (consumed == 0) return;
  buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(consumed));
  drained_ += consumed;
  adts_.drained(consumed);
  ac3_.drained(consumed);
  eac3_.drained(consumed);
  mpeg_.drained(consumed);
}

// Finds the first header of either syntax in a stream typed as MPEG audio.
// Nothing is consumed before it is found, so the buffer only grows meanwhile.
bool AudioFrameCutter::decide(AudioTrack& track) {
  const std::uint8_t* p = buffer_.data();
  const std::size_t n = buffer_.size();
  for (std::size_t q = decide_from_; q + AdtsSyntax::kHeaderBytes <= n; ++q) {
    if (p[q] != 0xFF) continue;
    if (is_adts_header(p + q)) {
      codec_ = track.codec = AudioCodec::kAac;
      return decided_ = true;
    }
    if (read_mpeg_audio_header(p + q)) return decided_ = true;
  }
  decide_from_ = n >= AdtsSyntax::kHeaderBytes ? n - AdtsSyntax::kHeaderBytes + 1 : 0;
  return false;
}

void AudioFrameCutter::open_sample(AudioTrack& track, const std::uint8_t* first_byte, ByteView bytes) {
  const std::uint64_t at = drained_ + static_cast<std::uint64_t>(first_byte - buffer_.data());
  // The last PES that started at or before the sample's first byte holds it.
  std::size_t reached = next_pending_;
  while (reached < pending_.size() && pending_[reached].at <= at) ++reached;
  if (reached != next_pending_) {
    track.pes.push_back({pending_[reached - 1].pts, track.frame_sizes.size()});
    next_pending_ = reached;
    if (next_pending_ == pending_.size()) {
      pending_.clear();
      next_pending_ = 0;
    }
  }
  if (track.frame_sizes.empty()) track.report_first = pts_;
  track.report_last = pts_;
  track.frame_sizes.push_back(static_cast<std::uint32_t>(bytes.size()));  // a frame is below 2^32 bytes
  track.frame_bytes.insert(track.frame_bytes.end(), bytes.begin(), bytes.end());
}

std::size_t AudioFrameCutter::cut(AudioTrack& track) {
  if (!decided_ && !decide(track)) return 0;
  const ByteView buf(buffer_.data(), buffer_.size());
  switch (codec_) {
    case AudioCodec::kAac:
      return adts_.cut(buf, [&](ByteView header, ByteView frame) {
        if (track.frame_sizes.empty()) {
          track.config = AdtsConfig{static_cast<std::uint8_t>(header[2] >> 6),
                                    static_cast<std::uint8_t>((header[2] >> 2) & 0x0F),
                                    static_cast<std::uint8_t>(((header[2] & 0x01) << 2) | (header[3] >> 6))};
        }
        open_sample(track, header.data(), frame);
      });
    case AudioCodec::kAc3:
      return ac3_.cut(buf, [&](ByteView frame) {
        if (track.frame_sizes.empty()) {
          if (std::optional<Ac3Config> c = read_ac3_config(frame)) track.config = *c;
        }
        open_sample(track, frame.data(), frame);
      });
    case AudioCodec::kEac3:
      return eac3_.cut(buf, [&](ByteView frame) {
        switch (eac3_samples_.add(frame)) {
          case Eac3Gatherer::Step::kDrop: return;
          case Eac3Gatherer::Step::kOpen: open_sample(track, frame.data(), frame); break;
          case Eac3Gatherer::Step::kJoin: join_sample(track, frame); break;
        }
        // The configuration is read from the frames of the first sample.
        if (track.frame_sizes.size() == 1 && eac3_samples_.config()) track.config = *eac3_samples_.config();
      });
    case AudioCodec::kMpegAudio:
      return mpeg_.cut(buf, [&](ByteView frame) {
        if (track.frame_sizes.empty()) {
          if (std::optional<MpegAudioHeader> h = read_mpeg_audio_header(frame.data())) track.config = *h;
        }
        open_sample(track, frame.data(), frame);
      });
  }
  return 0;
}

}  // namespace quaver
