// Output storage and writers.
//
// Results are sized first and written once. The storage comes from an
// OutputAllocator so that the binding can hand out the memory of the very
// object it will return: the bytes are written straight into place and
// never copied again, which matters because first writes to fresh pages are
// the dominant cost of a large conversion.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/bytes.hpp"

namespace quaver {

// Where the sequential writes of a result that goes to a file are sent
// instead of its storage (a map of that file): gathered in a small buffer
// and written with the system's calls, so that fresh file pages are not
// faulted in one by one, and long runs of a mapped input file are copied by
// the kernel from file to file without passing through this process.
class FileSink {
 public:
  virtual ~FileSink() = default;
  // The gathering buffer.
  virtual std::uint8_t* stage() = 0;
  virtual std::size_t stage_size() const = 0;
  // Writes n bytes at output offset `at`.
  virtual void write(std::uint64_t at, const std::uint8_t* data, std::size_t n) = 0;
  // Writes n bytes read from `src` at output offset `at`: copied file to
  // file where `src` lies in the mapped input, else written from memory.
  virtual void copy(std::uint64_t at, const std::uint8_t* src, std::size_t n) = 0;
};

class OutputAllocator {
 public:
  virtual ~OutputAllocator() = default;
  // Storage for exactly n bytes; *data receives the writable address.
  // Returns an opaque handle, or throws std::bad_alloc.
  virtual void* allocate(std::size_t n, std::uint8_t** data) = 0;
  virtual void release(void* handle) noexcept = 0;
  // Where FixedWriter sends the writes of a result stored here, if not
  // into the storage itself.
  virtual FileSink* sink() { return nullptr; }
};

// Plain heap storage, for callers outside Python (tests, fuzzers, benchmarks).
OutputAllocator& heap_allocator();

// A finished (or being written) result buffer of a fixed size. Move-only.
class OutBuffer {
 public:
  OutBuffer() = default;
  static OutBuffer allocate(std::size_t n, OutputAllocator& alloc);
  OutBuffer(OutBuffer&& o) noexcept { swap(o); }
  OutBuffer& operator=(OutBuffer&& o) noexcept {
    OutBuffer tmp(std::move(o));
    swap(tmp);
    return *this;
  }
  OutBuffer(const OutBuffer&) = delete;
  OutBuffer& operator=(const OutBuffer&) = delete;
  ~OutBuffer() {
    if (handle_) alloc_->release(handle_);
  }

  std::uint8_t* data() { return data_; }
  const std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }
  ByteView view() const { return ByteView(data_, size_); }
  FileSink* sink() const { return sink_; }
  // Hands ownership of the storage to the caller.
  void* release_handle() {
    void* h = handle_;
    handle_ = nullptr;
    return h;
  }

 private:
  void swap(OutBuffer& o) noexcept {
    std::swap(alloc_, o.alloc_);
    std::swap(handle_, o.handle_);
    std::swap(data_, o.data_);
    std::swap(size_, o.size_);
    std::swap(sink_, o.sink_);
  }
  OutputAllocator* alloc_ = nullptr;
  FileSink* sink_ = nullptr;
  void* handle_ = nullptr;
  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

// Sequential writer into fixed storage. Writing past the end, or finishing
// short of it, means the size computed up front was wrong: an internal fault.
//
// For storage with a FileSink the writes are gathered in the sink's buffer
// and sent on whenever it fills (and by finish()); the fast path is the
// same bounds check either way. What room() hands out must be filled before
// the next write.
class FixedWriter {
 public:
  FixedWriter(std::uint8_t* data, std::size_t size) : p_(data), end_(data + size), total_(size) {}
  explicit FixedWriter(OutBuffer& out) : FixedWriter(out.data(), out.size()) {
    if (FileSink* sink = out.sink()) {
      sink_ = sink;
      base_ = out.data();
      p_ = sink->stage();
      restage();
    }
  }

  void u8(std::uint8_t v) { *room(1) = v; }
  void u16(std::uint16_t v) { store_be16(room(2), v); }
  void u32(std::uint32_t v) { store_be32(room(4), v); }
  void u64(std::uint64_t v) { store_be64(room(8), v); }
  void bytes(const std::uint8_t* src, std::size_t n) {
    if (n >= kDirect && sink_) return send(src, n);
    if (n) std::memcpy(room(n), src, n);
  }
  void bytes(ByteView v) { bytes(v.data(), v.size()); }
  std::uint8_t* room(std::size_t n) {
    if (static_cast<std::size_t>(end_ - p_) < n) return room_beyond(n);
    std::uint8_t* at = p_;
    p_ += n;
    return at;
  }
  void finish() {
    if (sink_) flush();
    if (sink_ ? sent_ != total_ : p_ != end_) fault("output shorter than its computed size");
  }

 private:
  // Runs this long go to the sink as they are rather than through its buffer.
  static constexpr std::size_t kDirect = std::size_t{64} << 10;

  std::uint8_t* room_beyond(std::size_t n);
  void send(const std::uint8_t* src, std::size_t n);
  void flush();
  // The buffer, empty, limited to what is left of the output.
  void restage() {
    p_ = sink_->stage();
    end_ = p_ + std::min<std::uint64_t>(sink_->stage_size(), total_ - sent_);
  }

  std::uint8_t* p_;
  std::uint8_t* end_;
  std::uint64_t total_;
  FileSink* sink_ = nullptr;
  std::uint8_t* base_ = nullptr;  // the storage, for writes longer than the buffer
  std::uint64_t sent_ = 0;        // output offset of the buffer's first byte
};

// The identity transformation of movie and track headers: 16.16 fixed
// point, with 2.30 in the last column.
inline constexpr std::array<std::uint32_t, 9> kUnityMatrix = {0x00010000, 0, 0, 0, 0x00010000, 0, 0, 0, 0x40000000};

// The 32-bit fields of a written layout. A value above the limit (0xFFFFFFFF)
// takes the field's 64-bit form: co64 chunk offsets, a 16-byte mdat header,
// version 1 movie, track and media headers and edit lists. Tests lower the
// limit so that small inputs take the wide forms; it is one value for the
// whole process, read once per decision.
bool fits_32_bits(std::uint64_t value);
// Sets the limit and returns the one it replaces (tests only).
std::uint64_t set_32_bit_limit(std::uint64_t limit);

// Box headers. A box is written with the compact 8-byte header whenever
// the whole box fits a 32-bit size, else with the 16-byte one (size field 1,
// then the size in 64 bits). A box rewritten from one read with a 16-byte
// header (`like_header` 16) keeps that form, so that a rewrite that keeps
// every body length keeps every position, and the offsets that point into
// the file stay right. Every box of the code is written through these and
// ByteBuilder's boxes; no size field is computed by hand.
inline std::uint64_t box_size(std::uint64_t body_length, std::uint8_t like_header = 8) {
  return body_length + (like_header == 16 || body_length > 0xFFFFFFF7u ? 16 : 8);
}

template <class Writer>
void write_box_header(Writer& w, FourCC type, std::uint64_t body_length, std::uint8_t like_header = 8) {
  if (like_header != 16 && body_length <= 0xFFFFFFF7u) {
    w.u32(static_cast<std::uint32_t>(body_length + 8));
    w.bytes(type.c, 4);
  } else {
    w.u32(1);
    w.bytes(type.c, 4);
    w.u64(body_length + 16);
  }
}

// Growing buffer for the small structures (box trees, tables) built before
// the final size is known. Nested boxes are opened and closed, so that no
// size field is ever computed by hand.
class ByteBuilder {
 public:
  void u8(std::uint8_t v) { buf_.push_back(v); }
  void u16(std::uint16_t v) { store_be16(grow(2), v); }
  void u24(std::uint32_t v) {
    std::uint8_t* p = grow(3);
    p[0] = static_cast<std::uint8_t>(v >> 16);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v);
  }
  void u32(std::uint32_t v) { store_be32(grow(4), v); }
  void u64(std::uint64_t v) { store_be64(grow(8), v); }
  void zeros(std::size_t n) { buf_.insert(buf_.end(), n, 0); }
  void bytes(const std::uint8_t* src, std::size_t n) { buf_.insert(buf_.end(), src, src + n); }
  void bytes(ByteView v) { bytes(v.data(), v.size()); }
  void fourcc(FourCC t) { bytes(t.c, 4); }

  // Opens a box whose size close_box fills in: its header is the compact
  // 8-byte form, or the 16-byte one where `like_header` is 16 (a box read
  // with a 64-bit size, rewritten in the form it came in).
  std::size_t open_box(FourCC type, std::uint8_t like_header = 8) {
    const std::size_t at = buf_.size();
    u32(like_header == 16 ? 1 : 0);
    fourcc(type);
    if (like_header == 16) u64(0);
    return at;
  }
  // A full box: header, then version and 24-bit flags.
  std::size_t open_full_box(FourCC type, std::uint8_t version, std::uint32_t flags) {
    const std::size_t at = open_box(type);
    u8(version);
    u24(flags);
    return at;
  }
  // Fills in the size of the box opened at `at`; a compact header whose box
  // turned out too long for a 32-bit size is widened to the 16-byte form, so
  // the result equals box() of the same body.
  void close_box(std::size_t at);
  // A whole box around a body, its header as write_box_header writes it.
  void box(FourCC type, ByteView body, std::uint8_t like_header = 8);

  std::size_t size() const { return buf_.size(); }
  const std::vector<std::uint8_t>& data() const { return buf_; }
  std::vector<std::uint8_t>& data() { return buf_; }
  ByteView view() const { return ByteView(buf_.data(), buf_.size()); }
  void reserve(std::size_t n) { buf_.reserve(n); }
  // Room for n more bytes; the capacity at least doubles when it grows, so
  // that many such requests cost linear time.
  void reserve_more(std::size_t n) {
    if (buf_.capacity() - buf_.size() >= n) return;
    buf_.reserve(std::max(buf_.size() + n, 2 * buf_.capacity()));
  }

 private:
  std::uint8_t* grow(std::size_t n) {
    std::size_t at = buf_.size();
    buf_.resize(at + n);
    return buf_.data() + at;
  }
  std::vector<std::uint8_t> buf_;
};

// Copies a small, already built byte sequence into a result buffer.
OutBuffer to_out_buffer(ByteView bytes, OutputAllocator& alloc);

}  // namespace quaver
