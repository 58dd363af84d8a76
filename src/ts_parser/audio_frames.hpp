// Cutting the chosen audio stream into MP4 samples, by its own frame syntax.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "ts_parser/ac3.hpp"
#include "ts_parser/adts.hpp"
#include "ts_parser/frame_cutter.hpp"
#include "ts_parser/media_data.hpp"
#include "ts_parser/mpeg_audio.hpp"

namespace quaver {

// Cuts the complete frames at the front of MediaData::audio_buffer into the
// record's audio samples, notes the PES each sample's first byte arrived in,
// and keeps what the first frames declare. The buffer rules are FrameCutter's.
class AudioFrameCutter {
 public:
  void set_codec(AudioCodec codec) { codec_ = codec; }
  // A PES header with this PTS was read: the bytes appended to audio_buffer
  // from now on arrived in its PES.
  void pes_start(const MediaData& md, std::optional<Timestamp> pts);
  // The bytes of audio_buffer consumed (see FrameCutter::cut).
  std::size_t cut(MediaData& md);
  // The caller removed `consumed` bytes from the front of audio_buffer.
  void drained(std::size_t consumed);

 private:
  void open_sample(MediaData& md, const std::uint8_t* first_byte, ByteView bytes);

  // A PES start no sample has begun at or after yet, by its position in the
  // stream of audio bytes.
  struct PesStart {
    std::uint64_t at;
    std::optional<Timestamp> pts;
  };
  std::vector<PesStart> pending_;
  std::size_t next_pending_ = 0;
  std::uint64_t drained_ = 0;  // bytes removed from the front of audio_buffer so far
  AudioCodec codec_ = AudioCodec::kAac;
  AdtsCutter adts_;
  FrameCutter<Ac3Syntax> ac3_;
  FrameCutter<Eac3Syntax> eac3_;
  Eac3Gatherer eac3_samples_;
  FrameCutter<MpegAudioSyntax> mpeg_;
};

}  // namespace quaver
