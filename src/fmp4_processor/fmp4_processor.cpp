#include "fmp4_processor/fmp4_processor.hpp"

#include <unordered_set>

#include "mp4_parser/box.hpp"

namespace quaver {

namespace {

using DecodeTime = FragmentedMP4Processor::DecodeTime;

bool is_type(const std::uint8_t* box, const char (&t)[5]) { return std::memcmp(box + 4, t, 4) == 0; }

// One walk over a segment. The sizing pass (no writer) learns the output
// length and every decode time with its track; the writing pass produces
// the bytes with the base of each decode time known, in the same order.
class SegmentWalk {
 public:
  // Sizing.
  explicit SegmentWalk(ByteView seg) : seg_(seg), out_(nullptr) {}
  // Writing: bases[i] is what the i-th decode time of the walk subtracts.
  SegmentWalk(ByteView seg, const std::vector<std::uint64_t>& bases, FixedWriter& out)
      : seg_(seg), bases_(&bases), out_(&out) {}

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
  const std::vector<DecodeTime>& decode_times() const { return times_; }

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
        if (!out_) track_id_ = traf_track_id(child, child_size);
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
    if (!out_) {
      times_.push_back(DecodeTime{track_id_, value});
      written_ += size;
      return;
    }
    const std::uint64_t base = (*bases_)[next_base_++];
    const std::uint64_t rebased = value > base ? value - base : 0;
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

  // Track ID of a traf: its first tfhd that holds one, read with the
  // walk's size rules; 0 without one.
  std::uint32_t traf_track_id(std::size_t start, std::uint32_t size) const {
    for (std::size_t off = 8; size - off >= 8;) {
      const std::size_t child = start + off;
      const std::uint32_t child_size = load_be32(&seg_[child]);
      if (child_size < 8 || child_size > size - off) return 0;
      if (is_type(&seg_[child], "tfhd") && child_size >= 16) return load_be32(&seg_[child + 12]);
      off += child_size;
    }
    return 0;
  }

  ByteView seg_;
  const std::vector<std::uint64_t>* bases_ = nullptr;
  FixedWriter* out_;
  std::size_t written_ = 0;
  std::uint32_t track_id_ = 0;  // of the traf being walked
  std::vector<DecodeTime> times_;
  std::size_t next_base_ = 0;
};

}  // namespace

void FragmentedMP4Processor::set_init_segment(ByteView data) {
  init_segment_.assign(data.begin(), data.end());
  timescales_.clear();
  Result<Mp4File> init = parse_mp4(data);
  if (init.ok() && init.value().moov) timescales_ = media_timescales(init.value().moov->data);
}

void FragmentedMP4Processor::reset() {
  base_decode_time_.reset();
  origin_ = TimeOrigin{};
  bases_.clear();
}

std::vector<std::uint64_t> FragmentedMP4Processor::bases_for(const std::vector<DecodeTime>& times) {
  std::vector<std::uint64_t> bases;
  bases.reserve(times.size());
  // The stream keeps the way its first base was taken: an init segment
  // stored later does not move the tracks it already placed.
  if (!base_decode_time_) single_base_ = timescales_.empty();
  if (single_base_) {
    // No timescale known: the first decode time seen is every track's base.
    if (!base_decode_time_ && !times.empty()) base_decode_time_ = times.front().value;
    bases.assign(times.size(), base_decode_time_.value_or(0));
    return bases;
  }
  if (!origin_.earliest()) {
    // The first decode time of each track that the init segment names.
    std::unordered_set<std::uint32_t> offered;
    for (const DecodeTime& t : times) {
      const auto timescale = timescales_.find(t.track_id);
      if (timescale != timescales_.end() && offered.insert(t.track_id).second) {
        origin_.offer({t.value, timescale->second});
      }
    }
  }
  for (const DecodeTime& t : times) {
    auto base = bases_.find(t.track_id);
    if (base == bases_.end()) {
      const auto timescale = timescales_.find(t.track_id);
      const std::optional<std::uint64_t> origin =
          timescale == timescales_.end() ? std::nullopt : origin_.in(timescale->second);
      base = bases_.emplace(t.track_id, origin.value_or(t.value)).first;
      if (!base_decode_time_) base_decode_time_ = base->second;
    }
    bases.push_back(base->second);
  }
  return bases;
}

Result<OutBuffer> FragmentedMP4Processor::process_segment(ByteView segment, OutputAllocator& alloc) {
  SegmentWalk sizing(segment);
  const bool ok = sizing.run();
  // The bases are taken from the decode times read, so they stay set even
  // when a later box of the same segment is refused.
  const std::vector<std::uint64_t> bases = bases_for(sizing.decode_times());
  if (!ok) return Error{"Invalid box size"};

  OutBuffer out = OutBuffer::allocate(sizing.output_size(), alloc);
  FixedWriter w(out);
  SegmentWalk writing(segment, bases, w);
  if (!writing.run()) fault("segment walk changed between passes");
  w.finish();
  return out;
}

}  // namespace quaver
