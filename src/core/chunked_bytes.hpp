// A byte sequence assembled from slices of the caller's input, without copying.
//
// The video elementary stream of a transport stream is the concatenation of
// many packet payloads. Keeping it as a list of slices into the (immutable)
// input instead of a copy avoids filling a second input-sized buffer; the
// bytes are copied once, into the result. `FlatBytes` offers the same
// interface over one contiguous view, so the H.264 scanning rules are written
// once for both.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/bytes.hpp"

namespace quaver {

class ChunkedBytes {
 public:
  void append(const std::uint8_t* p, std::size_t n);
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  // Byte at a logical position (must be below size()).
  std::uint8_t at(std::size_t pos) const;
  // Copies [pos, pos + len) into dst (the range must lie inside).
  void copy_to(std::uint8_t* dst, std::size_t pos, std::size_t len) const;
  // First q >= from with the bytes 00 00 01 at q (q + 2 < size()); size() if none.
  std::size_t find_start3(std::size_t from) const;
  // Appends [pos, pos + len) to a vector.
  void append_to(std::vector<std::uint8_t>& out, std::size_t pos, std::size_t len) const;

 private:
  struct Chunk {
    std::size_t start;  // logical position of the first byte
    const std::uint8_t* data;
  };
  std::size_t chunk_index(std::size_t pos) const;
  std::size_t chunk_end(std::size_t i) const {
    return i + 1 < chunks_.size() ? chunks_[i + 1].start : size_;
  }
  std::vector<Chunk> chunks_;
  std::size_t size_ = 0;
};

class FlatBytes {
 public:
  explicit FlatBytes(ByteView v) : v_(v) {}
  std::size_t size() const { return v_.size(); }
  bool empty() const { return v_.empty(); }
  std::uint8_t at(std::size_t pos) const {
    if (pos >= v_.size()) fault("byte read past the end of a view");
    return v_[pos];
  }
  void copy_to(std::uint8_t* dst, std::size_t pos, std::size_t len) const {
    ByteView s = subview(v_, pos, len);
    if (len) std::memcpy(dst, s.data(), len);
  }
  std::size_t find_start3(std::size_t from) const;
  void append_to(std::vector<std::uint8_t>& out, std::size_t pos, std::size_t len) const {
    ByteView s = subview(v_, pos, len);
    out.insert(out.end(), s.begin(), s.end());
  }

 private:
  ByteView v_;
};

}  // namespace quaver
