#include "core/output.hpp"

#include <cstdlib>
#include <new>

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

OutputAllocator& heap_allocator() {
  static HeapAllocator instance;
  return instance;
}

OutBuffer OutBuffer::allocate(std::size_t n, OutputAllocator& alloc) {
  OutBuffer out;
  out.handle_ = alloc.allocate(n, &out.data_);
  out.alloc_ = &alloc;
  out.size_ = n;
  return out;
}

OutBuffer to_out_buffer(ByteView bytes, OutputAllocator& alloc) {
  OutBuffer out = OutBuffer::allocate(bytes.size(), alloc);
  FixedWriter w(out);
  w.bytes(bytes);
  w.finish();
  return out;
}

}  // namespace quaver
