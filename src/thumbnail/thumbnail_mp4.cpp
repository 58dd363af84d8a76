// Key frame of an MP4, regular or fragmented.
//
// The box walks here read every header form (the box walker's sized
// setting): 64-bit sizes, as large files and cameras write them, and a box
// that runs to the end of the input; a size smaller than its header is
// refused. A box is read by its own size up to the end of the input,
// whatever its parent's size says. The searches that pick the video track
// and its decoder configuration only refine the choice the plain walk
// makes, so damage met there ends them quietly. A track whose tables hold
// no sample takes its first sample from the fragments, through the fragment
// collection that unfolding uses, so both find the same bytes; a fragment
// it cannot read counts as none.
#include <string>
#include <utility>

#include "codec/codec.hpp"
#include "mp4_parser/box.hpp"
#include "mp4_parser/box_fields.hpp"
#include "mp4_parser/encryption.hpp"
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

// The box whose header starts at `at`, as the walks here read it: by its
// own size, its body cut at the end of the input (not of its parent).
std::optional<Mp4Box> box_at(ByteView d, std::size_t at) {
  if (at > d.size()) return std::nullopt;
  Result<std::optional<Mp4Box>> box = BoxWalk(d.subspan(at), BoxHeaders::kSized, Overrun::kCut).next();
  return box.ok() ? box.value() : std::nullopt;
}

ByteView body_at(ByteView d, std::size_t at) {
  const std::optional<Mp4Box> box = box_at(d, at);
  return box ? box->data : ByteView{};
}

// The input from the first body byte of the box at `at` to its end: the
// tables whose fields are read up to the end of the input, not of the box.
ByteView from_body_at(ByteView d, std::size_t at) {
  const std::optional<Mp4Box> box = box_at(d, at);
  return box ? d.subspan(at + box->header_length) : ByteView{};
}

std::size_t offset_of(ByteView d, const Mp4Box& box) { return static_cast<std::size_t>(box.whole().data() - d.data()); }

// The first box of the type among the boxes of `range` (a part of the
// input): its offset in the input, or nothing. A box running past the
// range is the last one looked at.
Result<std::optional<std::size_t>> first_of_type(ByteView d, ByteView range, FourCC type) {
  BoxWalk walk(range, BoxHeaders::kSized, Overrun::kCut);
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
  BoxWalk walk(body, BoxHeaders::kSized, Overrun::kEnd);
  for (;;) {
    Result<std::optional<Mp4Box>> box = walk.next();
    if (!box.ok() || !box.value()) return std::nullopt;
    if (box.value()->box_type == type) return box.value();
  }
}

// The first trak whose mdia/hdlr handler type is "vide": its offset.
std::optional<std::size_t> find_video_trak(ByteView d, std::size_t moov) {
  BoxWalk walk(body_at(d, moov), BoxHeaders::kSized, Overrun::kEnd);
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
  // one, with its fields before its children.
  if (!stsd || stsd->data.size() < 16) return std::nullopt;
  Result<std::optional<Mp4Box>> entry = BoxWalk(stsd->data.subspan(8), BoxHeaders::kSized, Overrun::kEnd).next();
  if (!entry.ok() || !entry.value() || entry.value()->data.size() < kVisualEntryFields) return std::nullopt;
  return quiet_child(entry.value()->data.subspan(kVisualEntryFields), type);
}

// What a key frame takes from the decoder configuration of the track's
// first sample entry: the parameter sets in front of it, and the width of
// the length fields in its sample.
struct DecoderConfig {
  VideoCodec codec = VideoCodec::kH264;
  NalConfigRecord record;
};

// avcC for H.264; hvcC for HEVC whether the entry is hvc1 or hev1, followed
// by the parameter sets of an lhvC beside it; an esds naming MPEG-1 or
// MPEG-2 video, whose samples are not made of NAL units. The configuration
// found tells the coding format; without one the track is taken as H.264,
// with 4-byte lengths and no parameter sets.
DecoderConfig decoder_config(ByteView stbl_body) {
  DecoderConfig config;
  if (auto avcc = sample_entry_child(stbl_body, fourcc("avcC"))) {
    config.record = h264::read_avcc(avcc->data);
  } else if (auto hvcc = sample_entry_child(stbl_body, fourcc("hvcC"))) {
    config.codec = VideoCodec::kHevc;
    config.record = hevc::read_hvcc(hvcc->data);
    if (auto lhvc = sample_entry_child(stbl_body, fourcc("lhvC"))) hevc::read_lhvc(lhvc->data, config.record);
  } else if (auto esds = sample_entry_child(stbl_body, fourcc("esds"));
             esds && mpeg2_video::is_object_type(read_esds_object_type(esds->data))) {
    config.codec = VideoCodec::kMpeg2Video;
  }
  return config;
}

// The refusal for a track whose first sample entry is a protected one: its
// samples are encrypted, and a key frame of them would not decode.
Result<void> refuse_encrypted_track(ByteView d, std::size_t trak, std::size_t stbl) {
  const std::optional<Mp4Box> stsd = quiet_child(body_at(d, stbl), box_types::stsd);
  if (!stsd) return {};
  const std::optional<Mp4Box> tkhd = quiet_child(body_at(d, trak), box_types::tkhd);
  return refuse_encrypted(stsd->data, tkhd ? TrackHeader(tkhd->data).track_id().value_or(0) : 0);
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
    const ChunkOffsets offsets(from_body_at(d, *table.value()), kind == box_types::co64);
    const std::optional<std::uint64_t> first = offsets.entry(0);
    if (!first || offsets.entry_count() == 0u) return std::optional<std::uint64_t>{};
    return first;
  }
  return std::optional<std::uint64_t>{};
}

// The top-level mdat whose body holds `offset`: that body, cut at the end
// of the input.
Result<std::optional<ByteView>> mdat_holding(ByteView d, std::uint64_t offset) {
  BoxWalk walk(d, BoxHeaders::kSized, Overrun::kCut);
  for (;;) {
    Result<std::optional<Mp4Box>> box = walk.next();
    if (!box.ok()) return box.error();
    if (!box.value()) return std::optional<ByteView>{};
    const ByteView body = box.value()->data;
    const std::uint64_t begin = static_cast<std::uint64_t>(body.data() - d.data());
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

// The first sync sample (0-based) where the track lists its sync samples and
// that is not its first sample: a file cut from a recording that started
// mid-GOP may open with pictures that cannot be decoded on their own.
std::optional<std::size_t> later_first_sync_sample(ByteView stbl_body) {
  const std::optional<Mp4Box> stss = quiet_child(stbl_body, box_types::stss);
  if (!stss) return std::nullopt;
  const TableEntries sync(stss->data, 1);
  if (sync.size() == 0 || sync.word(0, 0) <= 1) return std::nullopt;
  return sync.word(0, 0) - 1;
}

// Where sample `index` starts by the sample-to-chunk runs and the chunk
// offsets, as far as the tables hold it.
std::optional<std::uint64_t> sample_position(ByteView stbl_body, const SampleSizes& sizes, std::size_t index) {
  const std::optional<Mp4Box> stsc = quiet_child(stbl_body, box_types::stsc);
  std::optional<Mp4Box> table = quiet_child(stbl_body, box_types::stco);
  const bool wide = !table;
  if (!table) table = quiet_child(stbl_body, box_types::co64);
  if (!stsc || !table || index >= sizes.described()) return std::nullopt;
  const ChunkOffsets chunks(table->data, wide);
  const std::uint64_t chunk_count = chunks.entry_count().value_or(0);
  const TableEntries runs(stsc->data, 3);
  std::uint64_t left = index;  // samples before it, from the run's first chunk on
  for (std::size_t r = 0; r < runs.size(); ++r) {
    const std::uint64_t first = runs.word(r, 0);
    const std::uint64_t per_chunk = runs.word(r, 1);
    const std::uint64_t end = r + 1 < runs.size() ? runs.word(r + 1, 0) : chunk_count + 1;
    if (first == 0 || end <= first || per_chunk == 0) continue;
    if (left >= (end - first) * per_chunk) {
      left -= (end - first) * per_chunk;
      continue;
    }
    const std::optional<std::uint64_t> chunk = chunks.entry(static_cast<std::size_t>(first - 1 + left / per_chunk));
    if (!chunk) return std::nullopt;
    // The samples before it in its chunk: each with its own entry (bounded by
    // the table's bytes), or all of one size.
    const std::uint64_t before = left % per_chunk;
    const std::uint32_t every = sizes.sample_size().value_or(0);
    std::uint64_t at = *chunk + before * every;
    for (std::size_t i = index - static_cast<std::size_t>(before); every == 0 && i < index; ++i) {
      at += sizes.entry(i).value_or(0);
    }
    return at;
  }
  return std::nullopt;
}

// The first sync sample of a track whose sync samples start later than its
// first sample, inside the mdat holding its start; nothing where the tables
// do not place it.
Result<std::optional<ByteView>> later_sync_sample(ByteView d, std::size_t stbl, const SampleSizes& sizes) {
  const ByteView stbl_body = body_at(d, stbl);
  const std::optional<std::size_t> index = later_first_sync_sample(stbl_body);
  if (!index) return std::optional<ByteView>{};
  const std::optional<std::uint64_t> at = sample_position(stbl_body, sizes, *index);
  const std::optional<std::uint32_t> size = sizes.size(*index);
  if (!at || !size) return std::optional<ByteView>{};
  Result<std::optional<ByteView>> held = mdat_holding(d, *at);
  if (!held.ok() || !held.value()) return held;
  const ByteView holder = *held.value();
  const std::uint64_t start = *at - static_cast<std::uint64_t>(holder.data() - d.data());
  if (start + *size > holder.size()) return Error{"Sample size exceeds mdat bounds"};
  return std::optional<ByteView>{holder.subspan(static_cast<std::size_t>(start), *size)};
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
  const ByteView fields = from_body_at(d, p);
  if (fields.size() < 12) return Error{"Invalid stsz box"};
  const SampleSizes stsz(fields);
  if (*stsz.sample_size() != 0) return *stsz.sample_size();
  const std::optional<std::uint32_t> first = stsz.entry(0);
  if (!first) return Error{"Invalid stsz box - no sample sizes"};
  return *first;
}

namespace {

// Walks the length-prefixed units of a sample, each length field
// `length_size` bytes (1 to 4) wide; visit(unit) for each complete one.
template <class Visit>
void for_each_prefixed_unit(ByteView sample, std::size_t length_size, Visit&& visit) {
  std::size_t pos = 0;
  while (sample.size() - pos >= length_size) {
    std::size_t len = 0;
    for (std::size_t i = 0; i < length_size; ++i) len = len << 8 | sample[pos + i];
    pos += length_size;
    if (len > sample.size() - pos) return;
    visit(sample.subspan(pos, len));
    pos += len;
  }
}

}  // namespace

std::vector<std::uint8_t> convert_avcc_to_annexb(ByteView sample, std::size_t length_size) {
  std::vector<std::uint8_t> out;
  for_each_prefixed_unit(sample, length_size, [&](ByteView unit) {
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
  if (mdat.value() + box_at(d, mdat.value())->header_length >= d.size()) return Error{"Invalid mdat box"};

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
  Result<void> clear = refuse_encrypted_track(d, chosen, stbl);
  if (!clear.ok()) return clear.error();
  Result<std::size_t> stsz = find_box_in_container(d, stbl, fourcc("stsz"));
  if (!stsz.ok()) return stsz.error();
  Result<std::uint32_t> size = read_first_sample_size(d, stsz.value());
  if (!size.ok()) return size.error();

  // A track without samples in its tables (the initialisation moov of a
  // fragmented file) has them in its fragments.
  const bool has_samples = SampleSizes(from_body_at(d, stsz.value())).sample_count() != 0u;
  std::optional<ByteView> sample;
  if (!has_samples) sample = first_fragment_sample_of(d, moov.value(), chosen);
  if (has_samples) {
    Result<std::optional<ByteView>> sync = later_sync_sample(d, stbl, SampleSizes(from_body_at(d, stsz.value())));
    if (!sync.ok()) return sync.error();
    sample = sync.value();
  }
  if (!sample) {
    Result<ByteView> located = sample_from_tables(d, stbl, has_samples, mdat.value(), size.value());
    if (!located.ok()) return located.error();
    sample = located.value();
  }

  const DecoderConfig config = decoder_config(body_at(d, stbl));
  if (config.codec == VideoCodec::kMpeg2Video) {
    // The sample as it stands: a key picture carries its sequence header.
    if (sample->empty()) return Error{"No I-frame found in video stream", ErrorKind::kNothingToDo};
    if (codec) *codec = config.codec;
    OutBuffer out = OutBuffer::allocate(sample->size(), alloc);
    FixedWriter w(out);
    w.bytes(*sample);
    w.finish();
    return out;
  }
  std::size_t total = 0, units = 0;
  for (ByteView s : config.record.parameter_sets) total += 4 + s.size();
  for_each_prefixed_unit(*sample, config.record.length_size, [&](ByteView unit) {
    total += 4 + unit.size();
    units += !unit.empty();
  });
  // Parameter sets alone, or bare start codes, are no key frame.
  if (units == 0) return Error{"No I-frame found in video stream", ErrorKind::kNothingToDo};
  if (codec) *codec = config.codec;

  OutBuffer out = OutBuffer::allocate(total, alloc);
  FixedWriter w(out);
  for (ByteView s : config.record.parameter_sets) {
    w.bytes(kStartCode, 4);
    w.bytes(s);
  }
  for_each_prefixed_unit(*sample, config.record.length_size, [&](ByteView unit) {
    w.bytes(kStartCode, 4);
    w.bytes(unit);
  });
  w.finish();
  return out;
}

}  // namespace quaver
