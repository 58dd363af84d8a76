#include "mp4_parser/track_list.hpp"

#include <algorithm>
#include <unordered_map>

#include "codec/sample_entry.hpp"
#include "mp4_parser/box.hpp"
#include "mp4_parser/box_fields.hpp"
#include "mp4_parser/fragments.hpp"

namespace quaver {

namespace {

constexpr FourCC kEsds = fourcc("esds");
constexpr std::uint32_t kNonSyncSample = 0x00010000;  // sample_is_non_sync_sample of a sample flags word

std::vector<Mp4Box> children_of(ByteView body) {
  Result<std::vector<Mp4Box>> children = parse_container_box(body);
  return children.ok() ? children.take() : std::vector<Mp4Box>{};
}

// The children of the first child of the type; none where there is none.
std::vector<Mp4Box> children_at(const std::vector<Mp4Box>& parent, FourCC type) {
  const Mp4Box* b = first_child(parent, type);
  return b ? children_of(b->data) : std::vector<Mp4Box>{};
}

FourCC handler_of(const std::vector<Mp4Box>& mdia) {
  const Mp4Box* hdlr = first_child(mdia, box_types::hdlr);
  return hdlr ? HandlerBox(hdlr->data).handler_type().value_or(FourCC{}) : FourCC{};
}

void read_sample_entry(ByteView stsd, Mp4TrackFacts& t) {
  // Version and flags, the entry count, then the first entry.
  if (stsd.size() < 16) return;
  const std::vector<Mp4Box> entries = children_of(stsd.subspan(8));
  if (entries.empty()) return;
  const Mp4Box& e = entries.front();
  t.entry = e.box_type;
  const ByteView body = e.data;
  std::size_t children = 0;
  if (t.handler == fourcc("vide")) {
    if (const std::optional<PictureSize> size = read_visual_entry_fields(body)) {
      t.width = size->width;
      t.height = size->height;
      children = kVisualEntryFields;
    }
  } else if (t.handler == fourcc("soun")) {
    if (const std::optional<AudioEntryFields> fields = read_audio_entry_fields(body)) {
      t.channels = fields->channels;
      t.sample_rate = fields->sample_rate;
      children = audio_entry_fields_length(body);
    }
  }
  if (children && children <= body.size()) {
    const std::vector<Mp4Box> boxes = children_of(body.subspan(children));
    if (const Mp4Box* esds = first_child(boxes, kEsds)) t.object_type = read_esds_object_type(esds->data);
  }
}

// The mdhd's language: three letters of five bits each, offsets from 0x60.
std::array<char, 3> mdhd_language(std::uint16_t packed) {
  std::array<char, 3> code{};
  for (int i = 0; i < 3; ++i) {
    const int c = ((packed >> (10 - 5 * i)) & 0x1F) + 0x60;
    if (c < 'a' || c > 'z') return {};
    code[static_cast<std::size_t>(i)] = static_cast<char>(c);
  }
  if (code == std::array<char, 3>{'u', 'n', 'd'}) return {};
  return code;
}

Mp4TrackFacts read_trak(ByteView trak) {
  Mp4TrackFacts t;
  const std::vector<Mp4Box> children = children_of(trak);
  t.track_id = track_id_of(children);
  const std::vector<Mp4Box> mdia = children_at(children, box_types::mdia);
  t.handler = handler_of(mdia);
  if (const Mp4Box* mdhd = first_child(mdia, box_types::mdhd)) {
    const MediaHeader header(mdhd->data);
    t.timescale = header.timescale().value_or(0);
    t.duration = header.duration().value_or(0);
    t.language = mdhd_language(header.language().value_or(0));
  }
  const std::vector<Mp4Box> stbl = children_at(children_at(mdia, box_types::minf), box_types::stbl);
  if (const Mp4Box* stsd = first_child(stbl, box_types::stsd)) read_sample_entry(stsd->data, t);
  if (const Mp4Box* stsz = first_child(stbl, box_types::stsz)) t.samples = SampleSizes(stsz->data).sample_count().value_or(0);
  t.sync_samples = t.samples;
  // stss: version and flags, then the entry count.
  if (const Mp4Box* stss = first_child(stbl, box_types::stss); stss && stss->data.size() >= 8) {
    t.sync_samples = std::min<std::uint64_t>(t.samples, load_be32(stss->data.data() + 4));
  }
  if (t.samples == 0) t.duration = 0;  // an initialisation moov's mdhd says nothing of the fragments
  return t;
}

}  // namespace

TrakIdentity identify_trak(ByteView trak_body) {
  const std::vector<Mp4Box> children = children_of(trak_body);
  return TrakIdentity{track_id_of(children), handler_of(children_at(children, box_types::mdia))};
}

Result<std::vector<Mp4TrackFacts>> list_tracks(ByteView data) {
  Result<Mp4File> parsed = parse_mp4(data);
  if (!parsed.ok()) return parsed.error();
  const Mp4File& file = parsed.value();
  if (!file.moov) return Error{"moov box not found", ErrorKind::kUnsupported};
  std::vector<Mp4TrackFacts> facts;
  for (const Mp4Box& trak : children_of(file.moov->data)) {
    if (trak.box_type == box_types::trak) facts.push_back(read_trak(trak.data));
  }
  if (!file.holds(box_types::moof)) return facts;
  Result<std::vector<TrackFragments>> collected = fragmented_tracks(data, file);
  if (!collected.ok()) return collected.error();
  const std::vector<TrackFragments>& tracks = collected.value();
  const std::unordered_map<std::uint32_t, std::size_t> by_id = first_track_by_id(tracks);
  for (Mp4TrackFacts& t : facts) {
    const auto found = by_id.find(t.track_id);
    if (found == by_id.end()) continue;
    for (const FragmentSampleInfo& s : tracks[found->second].samples) {
      ++t.samples;
      t.duration += s.duration;
      t.sync_samples += (s.flags & kNonSyncSample) == 0;
    }
  }
  return facts;
}

}  // namespace quaver
