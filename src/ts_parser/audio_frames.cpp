#include "ts_parser/audio_frames.hpp"

#include <algorithm>
#include <type_traits>

namespace quaver {

AudioFrameCutter::AudioFrameCutter(AudioCodec codec, std::uint8_t channels)
    : decided_(codec != AudioCodec::kMpegAudio), framing_(framing_of(codec, channels)) {}

AudioFrameCutter::AnyFraming AudioFrameCutter::framing_of(AudioCodec codec, std::uint8_t channels) {
  switch (codec) {
    case AudioCodec::kAac: return Framing<aac::AdtsFrames>{};
    case AudioCodec::kAc3: return Framing<ac3::Ac3Frames>{};
    case AudioCodec::kEac3: return Framing<ac3::Eac3Frames>{};
    case AudioCodec::kMpegAudio: return Framing<mpeg_audio::Frames>{};
    case AudioCodec::kLatmAac: return Framing<latm::LoasFrames>{};
    case AudioCodec::kOpus: return Framing<opus::Packets>{{}, opus::Packets(channels)};
  }
  fault("unknown audio codec");
}

void AudioFrameCutter::pes_start(AudioTrack& track, std::optional<Timestamp> pts, ByteView es) {
  // Frames completed by now belong to the previous PES.
  if (!buffer_.empty()) cut_and_drain(track);
  pts_ = pts;
  pending_.push_back({drained_ + buffer_.size(), pts});
  gather(es);
  cut_and_drain(track);
}

void AudioFrameCutter::append(AudioTrack& track, ByteView es) {
  gather(es);
  cut_and_drain(track);
}

void AudioFrameCutter::gather(ByteView es) {
  if (es.empty()) return;
  sources_.push_back({drained_ + buffer_.size(), es.data(), es.size()});
  buffer_.insert(buffer_.end(), es.begin(), es.end());
}

void AudioFrameCutter::keep(AudioTrack& track, ByteView bytes) {
  const auto from = reinterpret_cast<std::uintptr_t>(bytes.data());
  const auto gathered = reinterpret_cast<std::uintptr_t>(buffer_.data());
  if (from < gathered || from - gathered > buffer_.size() || bytes.size() > buffer_.size() - (from - gathered)) {
    const ByteView copy = track.rebuilt_bytes.keep(bytes);
    track.frame_bytes.append(copy.data(), copy.size());
    return;
  }
  std::uint64_t at = drained_ + static_cast<std::uint64_t>(from - gathered);
  std::size_t left = bytes.size();
  // Samples are kept in stream order, so the sources before the first one
  // holding `at` are never needed again.
  while (first_source_ < sources_.size() && sources_[first_source_].at + sources_[first_source_].size <= at) {
    ++first_source_;
  }
  for (std::size_t k = first_source_; left > 0; ++k) {
    if (k >= sources_.size()) fault("audio bytes kept that were never gathered");
    const Source& s = sources_[k];
    const std::size_t off = static_cast<std::size_t>(at - s.at);
    const std::size_t n = std::min(left, s.size - off);
    track.frame_bytes.append(s.data + off, n);
    at += n;
    left -= n;
  }
  if (first_source_ > 64 && first_source_ * 2 > sources_.size()) {
    sources_.erase(sources_.begin(), sources_.begin() + static_cast<std::ptrdiff_t>(first_source_));
    first_source_ = 0;
  }
}

// Frames of one sample lie back to back, so joining one grows the last size.
// A sample of 2^32 bytes or more cannot be written: its size stays at the
// largest value, and the whole audio, larger still, is refused by the writer.
void AudioFrameCutter::join_sample(AudioTrack& track, ByteView bytes) {
  std::uint32_t& size = track.frame_sizes.back();
  size = static_cast<std::uint32_t>(std::min<std::uint64_t>(std::uint64_t{size} + bytes.size(), 0xFFFFFFFFu));
  keep(track, bytes);
}

void AudioFrameCutter::finish(AudioTrack& track) {
  decided_ = true;  // a stream that never showed a header of either syntax stays MPEG audio
  if (buffer_.empty()) return;
  // The last frames of a syntax whose frames may be shorter than the bytes
  // a header is judged by (Opus packets of a few bytes) are judged with zero
  // bytes behind them, and a frame that would reach into those is not taken.
  const std::size_t look = std::visit(
      [](const auto& f) -> std::size_t {
        using Frames = std::decay_t<decltype(f.frames)>;
        if constexpr (requires { Frames::kShortestFrame; }) return Frames::kHeaderBytes;
        return 0;
      },
      framing_);
  end_ = buffer_.size();
  buffer_.resize(end_ + look, 0);
  cut(track);
}

void AudioFrameCutter::cut_and_drain(AudioTrack& track) {
  const std::size_t consumed = cut(track);
  if (consumed == 0) return;
  buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(consumed));
  drained_ += consumed;
  std::visit([&](auto& f) { f.cutter.drained(consumed); }, framing_);
}

// Finds the first header of either syntax in a stream typed as MPEG audio.
// Nothing is consumed before it is found, so the buffer only grows meanwhile.
bool AudioFrameCutter::decide(AudioTrack& track) {
  const std::uint8_t* p = buffer_.data();
  const std::size_t n = buffer_.size();
  constexpr std::size_t kHeaderBytes = aac::AdtsFrames::kHeaderBytes;
  for (std::size_t q = decide_from_; q + kHeaderBytes <= n; ++q) {
    if (p[q] != 0xFF) continue;
    if (aac::is_adts_header(p + q)) {
      track.codec = AudioCodec::kAac;
      framing_ = framing_of(AudioCodec::kAac);
      return decided_ = true;
    }
    if (mpeg_audio::read_header(p + q)) return decided_ = true;
  }
  decide_from_ = n >= kHeaderBytes ? n - kHeaderBytes + 1 : 0;
  return false;
}

void AudioFrameCutter::open_sample(AudioTrack& track, const std::uint8_t* first_byte, const SampleStep& step) {
  const ByteView bytes = step.bytes;
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
  if (track.frame_sizes.empty()) {
    track.report_first = pts_;
    first_duration_ = step.duration;
  } else if (step.duration != first_duration_ && track.durations.empty()) {
    // The first sample lasting otherwise: every one's length is kept from here on.
    track.durations.assign(track.frame_sizes.size(), first_duration_);
  }
  if (!track.durations.empty()) track.durations.push_back(step.duration);
  track.report_last = pts_;
  track.frame_sizes.push_back(static_cast<std::uint32_t>(bytes.size()));  // a frame is below 2^32 bytes
  keep(track, bytes);
}

template <class Frames>
std::size_t AudioFrameCutter::cut_with(Framing<Frames>& framing, AudioTrack& track) {
  const ByteView buf(buffer_.data(), buffer_.size());
  return framing.cutter.cut(buf, [&](ByteView frame) {
    if (static_cast<std::size_t>(frame.data() - buffer_.data()) + frame.size() > end_) return;
    const auto take = [&](const SampleStep& step) {
      switch (step.kind) {
        case SampleStep::Kind::kDrop: return;
        case SampleStep::Kind::kOpen: open_sample(track, frame.data(), step); break;
        case SampleStep::Kind::kJoin: join_sample(track, step.bytes); break;
      }
      if (track.frame_sizes.size() == 1 && framing.frames.config()) track.config = *framing.frames.config();
    };
    take(framing.frames.add(frame));
    if constexpr (requires { framing.frames.next(); }) {
      while (const std::optional<SampleStep> more = framing.frames.next()) take(*more);
    }
  });
}

std::size_t AudioFrameCutter::cut(AudioTrack& track) {
  if (!decided_ && !decide(track)) return 0;
  return std::visit([&](auto& framing) { return cut_with(framing, track); }, framing_);
}

}  // namespace quaver
