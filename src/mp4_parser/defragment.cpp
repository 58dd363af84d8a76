#include "mp4_parser/defragment.hpp"

#include "mp4_parser/box_fields.hpp"
#include "mp4_parser/regular_file.hpp"
#include "mp4_parser/track_builder.hpp"

namespace quaver {

namespace {

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
  const Mp4Box* mvhd = first_child(moov_children, box_types::mvhd);
  if (!mvhd) return 1000;
  // A version 1 body too short for its version is read as version 0.
  const MovieHeader h(mvhd->data);
  return h.timescale().value_or(as_version0(h).timescale().value_or(1000));
}

std::vector<std::uint8_t> update_mvhd_duration(ByteView mvhd_body, std::uint64_t duration) {
  const MovieHeader h(mvhd_body);
  if (!h.version1() || !h.holds_duration()) return h.for_duration(duration, MovieHeader::kVersion0Size);
  // A version 1 header becomes a plain one that keeps only its timescale
  // and next track ID (3 where it has none): version 0, or version 1 where
  // the duration needs it.
  ByteBuilder out;
  out.reserve(MovieHeader::kVersion1Size);
  MovieHeader::write(out, *h.timescale(), duration,
                     static_cast<std::uint32_t>(h.get(MovieHeader::kNextTrackId).value_or(3)));
  return std::move(out.data());
}

Result<std::vector<std::uint8_t>> build_regular_moov(ByteView moov_body, const std::vector<TrackFragments>& tracks,
                                                     ChunkPlan& plan) {
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
      out.box(box_types::mvhd, update_mvhd_duration(c.data, movie_duration(sources, placements, timescale)));
    } else if (record_of[i]) {
      const std::size_t k = *record_of[i];
      Result<void> trak = append_regular_trak(out, c.data, tracks[k], plan[k], timescale,
                                              placements[placed++]);
      if (!trak.ok()) return trak.error();
    } else {
      out.box(c.box_type, c.data);
    }
  }
  return std::move(out.data());
}

Result<OutBuffer> defragment_mp4(ByteView data, OutputAllocator& alloc) { return defragment_mp4(data, alloc, {}); }

Result<OutBuffer> defragment_mp4(ByteView data, OutputAllocator& alloc, const TrakFilter& keep) {
  Result<Mp4File> parsed = parse_mp4(data);
  if (!parsed.ok()) return parsed.error();
  const Mp4File& file = parsed.value();
  if (!file.holds(box_types::moof)) return Error{"Not a fragmented MP4", ErrorKind::kUnsupported};
  if (!file.moov) return Error{"moov box not found", ErrorKind::kUnsupported};
  std::vector<std::uint8_t> kept_moov;
  if (keep) kept_moov = moov_keeping(file.moov->data, keep);
  const ByteView moov_body = keep ? ByteView(kept_moov.data(), kept_moov.size()) : file.moov->data;

  Result<std::vector<TrackFragments>> collected = fragmented_tracks(data, file, moov_body);
  if (!collected.ok()) return collected.error();
  std::vector<TrackFragments> tracks = collected.take();
  if (!described_within(tracks, data.size())) return Error{"Sample count exceeds what the input can hold"};

  std::vector<const TrackFragments*> records;
  for (const TrackFragments& t : tracks) records.push_back(&t);
  Result<std::vector<std::uint8_t>> moov = placed_moov(
      records, [&](ChunkPlan& plan) { return build_regular_moov(moov_body, tracks, plan); },
      []() -> Error { fault("moov length changed between passes"); });
  if (!moov.ok()) return moov.error();
  for (TrackFragments& t : tracks) release_sample_records(t);
  return write_regular_file(moov.value(), records, alloc);
}

}  // namespace quaver
