#include "mp4_parser/sample_tables.hpp"

#include <algorithm>
#include <optional>

#include "mp4_parser/box_fields.hpp"
#include "mp4_parser/time_origin.hpp"

namespace quaver {

namespace {

// The sample flags of fragment runs, which the regular track builder reads:
// a sync sample depends on no other; any other sample depends on others
// and is no sync sample.
constexpr std::uint32_t kSyncSample = 0x02000000;
constexpr std::uint32_t kOtherSample = 0x01010000;

// The top-level mdat bodies, in file order, so their positions increase.
class MdatBodies {
 public:
  explicit MdatBodies(const std::vector<BoxInfo>& box_infos) {
    for (const BoxInfo& info : box_infos) {
      if (const BoxInfo::Mdat* m = info.mdat()) bodies_.push_back(*m);
    }
  }
  // Whether the `size` bytes at file position `at` lie inside one body.
  bool hold(std::uint64_t at, std::uint64_t size) const {
    auto after = std::upper_bound(bodies_.begin(), bodies_.end(), at,
                                  [](std::uint64_t v, const BoxInfo::Mdat& m) { return v < m.data_offset; });
    if (after == bodies_.begin()) return false;
    const BoxInfo::Mdat& m = *(after - 1);
    const std::uint64_t into = at - m.data_offset;
    return into <= m.data_size && size <= m.data_size - into;
  }

 private:
  std::vector<BoxInfo::Mdat> bodies_;
};

// What the samples and sample bytes collected so far leave of the input:
// every real sample has a byte, and a well-formed file holds each byte once.
struct Budget {
  std::uint64_t samples;
  std::uint64_t bytes;
};

// A (count, value) table, stts or ctts: its values into the field of the
// samples in order; samples past the table keep 0.
void spread_runs(const Mp4Box* table, FragmentSampleInfo* samples, std::uint64_t n,
                 std::uint32_t FragmentSampleInfo::*field) {
  if (!table) return;
  const TableEntries runs(table->data, 2);
  std::uint64_t i = 0;
  for (std::size_t j = 0; j < runs.size() && i < n; ++j) {
    const std::uint64_t end = std::min<std::uint64_t>(n, i + runs.word(j, 0));
    for (const std::uint32_t value = runs.word(j, 1); i < end; ++i) samples[i].*field = value;
  }
}

// Appends the bytes of the tables' first n samples to the track's data.
// Chunk k (from 1) holds the samples-per-chunk of the last stsc entry whose
// first chunk is k or before, back to back from its offset.
Result<void> append_sample_bytes(ByteView data, const MdatBodies& mdats, const std::vector<Mp4Box>& stbl,
                                 const SampleSizes& sizes, std::uint64_t n, TrackFragments& track, Budget& budget) {
  const Mp4Box* wide = first_child(stbl, box_types::co64);
  const Mp4Box* narrow = first_child(stbl, box_types::stco);
  const Mp4Box* stsc = first_child(stbl, box_types::stsc);
  if ((!wide && !narrow) || !stsc) return {};
  const ChunkOffsets chunks(narrow ? narrow->data : wide->data, !narrow);
  const TableEntries layout(stsc->data, 3);
  std::uint64_t next = 0;  // the next sample to place
  std::size_t entry = 0;
  for (std::size_t chunk = 0; next < n && entry < layout.size(); ++chunk) {
    const std::optional<std::uint64_t> start = chunks.entry(chunk);
    if (!start || chunk >= chunks.entry_count().value_or(0)) break;
    while (entry + 1 < layout.size() && layout.word(entry + 1, 0) <= chunk + 1) ++entry;
    if (layout.word(entry, 0) > chunk + 1) continue;  // before the first entry: no samples
    std::uint64_t at = *start;
    const std::uint64_t end = std::min<std::uint64_t>(n, next + layout.word(entry, 1));
    for (; next < end; ++next) {
      const std::uint32_t size = *sizes.size(next);
      if (mdats.hold(at, size)) {
        if (size > budget.bytes) return Error{"Sample data exceeds what the input can hold"};
        budget.bytes -= size;
        track.append_data(data.subspan(static_cast<std::size_t>(at), size));
      }
      at = saturating_add(at, size);
    }
  }
  return {};
}

Result<void> append_table_samples(ByteView data, const MdatBodies& mdats, TrackFragments& track, Budget& budget) {
  Result<std::vector<Mp4Box>> children = parse_container_box(track.stbl);
  if (!children.ok()) return children.error();
  const std::vector<Mp4Box>& stbl = children.value();
  const Mp4Box* stsz = first_child(stbl, box_types::stsz);
  if (!stsz) return {};
  const SampleSizes sizes(stsz->data);
  const std::uint64_t n = sizes.described();
  if (n == 0) return {};
  if (n > budget.samples) return Error{"Sample count exceeds what the input can hold"};
  budget.samples -= n;
  // The bytes first: tables that claim more than the input holds are
  // refused before a record is made for each sample.
  Result<void> bytes = append_sample_bytes(data, mdats, stbl, sizes, n, track, budget);
  if (!bytes.ok()) return bytes;

  const std::size_t first = track.samples.size();
  track.samples.resize(first + n);
  FragmentSampleInfo* samples = track.samples.data() + first;
  const Mp4Box* stss = first_child(stbl, box_types::stss);
  for (std::uint64_t i = 0; i < n; ++i) {
    samples[i].size = *sizes.size(i);
    samples[i].flags = stss ? kOtherSample : kSyncSample;
  }
  if (stss) {
    const TableEntries sync(stss->data, 1);
    for (std::size_t j = 0; j < sync.size(); ++j) {
      const std::uint32_t number = sync.word(j, 0);  // counted from 1
      if (number >= 1 && number <= n) samples[number - 1].flags = kSyncSample;
    }
  }
  spread_runs(first_child(stbl, box_types::stts), samples, n, &FragmentSampleInfo::duration);
  spread_runs(first_child(stbl, box_types::ctts), samples, n, &FragmentSampleInfo::composition_offset);
  return {};
}

// The children of a trak's stbl, reached through the first mdia, minf and
// stbl; nothing where one is missing or cannot be read.
std::optional<std::vector<Mp4Box>> stbl_children(std::vector<Mp4Box> level) {
  for (FourCC type : {box_types::mdia, box_types::minf, box_types::stbl}) {
    const Mp4Box* b = first_child(level, type);
    Result<std::vector<Mp4Box>> next = b ? parse_container_box(b->data) : Result<std::vector<Mp4Box>>(Error{});
    if (!next.ok()) return std::nullopt;
    level = next.take();
  }
  return level;
}

}  // namespace

std::unordered_map<std::uint32_t, std::uint64_t> table_durations(ByteView moov_body) {
  std::unordered_map<std::uint32_t, std::uint64_t> durations;
  for_each_trak(moov_body, [&](const std::vector<Mp4Box>& children) {
    const std::optional<std::vector<Mp4Box>> tables = stbl_children(children);
    const Mp4Box* stts = tables ? first_child(*tables, box_types::stts) : nullptr;
    if (!stts) return;
    const TableEntries runs(stts->data, 2);
    std::uint64_t total = 0;
    for (std::size_t j = 0; j < runs.size(); ++j) total = saturating_add(total, std::uint64_t{runs.word(j, 0)} * runs.word(j, 1));
    if (total > 0) durations.emplace(track_id_of(children), total);
  });
  return durations;
}

Result<void> collect_table_samples(ByteView data, const std::vector<BoxInfo>& box_infos,
                                   std::vector<TrackFragments>& tracks) {
  const MdatBodies mdats(box_infos);
  Budget budget{data.size(), data.size()};
  for (TrackFragments& t : tracks) {
    Result<void> added = append_table_samples(data, mdats, t, budget);
    if (!added.ok()) return added;
  }
  return {};
}

}  // namespace quaver
