#include "mp4_parser/mux.hpp"

#include <algorithm>
#include <string>

#include "mp4_parser/box.hpp"
#include "mp4_parser/box_fields.hpp"
#include "mp4_parser/defragment.hpp"
#include "mp4_parser/regular_file.hpp"
#include "mp4_parser/track_ids.hpp"
#include "mp4_parser/track_builder.hpp"

namespace quaver {

namespace {

// The first trak whose first tkhd carries this track ID.
std::optional<ByteView> source_trak(const std::vector<Mp4Box>& moov_children, std::uint32_t track_id) {
  for (const Mp4Box& c : moov_children) {
    if (c.box_type != box_types::trak) continue;
    Result<std::vector<Mp4Box>> children = parse_container_box(c.data);
    if (!children.ok()) continue;
    const Mp4Box* tkhd = first_child(children.value(), box_types::tkhd);
    if (tkhd && TrackHeader(tkhd->data).track_id() == track_id) return c.data;
  }
  return std::nullopt;
}

// The movie timescale of the template: its first mvhd, else 1000.
std::uint32_t template_timescale(const std::vector<Mp4Box>& children) {
  const Mp4Box* mvhd = first_child(children, box_types::mvhd);
  return mvhd ? MovieHeader(mvhd->data).timescale().value_or(1000) : 1000;
}

}  // namespace

Result<CollectedInput> collect_tracks(ByteView data) {
  Result<Mp4File> parsed = parse_mp4(data);
  if (!parsed.ok()) return parsed.error();
  const Mp4File& file = parsed.value();
  if (!file.moov) return Error{"moov box not found", ErrorKind::kUnsupported};
  Result<std::vector<TrackFragments>> collected = fragmented_tracks(data, file);
  if (!collected.ok()) return collected.error();
  std::vector<TrackFragments> records = collected.take();
  Result<std::vector<Mp4Box>> children = parse_container_box(file.moov->data);
  if (!children.ok()) return children.error();

  CollectedInput input{file.moov->data, {}};
  input.tracks.reserve(records.size());
  const std::uint32_t timescale = template_timescale(children.value());
  for (TrackFragments& record : records) {
    std::optional<ByteView> trak = source_trak(children.value(), record.track_id);
    if (!trak) return Error{"track_id " + std::to_string(record.track_id) + " 에 해당하는 trak 없음"};
    input.tracks.push_back(CollectedTrack{*trak, std::move(record), timescale});
  }
  return input;
}

Result<std::vector<std::uint8_t>> build_muxed_moov(ByteView template_moov, const std::vector<CollectedTrack>& tracks,
                                                   ChunkPlan& plan) {
  Result<std::vector<Mp4Box>> children = parse_container_box(template_moov);
  if (!children.ok()) return children.error();
  const std::uint32_t timescale = template_timescale(children.value());
  std::vector<TrackSource> sources;
  sources.reserve(tracks.size());
  std::uint32_t next_track_id = 1;
  for (const CollectedTrack& t : tracks) {
    sources.push_back(TrackSource{t.trak, &t.fragments, t.movie_timescale});
    next_track_id = std::max(next_track_id, static_cast<std::uint32_t>(t.fragments.track_id + 1));
  }
  const std::vector<TrackPlacement> placements = align_tracks(sources, timescale);
  const std::uint64_t duration = movie_duration(sources, placements, timescale);

  ByteBuilder out;
  bool placed = false;
  for (const Mp4Box& c : children.value()) {
    if (c.box_type == box_types::mvex) continue;  // the merged file has no fragments
    if (c.box_type == box_types::mvhd) {
      std::vector<std::uint8_t> mvhd = update_mvhd_duration(c.data, duration);
      const ByteView written(mvhd.data(), mvhd.size());
      MovieHeader(written).set(mvhd, MovieHeader::kNextTrackId, next_track_id);
      out.box(box_types::mvhd, written);
    } else if (c.box_type == box_types::trak) {
      if (placed) continue;  // every output track stands where the first trak stood
      placed = true;
      for (std::size_t j = 0; j < tracks.size(); ++j) {
        // The record's track ID, which differs from its trak's where the track was renumbered.
        Result<void> trak = append_regular_trak(out, tracks[j].trak, tracks[j].fragments, plan[j],
                                                timescale, placements[j], tracks[j].fragments.track_id);
        if (!trak.ok()) return trak.error();
      }
    } else {
      out.box(c.box_type, c.data);
    }
  }
  if (!placed) return Error{"템플릿 moov 에 trak 이 없어 트랙을 배치할 수 없음", ErrorKind::kNothingToDo};
  return std::move(out.data());
}

Result<OutBuffer> mux_fmp4_tracks(ByteView video, ByteView audio, OutputAllocator& alloc,
                                  RepeatedTrackIds repeated) {
  Result<CollectedInput> v = collect_tracks(video);
  if (!v.ok()) return v.error();
  Result<CollectedInput> a = collect_tracks(audio);
  if (!a.ok()) return a.error();
  std::vector<CollectedTrack> tracks = std::move(v.value().tracks);
  const std::size_t audio_begin = tracks.size();
  for (CollectedTrack& t : a.value().tracks) tracks.push_back(std::move(t));
  if (tracks.empty()) return Error{"합칠 트랙이 없음", ErrorKind::kNothingToDo};
  std::optional<std::uint32_t> repeated_id;
  if (repeated == RepeatedTrackIds::kRenumberAudio) {
    repeated_id = first_repeated_track_id(tracks, 0, audio_begin);
    if (!repeated_id) repeated_id = first_repeated_track_id(tracks, audio_begin, tracks.size());
    if (!repeated_id) renumber_colliding_tracks(tracks, audio_begin);
  } else {
    repeated_id = first_repeated_track_id(tracks, 0, tracks.size());
  }
  if (repeated_id) return Error{"track_id " + std::to_string(*repeated_id) + " 가 중복됨"};

  const ByteView template_moov = v.value().moov;
  std::vector<const TrackFragments*> records;
  for (const CollectedTrack& t : tracks) records.push_back(&t.fragments);
  Result<std::vector<std::uint8_t>> moov = placed_moov(
      records, [&](ChunkPlan& plan) { return build_muxed_moov(template_moov, tracks, plan); },
      [] { return Error{"moov 크기가 offset 계산 전후로 달라짐"}; });
  if (!moov.ok()) return moov.error();
  for (CollectedTrack& t : tracks) release_sample_records(t.fragments);
  return write_regular_file(moov.value(), records, alloc);
}

}  // namespace quaver
