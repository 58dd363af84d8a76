#include "core/output.hpp"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

#include <sys/mman.h>

namespace quaver {

namespace {

class HeapAllocator final : public OutputAllocator {
 public:
  void* allocate(std::size_t n, std::uint8_t** data) override {
    void* p = std::malloc(n ? n : 1);
    if (!p) throw std::bad_alloc();
    *data = static_cast<std::uint8_t*>(p);
    return p;
  }
  void release(void* handle) noexcept override { std::free(handle); }
};

}  // namespace

namespace {
std::atomic<std::uint64_t> g_32_bit_limit{0xFFFFFFFFu};
}  // namespace

bool fits_32_bits(std::uint64_t value) { return value <= g_32_bit_limit.load(std::memory_order_relaxed); }

std::uint64_t set_32_bit_limit(std::uint64_t limit) {
  return g_32_bit_limit.exchange(std::min<std::uint64_t>(limit, 0xFFFFFFFFu));
}

OutputAllocator& heap_allocator() {
  static HeapAllocator instance;
  return instance;
}

// A large result is written once into memory that has never been touched:
// with 4 KiB pages every page faults on its first write, and that, not the
// copying, is what a big conversion spends its time on. Huge pages for the
// 2 MiB-aligned part of the buffer cut the faults 512-fold. Only the buffer
// itself is advised, as large array allocators do.
void advise_huge_pages(std::uint8_t* data, std::size_t n) {
#ifdef MADV_HUGEPAGE
  constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;
  if (n < 2 * kHuge) return;
  const auto at = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t begin = (at + kHuge - 1) & ~(kHuge - 1);
  const std::uintptr_t end = (at + n) & ~(kHuge - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);  // advice only
#else
  (void)data;
  (void)n;
#endif
}

OutBuffer OutBuffer::allocate(std::size_t n, OutputAllocator& alloc) {
  OutBuffer out;
  out.handle_ = alloc.allocate(n, &out.data_);
  advise_huge_pages(out.data_, n);
  out.alloc_ = &alloc;
  out.size_ = n;
  out.sink_ = alloc.sink();
  return out;
}

void FixedWriter::flush() {
  const std::size_t n = static_cast<std::size_t>(p_ - sink_->stage());
  if (n) sink_->write(sent_, sink_->stage(), n);
  sent_ += n;
  restage();
}

std::uint8_t* FixedWriter::room_beyond(std::size_t n) {
  if (!sink_) fault("output written past its computed size");
  flush();
  if (total_ - sent_ < n) fault("output written past its computed size");
  if (n <= static_cast<std::size_t>(end_ - p_)) return room(n);
  // Longer than the buffer: written in place, through the storage.
  std::uint8_t* at = base_ + sent_;
  sent_ += n;
  restage();
  return at;
}

void FixedWriter::send(const std::uint8_t* src, std::size_t n) {
  flush();
  if (total_ - sent_ < n) fault("output written past its computed size");
  sink_->copy(sent_, src, n);
  sent_ += n;
  restage();
}

void ByteBuilder::close_box(std::size_t at) {
  if (load_be32(buf_.data() + at) == 1) {  // a 16-byte header reserved by open_box
    store_be64(buf_.data() + at + 8, buf_.size() - at);
    return;
  }
  const std::uint64_t body_length = buf_.size() - at - 8;
  if (body_length <= 0xFFFFFFF7u) {
    store_be32(buf_.data() + at, static_cast<std::uint32_t>(body_length + 8));
    return;
  }
  buf_.insert(buf_.begin() + static_cast<std::ptrdiff_t>(at + 8), 8, 0);
  store_be32(buf_.data() + at, 1);
  store_be64(buf_.data() + at + 8, body_length + 16);
}

void ByteBuilder::box(FourCC type, ByteView body, std::uint8_t like_header) {
  write_box_header(*this, type, body.size(), like_header);
  bytes(body);
}

OutBuffer to_out_buffer(ByteView bytes, OutputAllocator& alloc) {
  OutBuffer out = OutBuffer::allocate(bytes.size(), alloc);
  FixedWriter w(out);
  w.bytes(bytes);
  w.finish();
  return out;
}

}  // namespace quaver
