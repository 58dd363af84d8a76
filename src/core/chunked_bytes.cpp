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
  if (!start_codes_released_) index_start_codes(p, n);
  for (std::size_t done = 0; done < n;) {
    const std::size_t len = std::min(n - done, kMaxSlice);
    const std::int64_t at = distance + static_cast<std::int64_t>(done);
    if (slices_ % kCheckpoint == 0) checkpoints_.push_back({size_, end_, code_.size()});
    code_.push_back(static_cast<std::uint8_t>(len));
    // The gap, zigzag coded so that a slice behind the last one costs as
    // little as one as far ahead, in 7-bit groups, low first.
    const std::int64_t gap = at - end_;
    std::uint64_t v = (static_cast<std::uint64_t>(gap) << 1) ^ static_cast<std::uint64_t>(gap >> 63);
    while (v >= 0x80) {
      code_.push_back(static_cast<std::uint8_t>(v | 0x80));
      v >>= 7;
    }
    code_.push_back(static_cast<std::uint8_t>(v));
    end_ = at + static_cast<std::int64_t>(len);
    ++slices_;
    size_ += len;
    done += len;
  }
}

ChunkedBytes::Slice ChunkedBytes::decode(std::size_t index, std::size_t start, std::int64_t end_before,
                                         std::size_t code) const {
  Slice s;
  s.index = index;
  s.start = start;
  s.length = code_[code++];
  std::uint64_t v = 0;
  for (unsigned shift = 0;; shift += 7) {
    const std::uint8_t b = code_[code++];
    v |= static_cast<std::uint64_t>(b & 0x7F) << shift;
    if (b < 0x80) break;
  }
  s.at = end_before + static_cast<std::int64_t>((v >> 1) ^ (~(v & 1) + 1));
  s.next_code = code;
  return s;
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
  if (cursor_set_ && pos >= cursor_.start) {
    Slice s = cursor_;
    for (std::size_t steps = 0; steps < kCheckpoint && pos - s.start >= s.length; ++steps) s = next(s);
    if (pos - s.start < s.length) {
      cursor_ = s;
      return;
    }
  }
  const auto it = std::upper_bound(checkpoints_.begin(), checkpoints_.end(), pos,
                                   [](std::size_t p, const Checkpoint& c) { return p < c.logical; });
  const auto k = static_cast<std::size_t>(it - checkpoints_.begin()) - 1;
  const Checkpoint& c = checkpoints_[k];
  Slice s = decode(k * kCheckpoint, c.logical, c.end_before, c.code);
  while (pos - s.start >= s.length) s = next(s);
  cursor_ = s;
  cursor_set_ = true;
}

std::uint8_t ChunkedBytes::at(std::size_t pos) const {
  seek(pos);
  return data_of(cursor_)[pos - cursor_.start];
}

void ChunkedBytes::copy_to(std::uint8_t* dst, std::size_t pos, std::size_t len) const {
  if (len == 0) return;
  if (pos > size_ || len > size_ - pos) fault("chunked copy past the end");
  seek(pos);
  // The cursor's fields in locals, the next slice decoded in line: this
  // loop copies every video byte of a conversion.
  std::size_t index = cursor_.index, start = cursor_.start, length = cursor_.length;
  std::int64_t at = cursor_.at;
  const std::uint8_t* code = code_.data() + cursor_.next_code;
  const auto step = [&] {
    start += length;
    at += static_cast<std::int64_t>(length);
    ++index;
    length = *code++;
    std::uint64_t v = *code++;
    if (v >= 0x80) {
      v &= 0x7F;
      for (unsigned shift = 7;; shift += 7) {
        const std::uint8_t b = *code++;
        v |= static_cast<std::uint64_t>(b & 0x7F) << shift;
        if (b < 0x80) break;
      }
    }
    at += static_cast<std::int64_t>((v >> 1) ^ (~(v & 1) + 1));
  };
  for (;;) {
    const std::size_t off = pos - start;
    const std::size_t n = std::min(len, length - off);
    std::memcpy(dst, base_ + at + off, n);
    dst += n;
    pos += n;
    len -= n;
    if (len == 0) break;
    step();
  }
  if (pos - start == length && index + 1 < slices_) step();
  cursor_ = Slice{index, start, at, length, static_cast<std::size_t>(code - code_.data())};
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
