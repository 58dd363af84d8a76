#include "content/samples.hpp"

#include <algorithm>
#include <vector>

#include "mp4_parser/box.hpp"
#include "mp4_parser/box_fields.hpp"
#include "mp4_parser/fragments.hpp"

namespace quaver {

namespace {

std::vector<Mp4Box> children_of(ByteView body) {
  Result<std::vector<Mp4Box>> children = parse_container_box(body);
  return children.ok() ? children.take() : std::vector<Mp4Box>{};
}

// The sample count of the first stsz, else of the first stz2, that holds one.
std::uint32_t table_samples(const std::vector<Mp4Box>& stbl) {
  for (FourCC type : {box_types::stsz, fourcc("stz2")}) {
    const Mp4Box* table = first_child(stbl, type);
    if (const std::optional<std::uint32_t> count = table ? SampleSizes(table->data).sample_count() : std::nullopt) {
      return *count;
    }
  }
  return 0;
}

struct TrakSummary {
  std::uint32_t track_id = 0;
  bool handled = false;  // of the handler asked for (or none was asked for)
  bool has_samples = false;
};

TrakSummary summarise(ByteView trak, std::optional<FourCC> handler) {
  const std::vector<Mp4Box> children = children_of(trak);
  TrakSummary s{track_id_of(children), !handler, false};
  const Mp4Box* mdia = first_child(children, box_types::mdia);
  const std::vector<Mp4Box> mdia_children = mdia ? children_of(mdia->data) : std::vector<Mp4Box>{};
  const Mp4Box* hdlr = first_child(mdia_children, box_types::hdlr);
  if (handler && hdlr) {
    if (const std::optional<FourCC> type = HandlerBox(hdlr->data).handler_type()) s.handled = *type == *handler;
  }
  const Mp4Box* minf = first_child(mdia_children, box_types::minf);
  const std::vector<Mp4Box> minf_children = minf ? children_of(minf->data) : std::vector<Mp4Box>{};
  const Mp4Box* stbl = first_child(minf_children, box_types::stbl);
  s.has_samples = stbl && table_samples(children_of(stbl->data)) > 0;
  return s;
}

// A traf with a run of at least one sample, of a track that counts.
bool traf_has_samples(ByteView traf, const std::vector<std::uint32_t>* counted_ids) {
  const std::vector<Mp4Box> children = children_of(traf);
  if (counted_ids) {
    const Mp4Box* tfhd = first_child(children, box_types::tfhd);
    const std::optional<std::uint32_t> id = tfhd ? TrackFragmentHeader(tfhd->data).track_id() : std::nullopt;
    if (!id || std::find(counted_ids->begin(), counted_ids->end(), *id) == counted_ids->end()) return false;
  }
  return std::any_of(children.begin(), children.end(), [](const Mp4Box& b) {
    return b.box_type == box_types::trun && TrackRun(b.data).sample_count() > 0;
  });
}

}  // namespace

bool holds_samples(ByteView mp4, std::optional<FourCC> handler) {
  std::optional<std::vector<std::uint32_t>> counted_ids;  // set once a moov was read, when a handler is asked for
  TopLevelBoxes boxes(mp4);
  for (;;) {
    Result<std::optional<BoxInfo>> box = boxes.next();
    if (!box.ok() || !box.value()) return false;
    const Mp4Box* b = box.value()->regular();
    if (!b) continue;
    if (b->box_type == box_types::moov) {
      counted_ids.emplace();
      for (const Mp4Box& trak : children_of(b->data)) {
        if (trak.box_type != box_types::trak) continue;
        const TrakSummary s = summarise(trak.data, handler);
        if (!s.handled) continue;
        if (s.has_samples) return true;
        counted_ids->push_back(s.track_id);
      }
    } else if (b->box_type == box_types::moof && (counted_ids || !handler)) {
      const std::vector<std::uint32_t>* ids = handler ? &*counted_ids : nullptr;
      for (const Mp4Box& traf : children_of(b->data)) {
        if (traf.box_type == box_types::traf && traf_has_samples(traf.data, ids)) return true;
      }
    }
  }
}

}  // namespace quaver
