#include "mp4_parser/defragment.hpp"

#include <algorithm>
#include <array>

#include "mp4_parser/regular_file.hpp"
#include "mp4_parser/track_builder.hpp"

namespace quaver {

namespace {

constexpr std::array<std::uint32_t, 9> kMatrix = {0x00010000, 0, 0, 0, 0x00010000, 0, 0, 0, 0x40000000};
// Where a trak points when the caller gave no offset for its track.
constexpr std::uint64_t kUnplacedChunkOffset = 8000;

// Traks sharing a track ID are each rebuilt from the first record with that
// ID, so one record's tables and sample description can be written many
// times. Well-formed files describe every sample once; a file whose traks
// would describe more samples, or more description bytes, than it holds
// bytes is refused instead of multiplying its size.
bool described_within(const std::vector<TrackFragments>& tracks, std::uint64_t limit) {
  const std::unordered_map<std::uint32_t, std::size_t> by_id = first_track_by_id(tracks);
  std::uint64_t samples = 0;
  std::uint64_t descriptions = 0;
  for (const TrackFragments& t : tracks) {
    const TrackFragments& source = tracks[by_id.at(t.track_id)];
    samples += source.samples.size();
    descriptions += source.stsd.size();
    if (samples > limit || descriptions > limit) return false;
  }
  return true;
}

}  // namespace

std::uint32_t movie_timescale(const std::vector<Mp4Box>& moov_children) {
  for (const Mp4Box& c : moov_children) {
    if (c.box_type != box_types::mvhd) continue;
    if (c.data.size() < 16) return 1000;
    const bool version1 = c.data[0] == 1 && c.data.size() >= 24;
    return load_be32(c.data.data() + (version1 ? 20 : 12));
  }
  return 1000;
}

std::vector<std::uint8_t> update_mvhd_duration(ByteView mvhd_body, std::uint64_t duration) {
  if (mvhd_body.size() < 32 || mvhd_body[0] != 1) return update_header_in_place(mvhd_body, 16, duration);
  ByteBuilder out;
  out.reserve(100);
  out.u32(0);  // version 0, flags 0
  out.u32(0);  // creation time
  out.u32(0);  // modification time
  out.bytes(mvhd_body.data() + 20, 4);  // timescale
  out.u32(clamp32(duration));
  out.u32(0x00010000);  // rate 1.0
  out.u16(0x0100);      // volume 1.0
  out.zeros(10);
  for (std::uint32_t v : kMatrix) out.u32(v);
  out.zeros(24);
  out.u32(mvhd_body.size() >= 112 ? load_be32(mvhd_body.data() + 108) : 3);  // next track ID
  return std::move(out.data());
}

Result<std::vector<std::uint8_t>> build_regular_moov(ByteView moov_body, const std::vector<TrackFragments>& tracks,
                                                     const std::vector<std::uint64_t>& chunk_offsets) {
  Result<std::vector<Mp4Box>> children = parse_container_box(moov_body);
  if (!children.ok()) return children.error();
  const std::uint32_t timescale = movie_timescale(children.value());
  const std::unordered_map<std::uint32_t, std::size_t> by_id = first_track_by_id(tracks);

  // The record behind each trak (none where no record carries its ID), and
  // the traks that are rebuilt, laid on one timeline.
  std::vector<std::optional<std::size_t>> record_of(children.value().size());
  std::vector<TrackSource> sources;
  for (std::size_t i = 0; i < children.value().size(); ++i) {
    const Mp4Box& c = children.value()[i];
    if (c.box_type != box_types::trak) continue;
    Result<std::vector<Mp4Box>> trak_children = parse_container_box(c.data);
    if (!trak_children.ok()) return trak_children.error();
    const auto match = by_id.find(track_id_of(trak_children.value()));
    if (match == by_id.end()) continue;
    record_of[i] = match->second;
    sources.push_back(TrackSource{c.data, &tracks[match->second], timescale});
  }
  const std::vector<TrackPlacement> placements = align_tracks(sources, timescale);

  ByteBuilder out;
  std::size_t placed = 0;
  for (std::size_t i = 0; i < children.value().size(); ++i) {
    const Mp4Box& c = children.value()[i];
    if (c.box_type == box_types::mvhd) {
      write_box(out, box_types::mvhd, update_mvhd_duration(c.data, movie_duration(sources, placements, timescale)));
    } else if (record_of[i]) {
      const std::size_t k = *record_of[i];
      const std::uint64_t offset = k < chunk_offsets.size() ? chunk_offsets[k] : kUnplacedChunkOffset;
      if (std::optional<Error> e = append_regular_trak(out, c.data, tracks[k], offset, timescale, placements[placed++])) {
        return *e;
      }
    } else {
      write_box(out, c.box_type, c.data);
    }
  }
  return std::move(out.data());
}

Result<OutBuffer> defragment_mp4(ByteView data, OutputAllocator& alloc) {
  Result<Mp4File> parsed = parse_mp4(data);
  if (!parsed.ok()) return parsed.error();
  const Mp4File& file = parsed.value();
  if (std::none_of(file.box_infos.begin(), file.box_infos.end(), [](const BoxInfo& b) { return b.is(box_types::moof); })) {
    return Error{"Not a fragmented MP4", ErrorKind::kUnsupported};
  }
  if (!file.moov) return Error{"moov box not found", ErrorKind::kUnsupported};

  Result<std::vector<TrackFragments>> extracted = extract_track_info_from_moov(file.moov->data);
  if (!extracted.ok()) return extracted.error();
  std::vector<TrackFragments> tracks = extracted.take();
  Result<std::uint64_t> collected = collect_fragment_data(data, file.box_infos, tracks);
  if (!collected.ok()) return collected.error();
  if (!described_within(tracks, data.size())) return Error{"Sample count exceeds what the input can hold"};

  // The moov's length does not depend on the chunk offsets (fixed 32-bit
  // entries), so a first build with none tells where the samples will start;
  // only its length is kept.
  std::size_t moov_length = 0;
  {
    Result<std::vector<std::uint8_t>> sizing = build_regular_moov(file.moov->data, tracks, {});
    if (!sizing.ok()) return sizing.error();
    moov_length = sizing.value().size();
  }
  std::vector<const TrackFragments*> records;
  for (const TrackFragments& t : tracks) records.push_back(&t);
  Result<std::vector<std::uint64_t>> chunk_offsets = place_tracks(moov_length, records);
  if (!chunk_offsets.ok()) return chunk_offsets.error();
  Result<std::vector<std::uint8_t>> moov = build_regular_moov(file.moov->data, tracks, chunk_offsets.value());
  if (!moov.ok()) return moov.error();
  if (moov.value().size() != moov_length) fault("moov length changed between passes");
  for (TrackFragments& t : tracks) release_sample_records(t);
  return write_regular_file(moov.value(), records, alloc);
}

}  // namespace quaver
