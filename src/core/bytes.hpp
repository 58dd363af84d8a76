// Byte views and big-endian access shared by every subsystem.
//
// Untrusted bytes are only ever read through a view that knows its end: the
// checked accessors below report a missing byte instead of reading past the
// end, and the unchecked ones are used only after an explicit length test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <stdexcept>
#include <string>

namespace quaver {

using ByteView = std::span<const std::uint8_t>;

// A broken internal invariant (never bad input): the binding reports it as
// PanicException instead of letting it take the process down.
class InternalFault : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

[[noreturn]] inline void fault(const std::string& what) { throw InternalFault(what); }

// Unchecked big-endian loads: callers have tested the length first.
inline std::uint16_t load_be16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}
inline std::uint32_t load_be32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         std::uint32_t{p[3]};
}
inline std::uint64_t load_be64(const std::uint8_t* p) {
  return (std::uint64_t{load_be32(p)} << 32) | load_be32(p + 4);
}

inline void store_be16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 8);
  p[1] = static_cast<std::uint8_t>(v);
}
inline void store_be32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}
inline void store_be64(std::uint8_t* p, std::uint64_t v) {
  store_be32(p, static_cast<std::uint32_t>(v >> 32));
  store_be32(p + 4, static_cast<std::uint32_t>(v));
}

// A value for a 32-bit field: the largest one where it does not fit, rather
// than its low bits, which would read as a much smaller number.
inline std::uint32_t clamp32(std::uint64_t v) { return v > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(v); }

// Bounds-checked child view; a request outside the parent is an internal fault.
inline ByteView subview(ByteView v, std::size_t offset, std::size_t length) {
  if (offset > v.size() || length > v.size() - offset) fault("subview outside its parent");
  return v.subspan(offset, length);
}

// Four-character box type as stored in the file.
struct FourCC {
  std::uint8_t c[4];
  constexpr bool operator==(const FourCC&) const = default;
};
constexpr FourCC fourcc(const char (&s)[5]) {
  return FourCC{{static_cast<std::uint8_t>(s[0]), static_cast<std::uint8_t>(s[1]),
                 static_cast<std::uint8_t>(s[2]), static_cast<std::uint8_t>(s[3])}};
}

}  // namespace quaver
