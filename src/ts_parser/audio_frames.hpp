// Cutting one audio stream into MP4 samples, by its own frame syntax.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <variant>
#include <vector>

#include "codec/codec.hpp"
#include "ts_parser/frame_cutter.hpp"
#include "ts_parser/media_data.hpp"

namespace quaver {

// Gathers the PES payloads of one audio PID, cuts the complete frames at the
// front of what it gathered by its codec's frame syntax, makes them the
// track's samples as the codec's framer says (codec/framing.hpp), notes the
// PES each sample's first byte arrived in, and keeps what the frames of the
// first sample declare. The buffer rules are FrameCutter's.
//
// A stream typed as MPEG audio whose frames are ADTS is AAC: the layer bits
// 00 are reserved in MPEG audio and are ADTS's signature. Such a stream is
// cut by neither syntax until the first header of one of them is found.
class AudioFrameCutter {
 public:
  // `channels`: what the stream's map declares, where its format needs it
  // (Opus); 0 when it does not say.
  explicit AudioFrameCutter(AudioCodec codec, std::uint8_t channels = 0);

  // A PES header with this PTS was read; `es` is what of its elementary
  // stream came with it.
  void pes_start(AudioTrack& track, std::optional<Timestamp> pts, ByteView es);
  // More of the current PES.
  void append(AudioTrack& track, ByteView es);
  // The end of the input: the frames still complete are cut (those of a
  // syntax whose frames may be shorter than its header's look too), and
  // what is left is dropped.
  void finish(AudioTrack& track);

 private:
  // One codec's frame cutter and framer.
  template <class Frames>
  struct Framing {
    FrameCutter<Frames> cutter;
    Frames frames;
  };
  using AnyFraming = std::variant<Framing<aac::AdtsFrames>, Framing<ac3::Ac3Frames>, Framing<ac3::Eac3Frames>,
                                  Framing<mpeg_audio::Frames>, Framing<latm::LoasFrames>, Framing<opus::Packets>>;
  static AnyFraming framing_of(AudioCodec codec, std::uint8_t channels = 0);

  std::size_t cut(AudioTrack& track);
  template <class Frames>
  std::size_t cut_with(Framing<Frames>& framing, AudioTrack& track);
  void cut_and_drain(AudioTrack& track);
  bool decide(AudioTrack& track);
  void open_sample(AudioTrack& track, const std::uint8_t* first_byte, const SampleStep& step);
  void join_sample(AudioTrack& track, ByteView bytes);
  // Appends to the track the bytes of a sample: the input ranges they were
  // gathered from where they lie in buffer_, else a copy the track keeps.
  void keep(AudioTrack& track, ByteView bytes);
  void gather(ByteView es);

  // A PES start no sample has begun at or after yet, by its position in the
  // stream of audio bytes.
  struct PesStart {
    std::uint64_t at;
    std::optional<Timestamp> pts;
  };
  std::vector<std::uint8_t> buffer_;  // bytes not yet cut into frames
  // Where the bytes gathered came from: the input range of each `es` given,
  // by the stream position of its first byte. Those wholly drained are
  // dropped from the front now and then.
  struct Source {
    std::uint64_t at;
    const std::uint8_t* data;
    std::size_t size;
  };
  std::vector<Source> sources_;
  std::size_t first_source_ = 0;  // the first not wholly drained
  std::optional<Timestamp> pts_;      // of the latest PES header (absent when it carried none)
  std::vector<PesStart> pending_;
  std::size_t next_pending_ = 0;
  std::uint64_t drained_ = 0;  // bytes removed from the front of buffer_ so far
  bool decided_;               // the frame syntax is known
  std::size_t decide_from_ = 0;  // where the search for a first header resumes
  std::uint32_t first_duration_ = 0;  // of the first sample, as its step gave it
  // Where the stream's bytes in buffer_ end once finish() has put zero bytes
  // behind them; no end before.
  std::size_t end_ = static_cast<std::size_t>(-1);
  AnyFraming framing_;
};

}  // namespace quaver
