// Most-significant-bit-first reader with Exp-Golomb codes, for parameter sets
// and audio frame headers: every read says when the bits run out instead of
// reading past the end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "core/bytes.hpp"

namespace quaver {

class BitReader {
 public:
  explicit BitReader(ByteView data, std::size_t byte_pos = 0) : data_(data), byte_pos_(byte_pos) {}

  std::optional<std::uint32_t> read_bit() {
    if (byte_pos_ >= data_.size()) return std::nullopt;
    std::uint32_t bit = (data_[byte_pos_] >> (7 - bit_pos_)) & 1u;
    if (++bit_pos_ == 8) {
      bit_pos_ = 0;
      ++byte_pos_;
    }
    return bit;
  }

  // n bits (at most 32) as an unsigned value, first bit most significant.
  std::optional<std::uint32_t> read_bits(unsigned n) {
    std::uint32_t v = 0;
    for (unsigned i = 0; i < n; ++i) {
      auto b = read_bit();
      if (!b) return std::nullopt;
      v = (v << 1) | *b;
    }
    return v;
  }

  // Skips n bits; false when the data ends first.
  bool skip_bits(std::size_t n) {
    const std::size_t bit = bit_pos_ + n;
    if (byte_pos_ + bit / 8 > data_.size() || (byte_pos_ + bit / 8 == data_.size() && bit % 8 != 0)) {
      return false;
    }
    byte_pos_ += bit / 8;
    bit_pos_ = static_cast<std::uint8_t>(bit % 8);
    return true;
  }

  // Unsigned Exp-Golomb; at most 31 leading zero bits.
  std::optional<std::uint32_t> read_ue() {
    int zeros = 0;
    for (;;) {
      auto b = read_bit();
      if (!b) return std::nullopt;
      if (*b) break;
      if (++zeros == 32) return std::nullopt;
    }
    std::uint64_t v = 1;
    for (int i = 0; i < zeros; ++i) {
      auto b = read_bit();
      if (!b) return std::nullopt;
      v = 2 * v + *b;
    }
    return static_cast<std::uint32_t>(v - 1);
  }

  // Signed Exp-Golomb: 0, 1, -1, 2, -2, ...
  std::optional<std::int32_t> read_se() {
    auto k = read_ue();
    if (!k) return std::nullopt;
    if (*k & 1u) return static_cast<std::int32_t>((*k + 1) / 2);
    return -static_cast<std::int32_t>(*k / 2);
  }

  std::size_t byte_pos() const { return byte_pos_; }
  // Bits read from the start of the data.
  std::size_t bit_pos() const { return byte_pos_ * 8 + bit_pos_; }

 private:
  ByteView data_;
  std::size_t byte_pos_;
  std::uint8_t bit_pos_ = 0;
};

// The left, right, top and bottom offsets of a cropping (conformance)
// window, four Exp-Golomb codes when the window is present; all 0 when not.
struct Window {
  std::uint32_t left = 0, right = 0, top = 0, bottom = 0;
};

inline std::optional<Window> read_window(BitReader& r, bool present) {
  Window w;
  if (!present) return w;
  for (std::uint32_t* side : {&w.left, &w.right, &w.top, &w.bottom}) {
    auto v = r.read_ue();
    if (!v) return std::nullopt;
    *side = *v;
  }
  return w;
}

}  // namespace quaver
