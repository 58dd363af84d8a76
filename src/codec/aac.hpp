// Cutting AAC frames out of an ADTS byte stream.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/bytes.hpp"
#include "ts_parser/frame_cutter.hpp"

namespace quaver {

// A position q holds an ADTS header when q + 7 < n, the 12-bit sync word is
// set, the layer bits are 00 and the frame length covers at least a header.
inline bool is_adts_header(const std::uint8_t* q) {
  if (q[0] != 0xFF || (q[1] & 0xF6) != 0xF0) return false;
  std::uint32_t frame_length = ((q[3] & 0x03u) << 11) | (std::uint32_t{q[4]} << 3) | (q[5] >> 5);
  return frame_length >= 7;
}

inline std::uint32_t adts_frame_length(const std::uint8_t* q) {
  return ((q[3] & 0x03u) << 11) | (std::uint32_t{q[4]} << 3) | (q[5] >> 5);
}

struct AdtsSyntax {
  // The header is 7 bytes, but a candidate is only judged with one more byte behind it.
  static constexpr std::size_t kHeaderBytes = 8;
  static constexpr std::uint8_t kSyncByte = 0xFF;
  static std::size_t frame_length(const std::uint8_t* q) { return is_adts_header(q) ? adts_frame_length(q) : 0; }
};

// Cuts complete ADTS frames from the front of a growing buffer (see FrameCutter).
class AdtsCutter {
 public:
  // Calls on_frame(header, payload) for every complete frame with a payload,
  // in order, and returns the number of bytes consumed: the end of the last
  // complete frame, or 0 when there is none. A frame with nothing after its
  // header is passed over.
  template <class OnFrame>
  std::size_t cut(ByteView buf, OnFrame&& on_frame) {
    return cutter_.cut(buf, [&](ByteView frame) {
      const std::size_t header = (frame[1] & 0x01) ? 7 : 9;
      if (frame.size() > header) on_frame(frame.first(header), frame.subspan(header));
    });
  }

  // The caller removed `consumed` bytes from the front of the buffer.
  void drained(std::size_t consumed) { cutter_.drained(consumed); }

 private:
  FrameCutter<AdtsSyntax> cutter_;
};

}  // namespace quaver
