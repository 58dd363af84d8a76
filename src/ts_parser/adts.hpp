// Cutting AAC frames out of an ADTS byte stream.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/bytes.hpp"

namespace quaver {

// Cuts complete ADTS frames from the front of a growing buffer.
//
// Each call looks at the whole buffer, as if scanning it from the start, but
// resumes its header search where the previous call proved nothing could be
// found, so a buffer that holds only garbage or an incomplete frame is not
// scanned again from the start on every packet. Between calls the buffer may
// only grow at its end or lose the bytes that `cut` reported as consumed.
class AdtsCutter {
 public:
  // Calls on_frame(header, payload) for every complete frame with a payload,
  // in order, and returns the number of bytes consumed: the end of the last
  // complete frame, or 0 when there is none.
  template <class OnFrame>
  std::size_t cut(ByteView buf, OnFrame&& on_frame);

  // The caller removed `consumed` bytes from the front of the buffer.
  void drained(std::size_t consumed) { resume_ = resume_ >= consumed ? resume_ - consumed : 0; }

 private:
  // A position where a header search has not yet been tried.
  std::size_t resume_ = 0;
};

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

template <class OnFrame>
std::size_t AdtsCutter::cut(ByteView buf, OnFrame&& on_frame) {
  const std::uint8_t* p = buf.data();
  const std::size_t n = buf.size();
  if (n < 8) {
    resume_ = 0;
    return 0;
  }
  std::size_t pos = 0;
  std::size_t q = resume_;
  for (;;) {
    // Header search over q + 7 < n.
    bool found = false;
    while (q + 7 < n) {
      const void* hit = std::memchr(p + q, 0xFF, n - 7 - q);
      if (!hit) break;
      q = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - p);
      if (is_adts_header(p + q)) {
        found = true;
        break;
      }
      ++q;
    }
    if (!found) {
      resume_ = n - 7;
      return pos;
    }
    const std::size_t frame_length = adts_frame_length(p + q);
    if (frame_length > n - q) {  // incomplete: wait for more bytes
      resume_ = q;
      return pos;
    }
    const std::size_t header = (p[q + 1] & 0x01) ? 7 : 9;
    if (frame_length > header) {
      on_frame(ByteView(p + q, header), ByteView(p + q + header, frame_length - header));
    }
    pos = q + frame_length;
    q = pos;
    if (!(pos + 7 < n)) {
      resume_ = pos;
      return pos;
    }
  }
}

}  // namespace quaver
