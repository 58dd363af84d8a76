// How the frames of an audio stream become MP4 samples.
//
// Each audio codec has a framer class that the transport layer drives. Its
// static members are the frame syntax that ts_parser/frame_cutter.hpp cuts
// a stream by:
//   kHeaderBytes    bytes that must lie in the buffer, from a candidate
//                   position on, before it is judged;
//   kSyncByte       the first byte of every header;
//   frame_length(q) the length in bytes of the frame whose header is at q,
//                   or 0 when the bytes at q are no header of this syntax;
//   kShortestFrame  (only where frames may be shorter than kHeaderBytes)
//                   the shortest: the last frames of a stream are then
//                   judged with zero bytes behind them.
// Each complete frame is then handed to add(frame), which says what the
// frame gives the track (a SampleStep), and config() (FramerConfig) is what
// the frames of the first sample declare, once there is one. A framer whose
// frames may hold several samples (LATM) also has next(): the frame's
// further samples, one per call, until it gives nothing.
#pragma once

#include <cstdint>
#include <optional>

#include "core/bytes.hpp"

namespace quaver {

struct SampleStep {
  enum class Kind : std::uint8_t {
    kDrop,  // nothing: the frame belongs to no sample
    kOpen,  // `bytes` begin a new sample
    kJoin,  // `bytes` are appended to the current sample
  };
  Kind kind;
  ByteView bytes;  // within the frame
  // Audio samples the new sample lasts, for a format whose samples differ
  // in length (Opus); 0: the format's frame.
  std::uint32_t duration = 0;
};

// The configuration a framer reads from the frames of the first sample.
template <class Config>
class FramerConfig {
 public:
  const std::optional<Config>& config() const { return config_; }

 protected:
  std::optional<Config> config_;
};

}  // namespace quaver
