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
  // Start-code entries keep positions in their top 55 bits.
  if (n >= static_cast<std::size_t>(kReach) - size_) fault("stream too long to index");
  if (header_pending_) {
    start_codes_.back() |= p[0];
    header_pending_ = false;
  }
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
  const unsigned z = trailing_zeros_;
  const std::size_t at = size_;  // logical position of p[0]
  // Whether the byte `back` places before p[k] is zero, looking into the
  // register for bytes before p[0].
  const auto zero = [&](std::size_t k, std::size_t back) {
    return k >= back ? p[k - back] == 0 : ((z >> (back - k - 1)) & 1u) != 0;
  };
  for (std::size_t i = 0; i < n;) {
    const void* hit = std::memchr(p + i, 0x01, n - i);
    if (!hit) break;
    const auto k = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - p);
    if (zero(k, 1) && zero(k, 2)) {
      const std::uint64_t pos = at + k - 2;
      std::uint64_t entry = (pos << kCodeShift) | (zero(k, 3) ? kZeroBefore : 0);
      if (k + 1 < n) {
        entry |= p[k + 1];
      } else {
        header_pending_ = true;
      }
      start_codes_.push_back(entry);
    }
    i = k + 1;
  }
  if (n >= 3) {
    trailing_zeros_ = (p[n - 1] == 0 ? 1u : 0u) | (p[n - 2] == 0 ? 2u : 0u) | (p[n - 3] == 0 ? 4u : 0u);
  } else {
    unsigned tail = z;
    for (std::size_t k = 0; k < n; ++k) tail = ((tail << 1) | (p[k] == 0 ? 1u : 0u)) & 7u;
    trailing_zeros_ = tail;
  }
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
  if (from >= size_) return size_;
  const std::vector<std::uint64_t>& codes = start_codes_;
  // Entries order as their positions do; the low bits never reach the next.
  const std::uint64_t key = std::uint64_t{from} << kCodeShift;
  // Readers ask for the next code after the one they were given last.
  std::size_t k = std::min(code_cursor_, codes.size());
  if (k > 0 && codes[k - 1] >= key) {
    k = static_cast<std::size_t>(std::lower_bound(codes.begin(), codes.begin() + static_cast<std::ptrdiff_t>(k), key) -
                                 codes.begin());
  } else {
    for (std::size_t steps = 0; k < codes.size() && codes[k] < key; ++k) {
      if (++steps == 8) {
        k = static_cast<std::size_t>(
            std::lower_bound(codes.begin() + static_cast<std::ptrdiff_t>(k), codes.end(), key) - codes.begin());
        break;
      }
    }
  }
  code_cursor_ = k;
  return k < codes.size() ? static_cast<std::size_t>(codes[k] >> kCodeShift) : size_;
}

const std::uint64_t* ChunkedBytes::last_code_at(std::size_t q) const {
  if (start_codes_released_ || code_cursor_ >= start_codes_.size()) return nullptr;
  const std::uint64_t& entry = start_codes_[code_cursor_];
  return (entry >> kCodeShift) == q ? &entry : nullptr;
}

bool ChunkedBytes::zero_before(std::size_t q) const {
  if (const std::uint64_t* entry = last_code_at(q)) return (*entry & kZeroBefore) != 0;
  return q > 0 && q <= size_ && at(q - 1) == 0;
}

std::uint8_t ChunkedBytes::nal_header(std::size_t header) const {
  if (header >= 3 && header < size_) {
    if (const std::uint64_t* entry = last_code_at(header - 3)) return static_cast<std::uint8_t>(*entry & 0xFF);
  }
  return at(header);
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
