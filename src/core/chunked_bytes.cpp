#include "core/chunked_bytes.hpp"

#include <algorithm>
#include <cstring>


namespace quaver {

void ChunkedBytes::append(const std::uint8_t* p, std::size_t n) {
  if (n == 0) return;
  if (!base_) base_ = p;
  constexpr std::int64_t kReach = std::int64_t{1} << 55;
  const std::int64_t distance = p - base_;
  if (distance >= kReach || distance <= -kReach) fault("slice too far from the first one");
  index_start_codes(p, n);
  for (std::size_t done = 0; done < n;) {
    const std::size_t len = std::min(n - done, kMaxSlice);
    if (slices_.size() % kCheckpoint == 0) checkpoints_.push_back(size_);
    const auto offset = static_cast<std::uint64_t>(distance + static_cast<std::int64_t>(done));
    slices_.push_back(static_cast<std::int64_t>((offset << 8) | len));
    size_ += len;
    done += len;
  }
}

// Records every 00 00 01 that ends in [p, p + n), the bytes about to follow
// the current end. A start code split across slices is found through the
// register of trailing zeros.
void ChunkedBytes::index_start_codes(const std::uint8_t* p, std::size_t n) {
  const unsigned z = trailing_zeros_;  // bit 0: the byte before p[0] is zero; bit 1: the one before that
  const std::size_t at = size_;        // logical position of p[0]
  for (std::size_t i = 0; i < n;) {
    const void* hit = std::memchr(p + i, 0x01, n - i);
    if (!hit) break;
    const auto k = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - p);
    const bool zero1 = k >= 1 ? p[k - 1] == 0 : (z & 1u) != 0;
    const bool zero2 = k >= 2 ? p[k - 2] == 0 : k == 1 ? (z & 1u) != 0 : (z & 2u) != 0;
    if (zero1 && zero2) start_codes_.push_back(at + k - 2);
    i = k + 1;
  }
  trailing_zeros_ = n >= 2 ? (p[n - 1] == 0 ? 1u : 0u) | (p[n - 2] == 0 ? 2u : 0u)
                           : ((z << 1) | (p[0] == 0 ? 1u : 0u)) & 3u;
}

void ChunkedBytes::seek(std::size_t pos) const {
  if (pos >= size_) fault("chunked read past the end");
  std::size_t i = cursor_;
  std::size_t start = cursor_start_;
  if (i < slices_.size() && pos >= start) {
    for (std::size_t steps = 0; steps < kCheckpoint && pos - start >= slice_length(i); ++steps) {
      start += slice_length(i);
      ++i;
    }
    if (pos - start < slice_length(i)) {
      cursor_ = i;
      cursor_start_ = start;
      return;
    }
  }
  const auto it = std::upper_bound(checkpoints_.begin(), checkpoints_.end(), pos);
  const auto k = static_cast<std::size_t>(it - checkpoints_.begin()) - 1;
  i = k * kCheckpoint;
  start = checkpoints_[k];
  while (pos - start >= slice_length(i)) {
    start += slice_length(i);
    ++i;
  }
  cursor_ = i;
  cursor_start_ = start;
}

std::uint8_t ChunkedBytes::at(std::size_t pos) const {
  seek(pos);
  return slice_data(cursor_)[pos - cursor_start_];
}

void ChunkedBytes::copy_to(std::uint8_t* dst, std::size_t pos, std::size_t len) const {
  if (len == 0) return;
  if (pos > size_ || len > size_ - pos) fault("chunked copy past the end");
  seek(pos);
  std::size_t i = cursor_;
  std::size_t start = cursor_start_;
  for (;;) {
    const std::size_t off = pos - start;
    const std::size_t n = std::min(len, slice_length(i) - off);
    std::memcpy(dst, slice_data(i) + off, n);
    dst += n;
    pos += n;
    len -= n;
    if (len == 0) break;
    start += slice_length(i);
    ++i;
  }
  if (pos - start == slice_length(i) && i + 1 < slices_.size()) {
    start += slice_length(i);
    ++i;
  }
  cursor_ = i;
  cursor_start_ = start;
}

void ChunkedBytes::append_to(std::vector<std::uint8_t>& out, std::size_t pos, std::size_t len) const {
  std::size_t at = out.size();
  out.resize(at + len);
  copy_to(out.data() + at, pos, len);
}

void ChunkedBytes::release_start_codes() {
  std::vector<std::size_t>().swap(start_codes_);
  start_codes_released_ = true;
}

std::size_t ChunkedBytes::find_start3(std::size_t from) const {
  if (start_codes_released_) fault("start-code search after the index was released");
  const std::vector<std::size_t>& codes = start_codes_;
  // Readers ask for the next code after the one they were given last.
  std::size_t k = std::min(code_cursor_, codes.size());
  if (k > 0 && codes[k - 1] >= from) {
    k = static_cast<std::size_t>(std::lower_bound(codes.begin(), codes.begin() + static_cast<std::ptrdiff_t>(k), from) -
                                 codes.begin());
  } else {
    for (std::size_t steps = 0; k < codes.size() && codes[k] < from; ++k) {
      if (++steps == 8) {
        k = static_cast<std::size_t>(
            std::lower_bound(codes.begin() + static_cast<std::ptrdiff_t>(k), codes.end(), from) - codes.begin());
        break;
      }
    }
  }
  code_cursor_ = k;
  return k < codes.size() ? codes[k] : size_;
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

}  // namespace quaver
