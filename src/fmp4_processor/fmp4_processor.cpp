#include "fmp4_processor/fmp4_processor.hpp"

namespace quaver {

namespace {

bool is_type(const std::uint8_t* box, const char (&t)[5]) { return std::memcmp(box + 4, t, 4) == 0; }

// One walk over a segment. The sizing pass (no writer) learns the output
// length and the decode time that would set the base; the writing pass
// produces the bytes with the base known.
class SegmentWalk {
 public:
  SegmentWalk(ByteView seg, std::optional<std::uint64_t> base, FixedWriter* out)
      : seg_(seg), base_(base), out_(out) {}

  bool run() {
    const std::size_t n = seg_.size();
    if (n < 8) return true;
    for (std::size_t pos = 0;;) {
      const std::uint32_t size = load_be32(&seg_[pos]);
      if (size < 8) return false;
      if (size > n - pos) return true;  // runs past the segment: left out with the rest
      if (is_type(&seg_[pos], "moof")) {
        if (!container(pos, size, 1)) return false;
      } else {
        copy(pos, size);
      }
      pos += size;
      if (n - pos < 8) return true;
    }
  }

  std::size_t output_size() const { return written_; }
  std::optional<std::uint64_t> first_decode_time() const { return first_; }

 private:
  // moof (depth 1) and traf (depth 2): header as it is, then the children
  // that fit; a traf is rewritten inside a moof, a tfdt inside a traf.
  bool container(std::size_t start, std::uint32_t size, int depth) {
    copy(start, 8);
    if (size < 16) return true;
    for (std::size_t off = 8; size - off >= 8;) {
      const std::size_t child = start + off;
      const std::uint32_t child_size = load_be32(&seg_[child]);
      if (child_size < 8) return false;
      if (child_size > size - off) return true;
      if (depth == 1 && is_type(&seg_[child], "traf")) {
        if (!container(child, child_size, 2)) return false;
      } else if (depth == 2 && is_type(&seg_[child], "tfdt")) {
        tfdt(child, child_size);
      } else {
        copy(child, child_size);
      }
      off += child_size;
    }
    return true;
  }

  void tfdt(std::size_t start, std::uint32_t size) {
    const std::uint8_t version = seg_[start + 8];
    const bool wide = version == 1;
    if (size < 16 || (wide && size < 20)) {
      copy(start, size);
      return;
    }
    const std::uint64_t value = wide ? load_be64(&seg_[start + 12]) : load_be32(&seg_[start + 12]);
    if (!first_) first_ = value;
    if (!base_) base_ = value;
    const std::uint64_t rebased = value > *base_ ? value - *base_ : 0;
    if (!out_) {
      written_ += size;
      return;
    }
    std::uint8_t* p = out_->room(size);
    std::memcpy(p, &seg_[start], size);
    if (wide) {
      store_be64(p + 12, rebased);
    } else {
      store_be32(p + 12, static_cast<std::uint32_t>(rebased));
    }
  }

  void copy(std::size_t start, std::size_t n) {
    if (out_) {
      out_->bytes(&seg_[start], n);
    } else {
      written_ += n;
    }
  }

  ByteView seg_;
  std::optional<std::uint64_t> base_;
  FixedWriter* out_;
  std::size_t written_ = 0;
  std::optional<std::uint64_t> first_;
};

}  // namespace

Result<OutBuffer> FragmentedMP4Processor::process_segment(ByteView segment, OutputAllocator& alloc) {
  SegmentWalk sizing(segment, base_decode_time_, nullptr);
  const bool ok = sizing.run();
  // The base is taken the moment its tfdt is read, so it stays set even
  // when a later box of the same segment is refused.
  if (!base_decode_time_) base_decode_time_ = sizing.first_decode_time();
  if (!ok) return Error{"Invalid box size"};

  OutBuffer out = OutBuffer::allocate(sizing.output_size(), alloc);
  FixedWriter w(out);
  SegmentWalk writing(segment, base_decode_time_, &w);
  if (!writing.run()) fault("segment walk changed between passes");
  w.finish();
  return out;
}

}  // namespace quaver
