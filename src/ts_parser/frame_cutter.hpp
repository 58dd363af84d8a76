// Cutting self-delimiting audio frames (ADTS, AC-3, E-AC-3, MPEG audio) out
// of a growing byte buffer, by the frame syntax of their codec's framer
// (codec/framing.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/bytes.hpp"

namespace quaver {

// A frame syntax tells where a frame may start and how long it is:
//   kHeaderBytes  bytes that must lie in the buffer, from the candidate
//                 position on, before it is judged;
//   kSyncByte     the first byte of every header (the search skips to it);
//   frame_length(q) the length in bytes of the frame whose header is at q
//                 (q[0] .. q[kHeaderBytes - 1] are readable), or 0 when the
//                 bytes at q are no header of this syntax (a false sync).
//
// The cutter looks at the whole buffer on every call, as if scanning it from
// the start, but resumes its header search where the previous call proved
// nothing could be found, so a buffer holding only garbage or an incomplete
// frame is not scanned again from the start on every packet: the total work
// is linear in the stream. Between calls the buffer may only grow at its end
// or lose the bytes that `cut` reported as consumed.
template <class Syntax>
class FrameCutter {
 public:
  // Calls on_frame(frame) for every complete frame, in order, and returns
  // the number of bytes consumed: the end of the last complete frame, or 0
  // when there is none (bytes skipped while searching are consumed only
  // together with a frame that follows them).
  template <class OnFrame>
  std::size_t cut(ByteView buf, OnFrame&& on_frame);

  // The caller removed `consumed` bytes from the front of the buffer.
  void drained(std::size_t consumed) { resume_ = resume_ >= consumed ? resume_ - consumed : 0; }

 private:
  // A position where a header search has not yet been tried.
  std::size_t resume_ = 0;
};

template <class Syntax>
template <class OnFrame>
std::size_t FrameCutter<Syntax>::cut(ByteView buf, OnFrame&& on_frame) {
  constexpr std::size_t need = Syntax::kHeaderBytes;
  const std::uint8_t* p = buf.data();
  const std::size_t n = buf.size();
  if (n < need) {
    resume_ = 0;
    return 0;
  }
  std::size_t pos = 0;
  std::size_t q = resume_;
  for (;;) {
    std::size_t length = 0;
    while (q + need <= n) {
      const void* hit = std::memchr(p + q, Syntax::kSyncByte, n - need + 1 - q);
      if (!hit) break;
      q = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - p);
      length = Syntax::frame_length(p + q);
      if (length != 0) break;
      ++q;
    }
    if (length == 0) {
      resume_ = n - need + 1;
      return pos;
    }
    if (length > n - q) {  // incomplete: wait for more bytes
      resume_ = q;
      return pos;
    }
    on_frame(ByteView(p + q, length));
    pos = q + length;
    q = pos;
    if (pos + need > n) {
      resume_ = pos;
      return pos;
    }
  }
}

}  // namespace quaver
