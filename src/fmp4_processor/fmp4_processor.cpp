#include "fmp4_processor/fmp4_processor.hpp"

#include <unordered_set>

#include "mp4_parser/box.hpp"
#include "mp4_parser/box_fields.hpp"

namespace quaver {

namespace {

using DecodeTime = FragmentedMP4Processor::DecodeTime;

// The walk reads sizes given in full, in 32 or 64 bits (a size below its
// header, or one that runs to the end, is refused), and a box that runs
// past its parent ends the walk at that level, the rest of the parent left
// out.
BoxWalk segment_walk(ByteView bytes) { return BoxWalk(bytes, BoxHeaders::kExplicit, Overrun::kEnd); }

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

  // The top level: a moof is rewritten, every other box copied.
  Result<void> run() {
    BoxWalk walk = segment_walk(seg_);
    for (;;) {
      Result<std::optional<Mp4Box>> box = walk.next();
      if (!box.ok()) return box.error();
      if (!box.value()) return {};
      if (box.value()->box_type == box_types::moof) {
        Result<void> moof = container(*box.value(), 1);
        if (!moof.ok()) return moof;
      } else {
        copy(box.value()->whole());
      }
    }
  }

  std::size_t output_size() const { return written_; }
  const std::vector<DecodeTime>& decode_times() const { return times_; }

 private:
  // moof (depth 1) and traf (depth 2): header as it is, then the children
  // that fit; a traf is rewritten inside a moof, a tfdt inside a traf.
  Result<void> container(const Mp4Box& box, int depth) {
    copy(box.whole().first(box.header_length));
    BoxWalk walk = segment_walk(box.data);
    for (;;) {
      Result<std::optional<Mp4Box>> child = walk.next();
      if (!child.ok()) return child.error();
      if (!child.value()) return {};
      const Mp4Box& c = *child.value();
      if (depth == 1 && c.box_type == box_types::traf) {
        if (!out_) track_id_ = traf_track_id(c.data);
        Result<void> traf = container(c, 2);
        if (!traf.ok()) return traf;
      } else if (depth == 2 && c.box_type == box_types::tfdt) {
        tfdt(c);
      } else {
        copy(c.whole());
      }
    }
  }

  // A tfdt too short for the decode time of its version is copied as it is.
  void tfdt(const Mp4Box& box) {
    const DecodeTimeBox view(box.data);
    const std::optional<std::uint64_t> value = view.decode_time();
    if (!value) {
      copy(box.whole());
      return;
    }
    if (!out_) {
      times_.push_back(DecodeTime{track_id_, *value});
      written_ += box.whole().size();
      return;
    }
    const std::uint64_t base = (*bases_)[next_base_++];
    std::uint8_t* p = out_->room(box.whole().size());
    std::memcpy(p, box.whole().data(), box.whole().size());
    view.set_decode_time(std::span<std::uint8_t>(p + box.header_length, box.data.size()),
                         *value > base ? *value - base : 0);
  }

  void copy(ByteView bytes) {
    if (out_) {
      out_->bytes(bytes);
    } else {
      written_ += bytes.size();
    }
  }

  // Track ID of a traf: its first tfhd that holds one, read with the
  // walk's size rules; 0 without one.
  static std::uint32_t traf_track_id(ByteView traf_body) {
    BoxWalk walk = segment_walk(traf_body);
    for (;;) {
      Result<std::optional<Mp4Box>> child = walk.next();
      if (!child.ok() || !child.value()) return 0;
      if (child.value()->box_type != box_types::tfhd) continue;
      if (const std::optional<std::uint32_t> id = TrackFragmentHeader(child.value()->data).track_id()) return *id;
    }
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
  const Result<void> walked = sizing.run();
  // The bases are taken from the decode times read, so they stay set even
  // when a later box of the same segment is refused.
  const std::vector<std::uint64_t> bases = bases_for(sizing.decode_times());
  if (!walked.ok()) return walked.error();

  OutBuffer out = OutBuffer::allocate(sizing.output_size(), alloc);
  FixedWriter w(out);
  SegmentWalk writing(segment, bases, w);
  if (!writing.run().ok()) fault("segment walk changed between passes");
  w.finish();
  return out;
}

}  // namespace quaver
