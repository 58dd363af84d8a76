// A byte sequence assembled from slices of the caller's input, without copying.
//
// The video elementary stream of a transport stream is the concatenation of
// many packet payloads. Keeping it as a list of slices into the (immutable)
// input instead of a copy avoids filling a second input-sized buffer; the
// bytes are copied once, into the result. Each slice costs 8 bytes.
//
// Every 00 00 01 is indexed as the slices arrive, while their bytes are in
// the cache anyway: the start-code searches of the access-unit split and the
// key-frame search then never read the stream again, which would be a second
// pass over memory as large as the input.
//
// `FlatBytes` offers the same interface over one contiguous view, so the
// start-code rules are written once for both.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/bytes.hpp"

namespace quaver {

class ChunkedBytes {
 public:
  // Appends [p, p + n). Every slice must lie within 2^55 bytes of the first.
  void append(const std::uint8_t* p, std::size_t n);
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  // Room for this many appends of up to 255 bytes each, so that a stream
  // whose length is known is not copied while its slice list grows.
  void reserve(std::size_t appends) {
    slices_.reserve(appends);
    checkpoints_.reserve(appends / kCheckpoint + 1);
  }

  // Byte at a logical position (must be below size()).
  std::uint8_t at(std::size_t pos) const;
  // Copies [pos, pos + len) into dst (the range must lie inside).
  void copy_to(std::uint8_t* dst, std::size_t pos, std::size_t len) const;
  // First q >= from with the bytes 00 00 01 at q (q + 2 < size()); size() if none.
  std::size_t find_start3(std::size_t from) const;
  // Frees the start-code index once no search is left to do; searching
  // afterwards is an internal fault.
  void release_start_codes();
  // Appends [pos, pos + len) to a vector.
  void append_to(std::vector<std::uint8_t>& out, std::size_t pos, std::size_t len) const;

 private:
  static constexpr std::size_t kMaxSlice = 255;    // a slice's length fits its low byte
  static constexpr std::size_t kCheckpoint = 32;   // slices between absolute positions

  // A slice: its distance from the first slice's address, shifted left by 8,
  // with its length in the low byte.
  std::size_t slice_length(std::size_t i) const { return slices_[i] & 0xFF; }
  const std::uint8_t* slice_data(std::size_t i) const { return base_ + (slices_[i] >> 8); }
  // Moves the cursor to the slice holding `pos` (below size()).
  void seek(std::size_t pos) const;
  void index_start_codes(const std::uint8_t* p, std::size_t n);

  const std::uint8_t* base_ = nullptr;
  std::vector<std::int64_t> slices_;
  std::vector<std::size_t> checkpoints_;  // logical start of slice k * kCheckpoint
  std::size_t size_ = 0;
  std::vector<std::size_t> start_codes_;  // every q with 00 00 01 at q, ascending
  bool start_codes_released_ = false;
  // Whether the last two bytes appended are zero (bit 0: the last, bit 1: the one before).
  unsigned trailing_zeros_ = 0;

  // Sequential readers move forward a little at a time; the cursor keeps
  // their lookups from searching the whole slice list.
  mutable std::size_t cursor_ = 0;        // slice index
  mutable std::size_t cursor_start_ = 0;  // its logical start
  mutable std::size_t code_cursor_ = 0;   // index into start_codes_
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
