// What every fuzz target shares: the checks that turn a wrong but quiet
// result into a crash the fuzzer reports, and the framing that carries
// several inputs in one.
//
// A target is one file, NAME.cpp, defining LLVMFuzzerTestOneInput: it runs
// one entry point on the bytes and checks what comes out. Errors are fine
// (hostile bytes are mostly refused); an output larger than its written
// bound, or one that is not the box sequence it claims to be, is not.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "core/bytes.hpp"
#include "core/output.hpp"
#include "core/result.hpp"
#include "mp4_parser/box.hpp"

namespace quaver::fuzz {

[[noreturn]] inline void broken(const char* what, std::size_t a = 0, std::size_t b = 0) {
  std::fprintf(stderr, "fuzz check failed: %s (%zu, %zu)\n", what, a, b);
  std::abort();
}

// A result that exists stays within `limit` bytes.
inline void expect_at_most(const Result<OutBuffer>& r, std::size_t limit, const char* what) {
  if (r.ok() && r.value().size() > limit) broken(what, r.value().size(), limit);
}

// A result that exists is a sequence of whole boxes that the box layer reads
// back to its last byte: what the MP4 writers promise their callers.
inline void expect_box_sequence(const Result<OutBuffer>& r, const char* what) {
  if (!r.ok()) return;
  const ByteView out = r.value().view();
  Result<Mp4File> parsed = parse_mp4(out);
  if (!parsed.ok()) broken(what, out.size(), 0);
  std::size_t end = 0;
  for (const BoxInfo& info : parsed.value().box_infos) {
    if (const BoxInfo::Mdat* m = info.mdat()) {
      end = static_cast<std::size_t>(m->data_offset + m->data_size);
    } else {
      const ByteView body = info.regular()->data;
      end = static_cast<std::size_t>(body.data() - out.data()) + body.size();
    }
  }
  if (end != out.size()) broken(what, end, out.size());
}

// Several inputs in one: each frame is a 4-byte big-endian length and that
// many bytes; a length beyond the end takes what is left, and fewer than 4
// bytes at the end form the last frame.
class Frames {
 public:
  explicit Frames(ByteView data) : rest_(data) {}

  bool done() const { return rest_.empty(); }
  // The next frame (empty once done).
  ByteView next() {
    if (rest_.size() < 4) return take(rest_.size());
    const std::size_t length = load_be32(rest_.data());
    rest_ = rest_.subspan(4);
    return take(length < rest_.size() ? length : rest_.size());
  }
  // Everything not yet taken, unframed.
  ByteView rest() { return take(rest_.size()); }

 private:
  ByteView take(std::size_t n) {
    const ByteView frame = rest_.first(n);
    rest_ = rest_.subspan(n);
    return frame;
  }
  ByteView rest_;
};

}  // namespace quaver::fuzz
