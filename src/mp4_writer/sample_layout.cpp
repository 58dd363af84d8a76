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
//
// Random access: a sample holding a key slice (H.264 IDR, HEVC IRAP) or a
// unit marking its picture as a recovery point is one; a stream with none
// of either takes each picture all of whose slices are intra. A decoder
// cannot start before the first such picture, so the samples start there:
// earlier pictures, and those after it shown before it (the leading
// pictures of an open GOP), are left out. Only the marker units, and the
// slice heads of streams that need them (fields, the intra fallback), are
// read; everything else goes by the NAL header in the start-code index.
//
// Field pictures: two fields of a frame (opposite parity, one frame_num),
// coded as two access units, become one sample with the first one's time.
#include <algorithm>

#include "core/annexb.hpp"
#include "mp4_writer/mp4_writer.hpp"

namespace quaver {

namespace {

constexpr std::uint64_t kLimit32 = std::uint64_t{1} << 32;

// The samples of an MPEG-2 video stream: one picture each, written as it
// stands, taking the timestamp entries in order; a frame whose second field
// starts a PES of its own takes that PES's entry too, leaving it unused.
// Random access as for NAL units: the samples start at the first key
// picture (an I picture behind a sequence header), without the pictures
// decoded after it but shown before it up to the next key picture; a
// stream without any keeps every picture, the first marked. A first walk
// finds the first key picture and counts, so that nothing grows by
// doubling.
SampleLayout layout_pictures(const ChunkedBytes& v, const std::vector<TimestampPair>& entries,
                             const std::vector<std::size_t>& pes_starts) {
  SampleLayout layout;
  layout.length_prefixed = false;
  std::size_t pictures = 0;
  std::optional<std::size_t> start;
  std::uint64_t bytes = 0;
  mpeg2_video::for_each_picture(v, [&](const mpeg2_video::Picture& p) {
    if (p.key && !start) start = pictures;
    ++pictures;
    bytes += p.end - p.begin;
    return true;
  });
  if (bytes >= kLimit32) {
    layout.too_large = true;
    return layout;
  }
  layout.nal_starts.reserve(pictures);
  layout.nal_sizes.reserve(pictures);
  layout.sample_sizes.reserve(pictures);
  layout.sample_keys.reserve(pictures);
  const std::size_t first = start.value_or(0);
  const TimestampPair* at_start = nullptr;
  bool leading = true;  // no key picture since the first
  bool shifted = false;  // a picture took an entry other than its index
  std::size_t i = 0, entry = 0, pes = 0;
  mpeg2_video::for_each_picture(v, [&](const mpeg2_video::Picture& p) {
    const std::size_t at = i++;
    const std::size_t e = entry++;
    if (p.second_field) {
      while (pes < pes_starts.size() && pes_starts[pes] <= p.begin) ++pes;
      if (pes < pes_starts.size() && pes_starts[pes] <= p.second_field) ++entry;
    }
    shifted |= e != at;
    if (at < first) return true;
    const TimestampPair* t = e < entries.size() ? &entries[e] : nullptr;
    if (at == first && first > 0 && t && t->pts && t->dts) at_start = t;
    leading = leading && (at == first || !p.key);
    if (at > first && leading && at_start && t && t->pts && *t->pts < *at_start->pts && *t->pts > *at_start->dts) {
      return true;
    }
    const auto size = static_cast<std::uint32_t>(p.end - p.begin);  // below 2^32: V is
    layout.nal_starts.push_back(p.begin);
    layout.nal_sizes.push_back(size);
    layout.sample_sizes.push_back(size);
    layout.sample_keys.push_back(p.key || at == first);
    layout.sample_entries.push_back(static_cast<std::uint32_t>(e));
    layout.video_bytes += size;
    return true;
  });
  // Every picture kept, each with the entry of its index: as they are.
  if (layout.samples() == pictures && !shifted) layout.sample_entries.clear();
  return layout;
}

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

// What a sample's first picture is, when its stream has fields.
struct Picture {
  bool field = false;
  bool bottom = false;
  std::uint32_t frame_num = 0;
  std::size_t pes = 0;  // PES starts at or before its first slice
};

// The samples of a stream of NAL units.
SampleLayout layout_nal_samples(const ChunkedBytes& v, const std::vector<std::size_t>& pes_starts,
                                const std::vector<TimestampPair>& entries, const NalSyntax& syntax,
                                const std::optional<SliceCoding>& coding) {
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

  // Fields are read only in streams that may have them.
  const bool fields = coding && !coding->frames_only && syntax.slice_head;
  std::vector<Picture> pictures;
  std::vector<std::uint8_t> buf;
  UnitCutter cutter(has_delimiter, pes_starts);
  std::uint64_t size = 0;  // of the open sample
  bool key = false;
  bool first_slice = true;  // the open sample has no slice yet
  Picture picture;
  std::size_t pes = 0;  // PES starts passed
  std::size_t keys = 0;
  const auto close_sample = [&] {
    if (size == 0) return;  // a unit that keeps no NAL unit makes no sample
    layout.too_large |= size >= kLimit32;
    layout.sample_sizes.push_back(static_cast<std::uint32_t>(size));
    layout.sample_keys.push_back(key);
    keys += key;
    if (fields) pictures.push_back(picture);
    size = 0;
    key = false;
    first_slice = true;
    picture = Picture{};
  };
  for_each_nal(v, syntax, [&](std::size_t header, std::size_t end, std::uint8_t type) {
    if (cutter.cuts(header, type, syntax)) close_sample();
    if (syntax.left_out(type)) return;
    layout.nal_starts.push_back(header);
    layout.nal_sizes.push_back(static_cast<std::uint32_t>(end - header));
    size += 4 + std::uint64_t{end - header};
    if (syntax.is_key(type)) {
      key = true;
    } else if (type == syntax.marker && !key) {
      key = syntax.marks_random_access(annexb::unit_head(v, header, end, kMarkerBytes, buf));
    }
    if (fields && first_slice && syntax.is_slice(type)) {
      first_slice = false;
      while (pes < pes_starts.size() && pes_starts[pes] <= header) ++pes;
      if (const auto head = syntax.slice_head(annexb::unit_head(v, header, end, kSliceHeadBytes, buf), *coding)) {
        picture = Picture{head->field, head->bottom, head->frame_num, pes};
      }
    }
  });
  close_sample();
  if (layout.too_large) return layout;  // refused: its sample sizes are not all held
  const std::size_t n = layout.samples();

  // Neither key slices nor markers anywhere: pictures whose slices are all
  // intra are the points, where the slice heads can say so.
  if (keys == 0 && coding && syntax.slice_head) {
    std::size_t k = 0;  // NAL unit
    for (std::size_t i = 0; i < n; ++i) {
      bool intra = true;
      bool any = false;
      for (std::uint64_t left = layout.sample_sizes[i]; left > 0; ++k) {
        left -= 4 + std::uint64_t{layout.nal_sizes[k]};
        const std::size_t header = layout.nal_starts[k];
        if (!intra || !syntax.is_slice(syntax.type_of(v.at(header)))) continue;
        const ByteView unit = annexb::unit_head(v, header, header + layout.nal_sizes[k], kSliceHeadBytes, buf);
        const auto head = syntax.slice_head(unit, *coding);
        any = true;
        intra = head && head->intra;
      }
      if (any && intra) {
        layout.sample_keys[i] = true;
        ++keys;
      }
    }
  }

  // The fields of a frame: a field followed by the other one of the same
  // frame_num goes on into its sample.
  std::vector<bool> joined(n, false);
  bool changed = false;
  for (std::size_t i = 0; i + 1 < pictures.size(); ++i) {
    const Picture& a = pictures[i];
    const Picture& b = pictures[i + 1];
    if (a.field && b.field && a.bottom != b.bottom && a.frame_num == b.frame_num) {
      joined[i] = true;
      changed = true;
      ++i;
    }
  }
  // Sample i takes timestamp entry i, counting the units the PES carry: a
  // second field in the PES of its first takes no entry of its own.
  std::vector<std::uint32_t> entry_of(n);
  for (std::size_t i = 0, e = 0; i < n; ++i) {
    const bool shares = i > 0 && joined[i - 1] && pictures[i].pes == pictures[i - 1].pes;
    e += i > 0 && !shares;
    entry_of[i] = static_cast<std::uint32_t>(e);
  }
  const auto entry = [&](std::size_t i) -> const TimestampPair* {
    return entry_of[i] < entries.size() ? &entries[entry_of[i]] : nullptr;
  };

  // Decoding starts at the first point; without any, every picture stays,
  // the first marked.
  const auto first_key = std::find(layout.sample_keys.begin(), layout.sample_keys.end(), true);
  const std::size_t start =
      first_key == layout.sample_keys.end() ? 0 : static_cast<std::size_t>(first_key - layout.sample_keys.begin());
  if (n > 0) layout.sample_keys[start] = true;
  std::vector<bool> keep(n, true);
  std::fill(keep.begin(), keep.begin() + static_cast<std::ptrdiff_t>(start), false);
  changed |= start > 0;
  // Pictures decoded after the first point but shown before it refer to
  // pictures before it; they run up to the next point. A stream that starts
  // at a point keeps them, as it keeps everything. Decoded after it,
  // they are shown after its decode time: a time outside that window is a
  // damaged or restarted clock, not such a picture.
  const TimestampPair* at_start = start < n ? entry(start) : nullptr;
  if (start > 0 && at_start && at_start->pts && at_start->dts) {
    for (std::size_t i = start + 1; i < n && !layout.sample_keys[i]; ++i) {
      const TimestampPair* t = entry(i);
      if (t && t->pts && *t->pts < *at_start->pts && *t->pts > *at_start->dts) keep[i] = false;
    }
  }
  // A field whose partner is left out stays on its own.
  for (std::size_t i = 0; i + 1 < n; ++i) joined[i] = joined[i] && keep[i] && keep[i + 1];
  changed |= std::find(keep.begin(), keep.end(), false) != keep.end();
  if (!changed) return layout;

  // The samples again, without those left out, the fields of a frame
  // together.
  std::size_t nal_in = 0, nal_out = 0, out = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint32_t bytes = layout.sample_sizes[i];
    std::size_t nal_end = nal_in;
    for (std::uint64_t left = bytes; left > 0; ++nal_end) left -= 4 + std::uint64_t{layout.nal_sizes[nal_end]};
    if (!keep[i]) {
      layout.video_bytes -= bytes;
      nal_in = nal_end;
      continue;
    }
    for (; nal_in < nal_end; ++nal_in, ++nal_out) {
      layout.nal_starts[nal_out] = layout.nal_starts[nal_in];
      layout.nal_sizes[nal_out] = layout.nal_sizes[nal_in];
    }
    const bool continues = i > 0 && joined[i - 1];
    if (continues) {
      layout.too_large |= std::uint64_t{layout.sample_sizes[out - 1]} + bytes >= kLimit32;
      layout.sample_sizes[out - 1] += bytes;
      continue;
    }
    layout.sample_sizes[out] = bytes;
    layout.sample_keys[out] = layout.sample_keys[i];
    layout.sample_entries.push_back(entry_of[i]);
    ++out;
  }
  layout.nal_starts.resize(nal_out);
  layout.nal_sizes.resize(nal_out);
  layout.sample_sizes.resize(out);
  layout.sample_keys.resize(out);
  return layout;
}

}  // namespace

SampleLayout layout_video(const MediaData& media) {
  if (media.video_data.empty()) return {};
  if (media.video_codec == VideoCodec::kMpeg2Video) {
    return layout_pictures(media.video_data, media.video_timestamps, media.video_pes_starts);
  }
  const NalSyntax* syntax = nal_syntax(media.video_codec);
  if (!syntax) fault("no sample layout for the stream's video codec");
  std::optional<SliceCoding> coding;
  if (syntax->slice_coding && media.parameter_sets.sps) {
    coding = syntax->slice_coding(bytes_of(media.parameter_sets.sps));
  }
  return layout_nal_samples(media.video_data, media.video_pes_starts, media.video_timestamps, *syntax, coding);
}

void keep_sample_times(std::vector<TimestampPair>& entries, const SampleLayout& layout) {
  if (layout.sample_entries.empty()) return;
  std::vector<TimestampPair> kept;
  kept.reserve(layout.sample_entries.size());
  // Entries run out for good: samples past them have no time.
  for (std::uint32_t e : layout.sample_entries) {
    if (e >= entries.size()) break;
    kept.push_back(entries[e]);
  }
  entries = std::move(kept);
}

}  // namespace quaver
