// Key frame of an MP4, regular or fragmented.
//
// The box walks here read compact headers only (the box walker's compact
// setting): a size below 8 (a box running to the end, or a 64-bit size) is
// refused, and a box is read by its own size up to the end of the input,
// whatever its parent's size says. The searches that pick the video track
// and its decoder configuration only refine the choice the plain walk
// makes, so damage met there ends them quietly. A track whose tables hold
// no sample takes its first sample from the fragments, through the fragment
// collection that unfolding uses, so both find the same bytes; a fragment
// it cannot read counts as none.
#include <string>
#include <utility>

#include "mp4_parser/box.hpp"
#include "mp4_parser/box_fields.hpp"
#include "mp4_parser/fragments.hpp"
#include "thumbnail/thumbnail.hpp"

namespace quaver {

namespace {

constexpr std::uint8_t kStartCode[4] = {0, 0, 0, 1};

// "Box "moov" not found" and the like: the type in double quotation marks.
// A file without media data or without a track has nothing to take a key
// frame from, one without a moov is not laid out as this search needs, and
// a track missing one of its tables is damaged.
Error missing_box(FourCC t, const char* tail) {
  std::string m = "Box \"";
  m.append(reinterpret_cast<const char*>(t.c), 4);
  m.append("\" ");
  m.append(tail);
  const ErrorKind kind = t == fourcc("mdat") || t == fourcc("trak") ? ErrorKind::kNothingToDo
                         : t == fourcc("moov")                      ? ErrorKind::kUnsupported
                                                                    : ErrorKind::kDamaged;
  return Error{std::move(m), kind};
}

// The body of the box whose header starts at `at`, as the walks here read
// it: by its 32-bit size, cut at the end of the input (not of its parent).
ByteView body_at(ByteView d, std::size_t at) {
  if (at > d.size()) return {};
  Result<std::optional<Mp4Box>> box = BoxWalk(d.subspan(at), BoxHeaders::kCompact, Overrun::kCut).next();
  return box.ok() && box.value() ? box.value()->data : ByteView{};
}

std::size_t offset_of(ByteView d, const Mp4Box& box) { return static_cast<std::size_t>(box.whole().data() - d.data()); }

// The first box of the type among the boxes of `range` (a part of the
// input): its offset in the input, or nothing. A box running past the
// range is the last one looked at.
Result<std::optional<std::size_t>> first_of_type(ByteView d, ByteView range, FourCC type) {
  BoxWalk walk(range, BoxHeaders::kCompact, Overrun::kCut);
  for (;;) {
    Result<std::optional<Mp4Box>> box = walk.next();
    if (!box.ok()) return box.error();
    if (!box.value()) return std::optional<std::size_t>{};
    if (box.value()->box_type == type) return std::optional<std::size_t>{offset_of(d, *box.value())};
  }
}

// The first child of the type in a body, walked without raising: the walk
// ends at the first malformed child or one running past the body.
std::optional<Mp4Box> quiet_child(ByteView body, FourCC type) {
  BoxWalk walk(body, BoxHeaders::kCompact, Overrun::kEnd);
  for (;;) {
    Result<std::optional<Mp4Box>> box = walk.next();
    if (!box.ok() || !box.value()) return std::nullopt;
    if (box.value()->box_type == type) return box.value();
  }
}

// The first trak whose mdia/hdlr handler type is "vide": its offset.
std::optional<std::size_t> find_video_trak(ByteView d, std::size_t moov) {
  BoxWalk walk(body_at(d, moov), BoxHeaders::kCompact, Overrun::kEnd);
  for (;;) {
    Result<std::optional<Mp4Box>> trak = walk.next();
    if (!trak.ok() || !trak.value()) return std::nullopt;
    if (trak.value()->box_type != box_types::trak) continue;
    std::optional<Mp4Box> mdia = quiet_child(trak.value()->data, box_types::mdia);
    std::optional<Mp4Box> hdlr = mdia ? quiet_child(mdia->data, box_types::hdlr) : std::nullopt;
    if (hdlr && HandlerBox(hdlr->data).handler_type() == fourcc("vide")) return offset_of(d, *trak.value());
  }
}

// The first child of the type in the first sample entry of an stbl body.
std::optional<Mp4Box> sample_entry_child(ByteView stbl_body, FourCC type) {
  std::optional<Mp4Box> stsd = quiet_child(stbl_body, box_types::stsd);
  // stsd: version and flags, entry count, then the first entry: a visual
  // one, with 78 bytes of fields before its children.
  if (!stsd || stsd->data.size() < 16) return std::nullopt;
  Result<std::optional<Mp4Box>> entry = BoxWalk(stsd->data.subspan(8), BoxHeaders::kCompact, Overrun::kEnd).next();
  if (!entry.ok() || !entry.value() || entry.value()->data.size() < 78) return std::nullopt;
  return quiet_child(entry.value()->data.subspan(78), type);
}

// SPS then PPS units of an avcC body, as far as they are whole.
std::vector<ByteView> avcc_parameter_sets(ByteView body) {
  std::vector<ByteView> sets;
  // version, profile, compatibility, level, length size, then the SPS count.
  std::size_t p = 5;
  const auto take_list = [&](std::uint8_t count_mask) {
    if (p + 1 > body.size()) return false;
    const unsigned count = body[p++] & count_mask;
    for (unsigned i = 0; i < count; ++i) {
      if (p + 2 > body.size()) return false;
      const std::size_t len = load_be16(&body[p]);
      if (p + 2 + len > body.size()) return false;
      sets.push_back(body.subspan(p + 2, len));
      p += 2 + len;
    }
    return true;
  };
  if (take_list(0x1F)) take_list(0xFF);
  return sets;
}

// VPS, SPS and PPS units of an hvcC body, in the order of its arrays, as
// far as they are whole; arrays of other units (SEI) are passed over.
std::vector<ByteView> hvcc_parameter_sets(ByteView body) {
  std::vector<ByteView> sets;
  // 22 bytes of profile, format and timing fields, then the array count.
  std::size_t p = 22;
  if (p + 1 > body.size()) return sets;
  const unsigned arrays = body[p++];
  for (unsigned a = 0; a < arrays; ++a) {
    if (p + 3 > body.size()) return sets;
    const std::uint8_t type = body[p] & 0x3F;  // after array_completeness and a reserved bit
    const unsigned count = load_be16(&body[p + 1]);
    p += 3;
    for (unsigned i = 0; i < count; ++i) {
      if (p + 2 > body.size()) return sets;
      const std::size_t len = load_be16(&body[p]);
      if (p + 2 + len > body.size()) return sets;
      if (type >= 32 && type <= 34) sets.push_back(body.subspan(p + 2, len));
      p += 2 + len;
    }
  }
  return sets;
}

// The parameter sets that go in front of a key frame: those of the decoder
// configuration in the track's first sample entry (avcC for H.264, hvcC for
// HEVC whether the entry is hvc1 or hev1). The configuration found tells the
// coding format; without one the track is taken as H.264.
std::vector<ByteView> parameter_sets(ByteView stbl_body, VideoCodec& codec) {
  codec = VideoCodec::kH264;
  if (auto avcc = sample_entry_child(stbl_body, fourcc("avcC"))) return avcc_parameter_sets(avcc->data);
  if (auto hvcc = sample_entry_child(stbl_body, fourcc("hvcC"))) {
    codec = VideoCodec::kHevc;
    return hvcc_parameter_sets(hvcc->data);
  }
  return {};
}

// The first sample of a track that keeps its samples in fragments, found as
// unfolding finds it: under the track ID unfolding reads from the trak, with
// the trex defaults of the moov holding it. Nothing when no fragment holds a
// sample of the track, or its boxes cannot be read.
std::optional<ByteView> first_fragment_sample_of(ByteView d, std::size_t moov, std::size_t trak) {
  Result<std::vector<Mp4Box>> trak_children = parse_container_box(body_at(d, trak));
  Result<std::vector<Mp4Box>> moov_children = parse_container_box(body_at(d, moov));
  if (!trak_children.ok() || !moov_children.ok()) return std::nullopt;
  const std::uint32_t id = track_id_of(trak_children.value());
  const std::unordered_map<std::uint32_t, SampleDefaults> trex = track_extends_defaults(moov_children.value());
  const auto found = trex.find(id);
  return first_fragment_sample(d, id, found == trex.end() ? SampleDefaults{} : found->second);
}

// Where the first sample starts: the first entry of the chunk offset table,
// or nothing when the track has none (an initialisation moov, for example).
// The table's fields are read up to the end of the input.
Result<std::optional<std::uint64_t>> first_chunk_offset(ByteView d, std::size_t stbl) {
  for (FourCC kind : {box_types::stco, box_types::co64}) {
    Result<std::optional<std::size_t>> table = first_of_type(d, body_at(d, stbl), kind);
    if (!table.ok()) return table.error();
    if (!table.value()) continue;
    const ChunkOffsets offsets(d.subspan(*table.value() + 8), kind == box_types::co64);
    const std::optional<std::uint64_t> first = offsets.entry(0);
    if (!first || offsets.entry_count() == 0u) return std::optional<std::uint64_t>{};
    return first;
  }
  return std::optional<std::uint64_t>{};
}

// The top-level mdat whose body holds `offset`: that body, cut at the end
// of the input.
Result<std::optional<ByteView>> mdat_holding(ByteView d, std::uint64_t offset) {
  BoxWalk walk(d, BoxHeaders::kCompact, Overrun::kCut);
  for (;;) {
    Result<std::optional<Mp4Box>> box = walk.next();
    if (!box.ok()) return box.error();
    if (!box.value()) return std::optional<ByteView>{};
    const ByteView body = box.value()->data;
    const std::uint64_t begin = offset_of(d, *box.value()) + 8;
    if (box.value()->box_type == box_types::mdat && offset >= begin && offset < begin + body.size()) {
      return std::optional<ByteView>{body};
    }
  }
}

// The first sample as the track's own tables give it: where its first chunk
// starts, or without a usable chunk table (or with no sample in stsz) at the
// start of the first mdat body; bounded by the mdat that holds it, so that
// bytes of other boxes are never returned as picture data.
Result<ByteView> sample_from_tables(ByteView d, std::size_t stbl, bool has_samples, std::size_t first_mdat,
                                    std::uint32_t size) {
  ByteView holder = body_at(d, first_mdat);
  std::uint64_t start = 0;  // within the holder
  if (has_samples) {
    Result<std::optional<std::uint64_t>> chunk = first_chunk_offset(d, stbl);
    if (!chunk.ok()) return chunk.error();
    if (chunk.value()) {
      Result<std::optional<ByteView>> held = mdat_holding(d, *chunk.value());
      if (!held.ok()) return held.error();
      if (!held.value()) return Error{"Invalid mdat box"};
      holder = *held.value();
      start = *chunk.value() - static_cast<std::uint64_t>(holder.data() - d.data());
    }
  }
  if (start + size > holder.size()) return Error{"Sample size exceeds mdat bounds"};
  return holder.subspan(static_cast<std::size_t>(start), size);
}

}  // namespace

Result<std::size_t> find_box(ByteView d, FourCC type) {
  Result<std::optional<std::size_t>> found = first_of_type(d, d, type);
  if (!found.ok()) return found.error();
  if (!found.value()) return missing_box(type, "not found");
  return *found.value();
}

Result<std::size_t> find_box_in_container(ByteView d, std::size_t start, FourCC type) {
  Result<std::optional<std::size_t>> found = first_of_type(d, body_at(d, start), type);
  if (!found.ok()) return found.error();
  if (!found.value()) return missing_box(type, "not found in container");
  return *found.value();
}

Result<std::uint32_t> read_first_sample_size(ByteView d, std::size_t p) {
  // The fields are read up to the end of the input, not of the box.
  if (p > d.size() || d.size() - p < 20) return Error{"Invalid stsz box"};
  const SampleSizes stsz(d.subspan(p + 8));
  if (*stsz.sample_size() != 0) return *stsz.sample_size();
  const std::optional<std::uint32_t> first = stsz.entry(0);
  if (!first) return Error{"Invalid stsz box - no sample sizes"};
  return *first;
}

namespace {

// Walks the length-prefixed units of a sample; visit(unit) for each complete one.
template <class Visit>
void for_each_prefixed_unit(ByteView sample, Visit&& visit) {
  std::size_t pos = 0;
  while (sample.size() - pos >= 4) {
    const std::uint32_t len = load_be32(&sample[pos]);
    if (len > sample.size() - pos - 4) return;
    visit(sample.subspan(pos + 4, len));
    pos += 4 + std::size_t{len};
  }
}

}  // namespace

std::vector<std::uint8_t> convert_avcc_to_annexb(ByteView sample) {
  std::vector<std::uint8_t> out;
  for_each_prefixed_unit(sample, [&](ByteView unit) {
    out.insert(out.end(), kStartCode, kStartCode + 4);
    out.insert(out.end(), unit.begin(), unit.end());
  });
  return out;
}

bool holds_video_track(ByteView d) {
  Result<std::size_t> moov = find_box(d, fourcc("moov"));
  return moov.ok() && find_video_trak(d, moov.value()).has_value();
}

Result<OutBuffer> extract_thumbnail_from_mp4(ByteView d, OutputAllocator& alloc, VideoCodec* codec) {
  Result<std::size_t> mdat = find_box(d, fourcc("mdat"));
  if (!mdat.ok()) return mdat.error();
  if (mdat.value() + 8 >= d.size()) return Error{"Invalid mdat box"};

  Result<std::size_t> moov = find_box(d, fourcc("moov"));
  if (!moov.ok()) return moov.error();
  Result<std::size_t> trak = find_box_in_container(d, moov.value(), fourcc("trak"));
  if (!trak.ok()) return trak.error();
  const std::size_t chosen = find_video_trak(d, moov.value()).value_or(trak.value());
  std::size_t box = chosen;
  for (FourCC t : {fourcc("mdia"), fourcc("minf"), fourcc("stbl")}) {
    Result<std::size_t> child = find_box_in_container(d, box, t);
    if (!child.ok()) return child.error();
    box = child.value();
  }
  const std::size_t stbl = box;
  Result<std::size_t> stsz = find_box_in_container(d, stbl, fourcc("stsz"));
  if (!stsz.ok()) return stsz.error();
  Result<std::uint32_t> size = read_first_sample_size(d, stsz.value());
  if (!size.ok()) return size.error();

  // A track without samples in its tables (the initialisation moov of a
  // fragmented file) has them in its fragments.
  const bool has_samples = SampleSizes(d.subspan(stsz.value() + 8)).sample_count() != 0u;
  std::optional<ByteView> sample;
  if (!has_samples) sample = first_fragment_sample_of(d, moov.value(), chosen);
  if (!sample) {
    Result<ByteView> located = sample_from_tables(d, stbl, has_samples, mdat.value(), size.value());
    if (!located.ok()) return located.error();
    sample = located.value();
  }

  VideoCodec format;
  const std::vector<ByteView> sets = parameter_sets(body_at(d, stbl), format);
  std::size_t total = 0, units = 0;
  for (ByteView s : sets) total += 4 + s.size();
  for_each_prefixed_unit(*sample, [&](ByteView unit) {
    total += 4 + unit.size();
    units += !unit.empty();
  });
  // Parameter sets alone, or bare start codes, are no key frame.
  if (units == 0) return Error{"No I-frame found in video stream", ErrorKind::kNothingToDo};
  if (codec) *codec = format;

  OutBuffer out = OutBuffer::allocate(total, alloc);
  FixedWriter w(out);
  for (ByteView s : sets) {
    w.bytes(kStartCode, 4);
    w.bytes(s);
  }
  for_each_prefixed_unit(*sample, [&](ByteView unit) {
    w.bytes(kStartCode, 4);
    w.bytes(unit);
  });
  w.finish();
  return out;
}

}  // namespace quaver
