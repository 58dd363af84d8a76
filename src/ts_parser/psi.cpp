#include "ts_parser/psi.hpp"

#include <array>

namespace quaver {

namespace {

constexpr std::array<std::uint32_t, 256> kCrcTable = [] {
  std::array<std::uint32_t, 256> t{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i << 24;
    for (int k = 0; k < 8; ++k) c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : c << 1;
    t[i] = c;
  }
  return t;
}();

}  // namespace

std::uint32_t crc32_mpeg2(ByteView data) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (std::uint8_t b : data) crc = (crc << 8) ^ kCrcTable[(crc >> 24) ^ b];
  return crc;
}

bool SectionAssembler::grow(ByteView bytes) {
  // Enough of the header to know the length first, then up to the section's end.
  if (open_.size() < 3) {
    const std::size_t head = std::min<std::size_t>(3 - open_.size(), bytes.size());
    open_.insert(open_.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(head));
    bytes = bytes.subspan(head);
    if (open_.size() < 3) return false;
    if (wanted() - 3 > kMaxSectionLength) {  // no such PAT or PMT: dropped
      active_ = false;
      open_.clear();
      return false;
    }
  }
  const std::size_t take = std::min(wanted() - open_.size(), bytes.size());
  open_.insert(open_.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(take));
  if (open_.size() < wanted()) return false;
  active_ = false;
  return true;
}

}  // namespace quaver
