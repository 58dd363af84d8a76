// A byte sequence assembled from slices of the caller's input, without copying.
//
// The video elementary stream of a transport stream is the concatenation of
// many packet payloads. Keeping it as a list of slices into the (immutable)
// input instead of a copy avoids filling a second input-sized buffer; the
// bytes are copied once, into the result. A slice is coded in a few bytes:
// its length, then how far it starts from the end of the slice before it,
// which for the packets of one PID is the few header bytes between them
// (two bytes a slice in all, three across other PIDs' packets), so that
// the index of a stream of gigabytes stays a small part of its size.
//
// Every 00 00 01 is indexed as the slices arrive, while their bytes are in
// the cache anyway: the start-code searches of the access-unit split and the
// key-frame search then never read the stream again, which would be a second
// pass over memory as large as the input. The index entry also keeps the two
// bytes around the code that the split asks for next (whether a zero byte
// precedes it, and the NAL header byte after it), because looking a byte up
// by position means finding its slice first.
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
  // A stream never searched for start codes (audio) need not index them.
  enum class StartCodes : std::uint8_t { kIndexed, kNotIndexed };
  explicit ChunkedBytes(StartCodes codes = StartCodes::kIndexed)
      : start_codes_released_(codes == StartCodes::kNotIndexed) {}

  // Appends [p, p + n). Every slice must lie within 2^55 bytes of the first.
  void append(const std::uint8_t* p, std::size_t n);
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  // Room for this many appends of up to 255 bytes each, so that a stream
  // whose length is known is not copied while its slice list grows.
  void reserve(std::size_t appends) {
    code_.reserve(2 * appends + appends / 4);
    checkpoints_.reserve(appends / kCheckpoint + 1);
  }

  // Byte at a logical position (must be below size()).
  std::uint8_t at(std::size_t pos) const;
  // Copies [pos, pos + len) into dst (the range must lie inside).
  void copy_to(std::uint8_t* dst, std::size_t pos, std::size_t len) const;
  // First q >= from with the bytes 00 00 01 at q (q + 2 < size()); size() if none.
  std::size_t find_start3(std::size_t from) const;
  // Whether q > 0 and the byte before q is zero. Cheap for the code the last
  // find_start3 returned.
  bool zero_before(std::size_t q) const;
  // The byte at `header` (below size()). Cheap for the header byte of the
  // code the last find_start3 returned.
  std::uint8_t nal_header(std::size_t header) const;
  // Frees the start-code index once no search is left to do; searching
  // afterwards is an internal fault.
  void release_start_codes();
  // Appends [pos, pos + len) to a vector.
  void append_to(std::vector<std::uint8_t>& out, std::size_t pos, std::size_t len) const;

 private:
  static constexpr std::size_t kMaxSlice = 255;    // a slice's length fits its low byte
  static constexpr std::size_t kCheckpoint = 32;   // slices between absolute positions

  // Every kCheckpoint-th slice: where it starts in the stream, where the
  // slice before it ends (from base_), and where its code starts.
  struct Checkpoint {
    std::size_t logical;
    std::int64_t end_before;
    std::size_t code;
  };
  // One slice as decoded: its index, logical start, address (from base_),
  // length, and where the next slice's code starts.
  struct Slice {
    std::size_t index = 0;
    std::size_t start = 0;
    std::int64_t at = 0;
    std::size_t length = 0;
    std::size_t next_code = 0;
  };
  // Decodes the slice whose code starts at `code`, the one before it ending at `end_before`.
  Slice decode(std::size_t index, std::size_t start, std::int64_t end_before, std::size_t code) const;
  Slice next(const Slice& s) const {
    return decode(s.index + 1, s.start + s.length, s.at + static_cast<std::int64_t>(s.length), s.next_code);
  }
  const std::uint8_t* data_of(const Slice& s) const { return base_ + s.at; }
  // Moves the cursor to the slice holding `pos` (below size()).
  void seek(std::size_t pos) const;
  void index_start_codes(const std::uint8_t* p, std::size_t n);
  // The index entry the last find_start3 returned, if it is the code at q.
  const std::uint64_t* last_code_at(std::size_t q) const;

  // A start-code entry: the code's position, shifted left by 9; bit 8 set
  // when the byte before it is zero; the byte after it in the low byte.
  static constexpr unsigned kCodeShift = 9;
  static constexpr std::uint64_t kZeroBefore = 0x100;

  const std::uint8_t* base_ = nullptr;
  std::vector<std::uint8_t> code_;
  std::vector<Checkpoint> checkpoints_;
  std::size_t slices_ = 0;
  std::int64_t end_ = 0;  // where the last slice ends, from base_
  std::size_t size_ = 0;
  std::vector<std::uint64_t> start_codes_;  // every q with 00 00 01 at q, ascending
  bool start_codes_released_ = false;
  // The last entry still waits for its header byte: its 01 ended a slice.
  bool header_pending_ = false;
  // Whether the last three bytes appended are zero (bit 0: the last, bit 1:
  // the one before, bit 2: the one before that).
  unsigned trailing_zeros_ = 0;

  // Sequential readers move forward a little at a time; the cursor keeps
  // their lookups from searching the whole slice list.
  mutable Slice cursor_;
  mutable bool cursor_set_ = false;
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
  bool zero_before(std::size_t q) const { return q > 0 && q <= v_.size() && v_[q - 1] == 0; }
  std::uint8_t nal_header(std::size_t header) const { return at(header); }
  void append_to(std::vector<std::uint8_t>& out, std::size_t pos, std::size_t len) const {
    ByteView s = subview(v_, pos, len);
    out.insert(out.end(), s.begin(), s.end());
  }

 private:
  ByteView v_;
};

}  // namespace quaver
