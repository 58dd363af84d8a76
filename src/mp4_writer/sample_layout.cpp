// Access units and samples.
//
// Every access-unit delimiter opens a new unit; NAL units before the first
// delimiter form a unit of their own. A stream without any delimiter (some
// cameras and encoders write none) is cut where its PES packets start
// instead: muxers put one picture in each PES, and otherwise the whole
// stream would become one sample. Each unit becomes one sample of
// length-prefixed NAL units, without the parameter sets and delimiters that
// the sample description already carries or that MP4 does not use. A unit
// left with no NAL unit yields no sample.
#include "core/annexb.hpp"
#include "mp4_writer/mp4_writer.hpp"

namespace quaver {

namespace {

constexpr std::uint64_t kLimit32 = std::uint64_t{1} << 32;

// Calls visit(header, end, type) for each NAL unit of the split scan.
template <class Visit>
void for_each_nal(const ChunkedBytes& v, const NalSyntax& syntax, Visit&& visit) {
  const std::size_t n = v.size();
  for (std::size_t i = 0;;) {
    annexb::StartCode sc = annexb::find_start_code(v, i);
    if (sc.pos == annexb::npos) return;
    const std::size_t header = sc.pos + sc.length;
    if (header >= n) return;
    const std::uint8_t type = syntax.type_of(v.nal_header(header));  // while its start code is the one last found
    const std::size_t end = annexb::unit_end(v, header, annexb::EndRule::kSplit);
    visit(header, end, type);
    if (end == n) return;
    i = end;
  }
}

// Where units begin, under either rule.
class UnitCutter {
 public:
  UnitCutter(bool at_delimiters, const std::vector<std::size_t>& pes_starts)
      : at_delimiters_(at_delimiters), pes_starts_(pes_starts) {}

  // Whether the NAL unit with this header and type closes the open access
  // unit, the one it opens being the next.
  bool cuts(std::size_t header, std::uint8_t type, const NalSyntax& syntax) {
    bool cut = false;
    if (at_delimiters_) {
      cut = type == syntax.delimiter;
    } else {
      // The first unit whose header lies at or after a PES start opens a new
      // unit; PES starts passed over without such a unit open none.
      while (next_ < pes_starts_.size() && pes_starts_[next_] <= header) {
        cut = true;
        ++next_;
      }
    }
    const bool closes = cut && open_;
    open_ = true;
    return closes;
  }

 private:
  bool at_delimiters_;
  const std::vector<std::size_t>& pes_starts_;
  std::size_t next_ = 0;  // index into pes_starts_
  bool open_ = false;
};

// The samples of a stream of NAL units.
SampleLayout layout_nal_samples(const ChunkedBytes& v, const std::vector<std::size_t>& pes_starts,
                                const NalSyntax& syntax) {
  SampleLayout layout;
  // First walk: which rule applies and how many NAL units are kept, so that
  // nothing grows by doubling. Every sample keeps at least one of them, which
  // bounds the sample count; room reserved beyond it is never touched.
  bool has_delimiter = false;
  std::size_t kept = 0;
  for_each_nal(v, syntax, [&](std::size_t header, std::size_t end, std::uint8_t type) {
    has_delimiter |= type == syntax.delimiter;
    if (!syntax.left_out(type)) {
      ++kept;
      layout.video_bytes += 4 + std::uint64_t{end - header};
    }
  });
  layout.nal_starts.reserve(kept);
  layout.nal_sizes.reserve(kept);
  layout.sample_sizes.reserve(kept);
  layout.sample_keys.reserve(kept);

  UnitCutter cutter(has_delimiter, pes_starts);
  std::uint64_t size = 0;  // of the open sample
  bool key = false;
  const auto close_sample = [&] {
    if (size == 0) return;  // a unit that keeps no NAL unit makes no sample
    layout.too_large |= size >= kLimit32;
    layout.sample_sizes.push_back(static_cast<std::uint32_t>(size));
    layout.sample_keys.push_back(key);
    size = 0;
    key = false;
  };
  for_each_nal(v, syntax, [&](std::size_t header, std::size_t end, std::uint8_t type) {
    if (cutter.cuts(header, type, syntax)) close_sample();
    if (syntax.left_out(type)) return;
    layout.nal_starts.push_back(header);
    layout.nal_sizes.push_back(static_cast<std::uint32_t>(end - header));
    size += 4 + std::uint64_t{end - header};
    key = key || syntax.is_key(type);
  });
  close_sample();
  return layout;
}

}  // namespace

SampleLayout layout_video(const MediaData& media) {
  if (media.video_data.empty()) return {};
  const NalSyntax* syntax = nal_syntax(media.video_codec);
  if (!syntax) fault("no sample layout for the stream's video codec");
  return layout_nal_samples(media.video_data, media.video_pes_starts, *syntax);
}

}  // namespace quaver
