#include "core/chunked_bytes.hpp"

#include <algorithm>
#include <cstring>

namespace quaver {

void ChunkedBytes::append(const std::uint8_t* p, std::size_t n) {
  if (n == 0) return;
  chunks_.push_back(Chunk{size_, p});
  size_ += n;
}

std::size_t ChunkedBytes::chunk_index(std::size_t pos) const {
  if (pos >= size_) fault("chunked read past the end");
  auto it = std::upper_bound(chunks_.begin(), chunks_.end(), pos,
                             [](std::size_t v, const Chunk& c) { return v < c.start; });
  return static_cast<std::size_t>(it - chunks_.begin()) - 1;
}

std::uint8_t ChunkedBytes::at(std::size_t pos) const {
  std::size_t i = chunk_index(pos);
  return chunks_[i].data[pos - chunks_[i].start];
}

void ChunkedBytes::copy_to(std::uint8_t* dst, std::size_t pos, std::size_t len) const {
  if (len == 0) return;
  if (pos > size_ || len > size_ - pos) fault("chunked copy past the end");
  std::size_t i = chunk_index(pos);
  while (len > 0) {
    std::size_t off = pos - chunks_[i].start;
    std::size_t n = std::min(len, chunk_end(i) - pos);
    std::memcpy(dst, chunks_[i].data + off, n);
    dst += n;
    pos += n;
    len -= n;
    ++i;
  }
}

void ChunkedBytes::append_to(std::vector<std::uint8_t>& out, std::size_t pos,
                             std::size_t len) const {
  std::size_t at = out.size();
  out.resize(at + len);
  copy_to(out.data() + at, pos, len);
}

namespace {

// First q >= from with the bytes 00 00 01 at q inside [p, p + n); n if none.
inline std::size_t scan_flat(const std::uint8_t* p, std::size_t n, std::size_t from) {
  std::size_t k = from + 2;
  while (k < n) {
    const void* hit = std::memchr(p + k, 0x01, n - k);
    if (!hit) return n;
    k = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - p);
    if (p[k - 1] == 0 && p[k - 2] == 0) return k - 2;
    ++k;
  }
  return n;
}

}  // namespace

std::size_t FlatBytes::find_start3(std::size_t from) const {
  if (from >= v_.size()) return v_.size();
  return scan_flat(v_.data(), v_.size(), from);
}

std::size_t ChunkedBytes::find_start3(std::size_t from) const {
  if (size_ < 3 || from > size_ - 3) return size_;
  // Look for the 0x01 at logical k >= from + 2; its two predecessors may lie
  // in earlier chunks, which may be as short as one byte.
  std::size_t k = from + 2;
  std::size_t i = chunk_index(k);
  while (i < chunks_.size()) {
    const std::uint8_t* p = chunks_[i].data;
    std::size_t start = chunks_[i].start;
    std::size_t end = chunk_end(i);
    std::size_t off = k - start;
    while (off < end - start) {
      const void* hit = std::memchr(p + off, 0x01, end - start - off);
      if (!hit) break;
      off = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - p);
      std::size_t q = start + off;  // logical position of the 0x01
      bool zero1 = off >= 1 ? p[off - 1] == 0 : at(q - 1) == 0;
      if (zero1) {
        bool zero2 = off >= 2 ? p[off - 2] == 0 : at(q - 2) == 0;
        if (zero2) return q - 2;
      }
      ++off;
    }
    ++i;
    if (i < chunks_.size()) k = chunks_[i].start;
  }
  return size_;
}

}  // namespace quaver
