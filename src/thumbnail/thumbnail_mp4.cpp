// Key frame of an MP4, regular or fragmented.
//
// The box walks here read only 32-bit sizes and types: a size below 8 (a box
// running to the end, or a 64-bit size) is refused. The searches that pick
// the video track and its decoder configuration only refine the choice the
// plain walk makes, so damage met there ends them quietly. A track whose
// tables hold no sample takes its first sample from the fragments, through
// the fragment collection that unfolding uses, so both find the same bytes;
// a fragment it cannot read counts as none.
#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include "mp4_parser/box.hpp"
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

bool type_at(ByteView d, std::size_t off, FourCC t) { return std::memcmp(&d[off + 4], t.c, 4) == 0; }

// Children of the container at `start`, walked without raising: stops at
// the first malformed child.
template <class Visit>
void quiet_children(ByteView d, std::size_t start, Visit&& visit) {
  if (start + 8 > d.size()) return;
  const std::size_t end = std::min<std::uint64_t>(std::uint64_t{start} + load_be32(&d[start]), d.size());
  for (std::size_t off = start + 8; off + 8 <= end;) {
    const std::uint32_t size = load_be32(&d[off]);
    if (size < 8 || off + size > end) return;
    if (!visit(off, size)) return;
    off += size;
  }
}

std::optional<std::size_t> quiet_child(ByteView d, std::size_t start, FourCC t) {
  std::optional<std::size_t> found;
  quiet_children(d, start, [&](std::size_t off, std::uint32_t) {
    if (type_at(d, off, t)) found = off;
    return !found;
  });
  return found;
}

// The first trak whose mdia/hdlr handler type is "vide".
std::optional<std::size_t> find_video_trak(ByteView d, std::size_t moov) {
  std::optional<std::size_t> video;
  quiet_children(d, moov, [&](std::size_t trak, std::uint32_t) {
    if (!type_at(d, trak, fourcc("trak"))) return true;
    auto mdia = quiet_child(d, trak, fourcc("mdia"));
    auto hdlr = mdia ? quiet_child(d, *mdia, fourcc("hdlr")) : std::nullopt;
    // hdlr: header, version and flags, pre-defined, then the handler type.
    if (hdlr && load_be32(&d[*hdlr]) >= 20 && std::memcmp(&d[*hdlr + 16], "vide", 4) == 0) video = trak;
    return !video;
  });
  return video;
}

// The first child of the type in the first sample entry of an stbl (a
// visual entry: 78 bytes of fields before its children).
std::optional<std::size_t> sample_entry_child(ByteView d, std::size_t stbl, FourCC type) {
  auto stsd = quiet_child(d, stbl, fourcc("stsd"));
  if (!stsd || load_be32(&d[*stsd]) < 16 + 8) return std::nullopt;
  // stsd: header, version and flags, entry count, then the first entry.
  const std::size_t entry = *stsd + 16;
  if (entry + 8 > d.size()) return std::nullopt;
  const std::uint32_t entry_size = load_be32(&d[entry]);
  if (entry_size < 8 + 78 || entry + entry_size > std::uint64_t{*stsd} + load_be32(&d[*stsd])) return std::nullopt;
  const std::size_t end = std::min<std::uint64_t>(std::uint64_t{entry} + entry_size, d.size());
  for (std::size_t off = entry + 8 + 78; off + 8 <= end;) {
    const std::uint32_t size = load_be32(&d[off]);
    if (size < 8 || off + size > end) return std::nullopt;
    if (type_at(d, off, type)) return off;
    off += size;
  }
  return std::nullopt;
}

// SPS then PPS units of the avcC box at `avcc`, as far as they are whole.
std::vector<ByteView> avcc_parameter_sets(ByteView d, std::size_t avcc) {
  std::vector<ByteView> sets;
  const std::size_t body = avcc + 8;
  const std::size_t body_end = avcc + load_be32(&d[avcc]);
  // version, profile, compatibility, level, length size, then the SPS count.
  std::size_t p = body + 5;
  const auto take_list = [&](std::uint8_t count_mask) {
    if (p + 1 > body_end) return false;
    const unsigned count = d[p++] & count_mask;
    for (unsigned i = 0; i < count; ++i) {
      if (p + 2 > body_end) return false;
      const std::size_t len = load_be16(&d[p]);
      if (p + 2 + len > body_end) return false;
      sets.push_back(d.subspan(p + 2, len));
      p += 2 + len;
    }
    return true;
  };
  if (take_list(0x1F)) take_list(0xFF);
  return sets;
}

// VPS, SPS and PPS units of the hvcC box at `hvcc`, in the order of its
// arrays, as far as they are whole; arrays of other units (SEI) are passed over.
std::vector<ByteView> hvcc_parameter_sets(ByteView d, std::size_t hvcc) {
  std::vector<ByteView> sets;
  const std::size_t body_end = hvcc + load_be32(&d[hvcc]);
  // 22 bytes of profile, format and timing fields, then the array count.
  std::size_t p = hvcc + 8 + 22;
  if (p + 1 > body_end) return sets;
  const unsigned arrays = d[p++];
  for (unsigned a = 0; a < arrays; ++a) {
    if (p + 3 > body_end) return sets;
    const std::uint8_t type = d[p] & 0x3F;  // after array_completeness and a reserved bit
    const unsigned count = load_be16(&d[p + 1]);
    p += 3;
    for (unsigned i = 0; i < count; ++i) {
      if (p + 2 > body_end) return sets;
      const std::size_t len = load_be16(&d[p]);
      if (p + 2 + len > body_end) return sets;
      if (type >= 32 && type <= 34) sets.push_back(d.subspan(p + 2, len));
      p += 2 + len;
    }
  }
  return sets;
}

// The parameter sets that go in front of a key frame: those of the decoder
// configuration in the track's first sample entry (avcC for H.264, hvcC for
// HEVC whether the entry is hvc1 or hev1). The configuration found tells the
// coding format; without one the track is taken as H.264.
std::vector<ByteView> parameter_sets(ByteView d, std::size_t stbl, VideoCodec& codec) {
  codec = VideoCodec::kH264;
  if (auto avcc = sample_entry_child(d, stbl, fourcc("avcC"))) return avcc_parameter_sets(d, *avcc);
  if (auto hvcc = sample_entry_child(d, stbl, fourcc("hvcC"))) {
    codec = VideoCodec::kHevc;
    return hvcc_parameter_sets(d, *hvcc);
  }
  return {};
}

// The body of the box at `at` (whose size field is 8 or more), cut off at
// the end of the input.
ByteView body_of(ByteView d, std::size_t at) {
  const std::uint64_t end = std::min<std::uint64_t>(std::uint64_t{at} + load_be32(&d[at]), d.size());
  return d.subspan(at + 8, static_cast<std::size_t>(end - at - 8));
}

// The first sample of a track that keeps its samples in fragments, found as
// unfolding finds it: under the track ID unfolding reads from the trak, with
// the trex defaults of the moov holding it. Nothing when no fragment holds a
// sample of the track, or its boxes cannot be read.
std::optional<ByteView> first_fragment_sample_of(ByteView d, std::size_t moov, std::size_t trak) {
  Result<std::vector<Mp4Box>> trak_children = parse_container_box(body_of(d, trak));
  Result<std::vector<Mp4Box>> moov_children = parse_container_box(body_of(d, moov));
  if (!trak_children.ok() || !moov_children.ok()) return std::nullopt;
  const std::uint32_t id = track_id_of(trak_children.value());
  const std::unordered_map<std::uint32_t, SampleDefaults> trex = track_extends_defaults(moov_children.value());
  const auto found = trex.find(id);
  return first_fragment_sample(d, id, found == trex.end() ? SampleDefaults{} : found->second);
}

// Where the first sample starts: the first entry of the chunk offset table,
// or nothing when the track has none (an initialisation moov, for example).
Result<std::optional<std::uint64_t>> first_chunk_offset(ByteView d, std::size_t stbl) {
  for (FourCC kind : {fourcc("stco"), fourcc("co64")}) {
    Result<std::size_t> table = find_box_in_container(d, stbl, kind);
    if (!table.ok()) {
      if (table.message() == "Invalid box size") return table.error();
      continue;
    }
    const std::size_t t = table.value();
    const std::size_t width = kind == fourcc("stco") ? 4 : 8;
    // header, version and flags, entry count, then the entries.
    if (t + 16 + width > d.size() || load_be32(&d[t + 12]) == 0) return std::optional<std::uint64_t>{};
    return std::optional<std::uint64_t>{width == 4 ? load_be32(&d[t + 16]) : load_be64(&d[t + 16])};
  }
  return std::optional<std::uint64_t>{};
}

struct MdatBody {
  std::size_t begin;
  std::size_t end;  // bounded by the input
};

// The top-level mdat whose body holds `offset`.
Result<std::optional<MdatBody>> mdat_holding(ByteView d, std::uint64_t offset) {
  for (std::size_t off = 0; off + 8 <= d.size();) {
    const std::uint32_t size = load_be32(&d[off]);
    if (size < 8) return Error{"Invalid box size"};
    const std::uint64_t end = std::min<std::uint64_t>(std::uint64_t{off} + size, d.size());
    if (type_at(d, off, fourcc("mdat")) && offset >= off + 8 && offset < end) {
      return std::optional<MdatBody>{MdatBody{off + 8, static_cast<std::size_t>(end)}};
    }
    off += size;
  }
  return std::optional<MdatBody>{};
}

// The first sample as the track's own tables give it: where its first chunk
// starts, or without a usable chunk table (or with no sample in stsz) at the
// start of the first mdat body; bounded by the mdat that holds it, so that
// bytes of other boxes are never returned as picture data.
Result<ByteView> sample_from_tables(ByteView d, std::size_t stbl, bool has_samples, std::size_t first_mdat,
                                    std::uint32_t size) {
  MdatBody holder{first_mdat + 8, std::min<std::size_t>(first_mdat + load_be32(&d[first_mdat]), d.size())};
  std::size_t start = holder.begin;
  if (has_samples) {
    Result<std::optional<std::uint64_t>> chunk = first_chunk_offset(d, stbl);
    if (!chunk.ok()) return chunk.error();
    if (chunk.value()) {
      Result<std::optional<MdatBody>> held = mdat_holding(d, *chunk.value());
      if (!held.ok()) return held.error();
      if (!held.value()) return Error{"Invalid mdat box"};
      holder = *held.value();
      start = static_cast<std::size_t>(*chunk.value());
    }
  }
  if (std::uint64_t{start} + size > holder.end) return Error{"Sample size exceeds mdat bounds"};
  return d.subspan(start, size);
}

}  // namespace

Result<std::size_t> find_box(ByteView d, FourCC type) {
  for (std::size_t off = 0; off + 8 <= d.size();) {
    const std::uint32_t size = load_be32(&d[off]);
    if (size < 8) return Error{"Invalid box size"};
    if (type_at(d, off, type)) return off;
    off += size;
  }
  return missing_box(type, "not found");
}

Result<std::size_t> find_box_in_container(ByteView d, std::size_t start, FourCC type) {
  const Error not_found = missing_box(type, "not found in container");
  if (start + 4 > d.size()) return not_found;
  const std::uint64_t end = std::min<std::uint64_t>(std::uint64_t{start} + load_be32(&d[start]), d.size());
  if (start + 16 > end) return not_found;
  for (std::size_t off = start + 8; off + 8 <= end;) {
    const std::uint32_t size = load_be32(&d[off]);
    if (size < 8) return Error{"Invalid box size"};
    if (type_at(d, off, type)) return off;
    off += size;
  }
  return not_found;
}

Result<std::uint32_t> read_first_sample_size(ByteView d, std::size_t p) {
  if (std::uint64_t{p} + 20 > d.size()) return Error{"Invalid stsz box"};
  const std::uint32_t fixed = load_be32(&d[p + 12]);
  if (fixed != 0) return fixed;
  if (std::uint64_t{p} + 24 > d.size()) return Error{"Invalid stsz box - no sample sizes"};
  return load_be32(&d[p + 20]);
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
  const bool has_samples = load_be32(&d[stsz.value() + 16]) != 0;
  std::optional<ByteView> sample;
  if (!has_samples) sample = first_fragment_sample_of(d, moov.value(), chosen);
  if (!sample) {
    Result<ByteView> located = sample_from_tables(d, stbl, has_samples, mdat.value(), size.value());
    if (!located.ok()) return located.error();
    sample = located.value();
  }

  VideoCodec format;
  const std::vector<ByteView> sets = parameter_sets(d, stbl, format);
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
