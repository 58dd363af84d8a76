// Cutting the chosen audio stream into MP4 samples, by its own frame syntax.
#pragma once

#include <cstddef>

#include "ts_parser/ac3.hpp"
#include "ts_parser/adts.hpp"
#include "ts_parser/frame_cutter.hpp"
#include "ts_parser/media_data.hpp"
#include "ts_parser/mpeg_audio.hpp"

namespace quaver {

// Cuts the complete frames at the front of MediaData::audio_buffer into the
// record's audio samples, each with the record's current audio PTS, and
// keeps what the first frames declare. The buffer rules are FrameCutter's.
class AudioFrameCutter {
 public:
  void set_codec(AudioCodec codec) { codec_ = codec; }
  // The bytes of audio_buffer consumed (see FrameCutter::cut).
  std::size_t cut(MediaData& md);
  // The caller removed `consumed` bytes from the front of audio_buffer.
  void drained(std::size_t consumed);

 private:
  AudioCodec codec_ = AudioCodec::kAac;
  AdtsCutter adts_;
  FrameCutter<Ac3Syntax> ac3_;
  FrameCutter<Eac3Syntax> eac3_;
  Eac3Gatherer eac3_samples_;
  FrameCutter<MpegAudioSyntax> mpeg_;
};

}  // namespace quaver
