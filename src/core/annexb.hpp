// Start-code rules of Annex B byte streams (H.264 and HEVC), written once over any byte
// source with size(), at(), find_start3(), zero_before() and nal_header()
// (ChunkedBytes, FlatBytes).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/bytes.hpp"

namespace quaver::annexb {

constexpr std::size_t npos = static_cast<std::size_t>(-1);

struct StartCode {
  std::size_t pos = npos;  // first byte of the start code; npos if none
  std::size_t length = 0;  // 3 or 4
};

// The first start code at or after `from`, the 4-byte form preferred where a
// zero byte precedes a 3-byte one.
template <class Bytes>
StartCode find_start_code(const Bytes& v, std::size_t from) {
  std::size_t q = v.find_start3(from);
  if (q >= v.size()) return {};
  if (q > from && v.zero_before(q)) return {q - 1, 4};
  return {q, 3};
}

// Where the NAL unit whose header byte is at `header` ends: at the next
// 00 00 01 or 00 00 00 01 searched from header + 1, or at v.size(). The
// access-unit split only counts a 3-byte code that has a byte after it; the
// parameter-set capture and the key-picture search count any.
enum class EndRule { kSplit, kCapture };

template <class Bytes>
std::size_t unit_end(const Bytes& v, std::size_t header, EndRule rule) {
  std::size_t n = v.size();
  std::size_t from = header + 1;
  std::size_t q = v.find_start3(from);
  if (q >= n) return n;
  if (q > from && v.zero_before(q)) return q - 1;
  if (rule == EndRule::kCapture || q + 3 < n) return q;
  return n;
}

// One NAL unit as seen by the capture scan.
struct CapturedUnit {
  std::size_t start;    // header byte
  std::size_t end;      // one past the last byte
  std::uint8_t header;  // the byte at start
};

// Walks the units of `v` by the parameter-set capture rules: a start code is
// only looked for while four bytes remain, and each unit ends where the next
// start code begins. `visit(unit)` returns false to stop the walk.
template <class Bytes, class Visit>
void for_each_captured_unit(const Bytes& v, Visit&& visit) {
  std::size_t n = v.size();
  std::size_t i = 0;
  while (i + 4 <= n) {
    StartCode sc = find_start_code(v, i);
    if (sc.pos == npos || sc.pos + 4 > n) return;
    std::size_t s = sc.pos + sc.length;
    if (s >= n) return;
    const std::uint8_t header = v.nal_header(s);  // while its start code is the one last found
    std::size_t e = unit_end(v, s, EndRule::kCapture);
    if (!visit(CapturedUnit{s, e, header})) return;
    i = e;
  }
}

// The first bytes of the unit at [header, end), at most `cap` of them, as
// a view of `buf` (a unit of a ChunkedBytes may span slices).
template <class Bytes>
ByteView unit_head(const Bytes& v, std::size_t header, std::size_t end, std::size_t cap,
                   std::vector<std::uint8_t>& buf) {
  buf.clear();
  v.append_to(buf, header, end - header < cap ? end - header : cap);
  return ByteView(buf.data(), buf.size());
}

// Copy of a NAL unit with every emulation-prevention byte (00 00 03 -> 00 00) removed.
std::vector<std::uint8_t> unescape_rbsp(const std::uint8_t* p, std::size_t n);

}  // namespace quaver::annexb
