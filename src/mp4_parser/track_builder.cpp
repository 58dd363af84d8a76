#include "mp4_parser/track_builder.hpp"

#include <algorithm>
#include <optional>

#include "core/output.hpp"
#include "mp4_parser/box_fields.hpp"
#include "mp4_parser/edit_list.hpp"
#include "mp4_parser/time_origin.hpp"

namespace quaver {

namespace {

// Low bit of sample_depends_on: the sample needs another one to decode.
constexpr std::uint32_t kDependsOnOthers = 0x01000000;

// Sizes of the version 0 bodies unfolding writes.
constexpr std::size_t kTrackHeaderSize = 84;
constexpr std::size_t kMediaHeaderSize = 24;

// stts and ctts: one (count, value) entry per run of equal values.
void write_runs(ByteBuilder& out, FourCC type, std::uint8_t version, const std::vector<FragmentSampleInfo>& samples,
                std::uint32_t FragmentSampleInfo::*field) {
  const std::size_t box = out.open_box(type);
  out.u32(std::uint32_t{version} << 24);  // version, flags 0
  const std::size_t count_at = out.size();
  out.u32(0);
  std::uint32_t runs = 0;
  for (std::size_t i = 0; i < samples.size(); ++runs) {
    const std::uint32_t value = samples[i].*field;
    std::size_t j = i + 1;
    while (j < samples.size() && samples[j].*field == value) ++j;
    out.u32(static_cast<std::uint32_t>(j - i));
    out.u32(value);
    i = j;
  }
  store_be32(out.data().data() + count_at, runs);
  out.close_box(box);
}

void write_stbl(ByteBuilder& out, const TrackFragments& track, TrackChunks& chunks) {
  const std::vector<FragmentSampleInfo>& samples = track.samples;
  const auto n = static_cast<std::uint32_t>(samples.size());
  const std::size_t stbl = out.open_box(box_types::stbl);
  if (!track.stsd.empty()) out.box(box_types::stsd, track.stsd);
  write_runs(out, box_types::stts, 0, samples, &FragmentSampleInfo::duration);

  // Every sample is a chunk of its own.
  const std::size_t stsc = out.open_box(box_types::stsc);
  for (std::uint32_t v : {0u, 1u, 1u, 1u, 1u}) out.u32(v);
  out.close_box(stsc);

  const std::size_t stsz = out.open_box(box_types::stsz);
  out.u32(0);
  out.u32(0);
  out.u32(n);
  for (const FragmentSampleInfo& s : samples) out.u32(s.size);
  out.close_box(stsz);

  const std::size_t offsets = out.open_box(chunks.wide ? box_types::co64 : box_types::stco);
  out.u32(0);
  out.u32(n);
  std::uint64_t offset = chunks.offset;
  if (chunks.wide) {
    for (const FragmentSampleInfo& s : samples) {
      out.u64(offset);
      offset += s.size;
    }
  } else {
    for (const FragmentSampleInfo& s : samples) {
      out.u32(static_cast<std::uint32_t>(offset));
      offset += s.size;
    }
  }
  chunks.entries += n;
  out.close_box(offsets);

  bool has_composition_offsets = false;
  bool has_negative_offsets = false;
  std::uint32_t sync = 0;
  for (const FragmentSampleInfo& s : samples) {
    has_composition_offsets |= s.composition_offset != 0;
    has_negative_offsets |= (s.composition_offset & 0x80000000u) != 0;
    sync += (s.flags & kDependsOnOthers) == 0;
  }
  // Version 0 offsets are unsigned: a negative offset of a version 1 run
  // read that way would place its picture hours late. Version 1 reads the
  // same 32 bits as signed.
  if (has_composition_offsets) {
    write_runs(out, box_types::ctts, has_negative_offsets ? 1 : 0, samples, &FragmentSampleInfo::composition_offset);
  }
  if (sync > 0) {
    const std::size_t stss = out.open_box(box_types::stss);
    out.u32(0);
    out.u32(sync);
    for (std::uint32_t i = 0; i < n; ++i) {
      if ((samples[i].flags & kDependsOnOthers) == 0) out.u32(i + 1);
    }
    out.close_box(stss);
  }
  out.close_box(stbl);
}

// A container rebuilt child by child: write(child) writes each child, and
// the first failure ends the rebuild.
template <class Write>
Result<void> write_container(ByteBuilder& out, FourCC type, ByteView body, Write&& write) {
  Result<std::vector<Mp4Box>> children = parse_container_box(body);
  if (!children.ok()) return children.error();
  const std::size_t at = out.open_box(type);
  for (const Mp4Box& c : children.value()) {
    Result<void> written = write(c);
    if (!written.ok()) return written;
  }
  out.close_box(at);
  return {};
}

// The media box: its header gets the duration, its every stbl the new tables.
Result<void> write_mdia(ByteBuilder& out, ByteView mdia_body, const TrackFragments& track, std::uint64_t duration,
                        TrackChunks& chunks) {
  return write_container(out, box_types::mdia, mdia_body, [&](const Mp4Box& c) -> Result<void> {
    if (c.box_type == box_types::minf) {
      return write_container(out, box_types::minf, c.data, [&](const Mp4Box& m) -> Result<void> {
        if (m.box_type == box_types::stbl) {
          write_stbl(out, track, chunks);
        } else {
          out.box(m.box_type, m.data);
        }
        return {};
      });
    }
    if (c.box_type == box_types::mdhd) {
      const std::vector<std::uint8_t> mdhd = MediaHeader(c.data).for_duration(duration, kMediaHeaderSize);
      out.box(box_types::mdhd, ByteView(mdhd.data(), mdhd.size()));
    } else {
      out.box(c.box_type, c.data);
    }
    return {};
  });
}

// Where the track's last picture ends on the media timeline: the latest
// composition time plus duration. With composition offsets (B-frames) that
// lies past the sum of the durations; an offset with its top bit set is a
// negative one.
std::uint64_t presentation_end(const TrackFragments& track) {
  std::uint64_t decode = 0;
  std::uint64_t end = 0;
  for (const FragmentSampleInfo& s : track.samples) {
    decode += s.duration;
    const auto offset = static_cast<std::int32_t>(s.composition_offset);
    const std::uint64_t back = offset < 0 ? 0 - static_cast<std::uint64_t>(std::int64_t{offset}) : 0;
    const std::uint64_t sample_end = offset < 0 ? (decode > back ? decode - back : 0) : decode + std::uint64_t(offset);
    end = std::max(end, sample_end);
  }
  return end;
}

// An initialisation segment may end its edit list with an open-ended edit
// (segment duration 0: "to the end of the media", known only once the
// fragments have arrived). Copied as it is into a regular file it would read
// as an edit of length 0 and hide the track, so it is closed at the media's
// end: from the edit's start time to where the last picture ends, in the
// movie timescale.
void close_open_edit(EditList& list, const TrackFragments& track, std::uint32_t movie_timescale) {
  if (list.edits.empty()) return;
  Edit& last = list.edits.back();
  if (last.segment_duration != 0 || last.media_time < 0) return;
  const auto start = static_cast<std::uint64_t>(last.media_time);
  const std::uint64_t media_end = presentation_end(track);
  const std::uint64_t rest = media_end > start ? media_end - start : 0;
  last.segment_duration = scale(rest, track.timescale, movie_timescale, Rounding::kDown);
}

// The template's edits in the result: counted in the result's movie
// timescale, the open-ended last edit closed, in version 1 where the track
// header is. The list that carries the track's start (the first) starts
// with the placement's empty edit.
void place_edits(EditList& list, const TrackFragments& track, std::uint32_t movie_timescale,
                 const TrackPlacement& placement, bool carries_start, bool wide_header) {
  if (wide_header) list.version = 1;
  if (placement.edit_timescale != 0 && placement.edit_timescale != movie_timescale) {
    for (Edit& e : list.edits) {
      e.segment_duration = scale(e.segment_duration, placement.edit_timescale, movie_timescale, Rounding::kNearest);
    }
  }
  if (carries_start) set_leading_empty_edit(list, placement.leading_empty);
  close_open_edit(list, track, movie_timescale);
}

void write_elst(ByteBuilder& out, const EditList& list) {
  const std::vector<std::uint8_t> body = elst_body(list);
  out.box(box_types::elst, ByteView(body.data(), body.size()));
}

// `start_placed` tells whether an earlier list already carries the start.
void write_edts(ByteBuilder& out, ByteView edts_body, const TrackFragments& track, std::uint32_t movie_timescale,
                const TrackPlacement& placement, bool wide_header, bool& start_placed) {
  Result<std::vector<Mp4Box>> children = parse_container_box(edts_body);
  if (!children.ok()) {
    out.box(box_types::edts, edts_body);
    return;
  }
  const std::size_t edts = out.open_box(box_types::edts);
  for (const Mp4Box& c : children.value()) {
    std::optional<EditList> list = c.box_type == box_types::elst ? read_elst(c.data) : std::nullopt;
    if (!list) {
      out.box(c.box_type, c.data);
      continue;
    }
    place_edits(*list, track, movie_timescale, placement, !start_placed, wide_header);
    start_placed = true;
    write_elst(out, *list);
  }
  out.close_box(edts);
}

// Where the track's first picture is shown on the media timeline: the
// earliest composition time (after B-frames reorder, later than 0), never
// before 0.
std::uint64_t presentation_start(const TrackFragments& track) {
  std::uint64_t decode = 0;
  std::optional<std::int64_t> start;
  for (const FragmentSampleInfo& s : track.samples) {
    const std::int64_t shown = static_cast<std::int64_t>(decode) + static_cast<std::int32_t>(s.composition_offset);
    start = std::min(start.value_or(shown), shown);
    decode += s.duration;
    if (decode > INT64_MAX / 2) break;  // past any real track; keeps the sum signed
  }
  return start && *start > 0 ? static_cast<std::uint64_t>(*start) : 0;
}

// A track whose template has no edit list but starts after the earliest
// track: an empty edit for the delay, then the whole of its media. The
// media is taken from where its first picture is shown, that time added to
// the empty edit: the same presentation as from media time 0, and readers
// that move a track's first picture to the start of its edit (libavformat
// does) then place it right too.
void write_delay_edts(ByteBuilder& out, const TrackFragments& track, std::uint32_t movie_timescale,
                      const TrackPlacement& placement, bool wide_header) {
  const std::uint64_t first_shown = presentation_start(track);
  EditList list;
  list.version = wide_header ? 1 : 0;
  list.edits = {Edit{saturating_add(placement.leading_empty,
                                    scale(first_shown, track.timescale, movie_timescale, Rounding::kDown)),
                     -1, 0x00010000},
                Edit{0, static_cast<std::int64_t>(first_shown), 0x00010000}};
  close_open_edit(list, track, movie_timescale);
  const std::size_t edts = out.open_box(box_types::edts);
  write_elst(out, list);
  out.close_box(edts);
}

// What the result's movie header counts a track's media as: the sum of its
// durations in the movie timescale (unscaled where the track's timescale is
// unknown or the movie's; 0 in a movie without a timescale).
std::uint64_t movie_length(const TrackFragments& track, std::uint32_t movie_timescale) {
  if (track.timescale != 0 && movie_timescale == 0) return 0;
  return scale(total_duration(track), track.timescale, movie_timescale, Rounding::kDown);
}

}  // namespace

std::uint64_t total_duration(const TrackFragments& track) {
  std::uint64_t t = 0;
  for (const FragmentSampleInfo& s : track.samples) t += s.duration;
  return t;
}

std::uint64_t last_chunk_offset(const TrackFragments& track, std::uint64_t chunk_offset) {
  std::uint64_t last = chunk_offset;
  for (std::size_t i = 0; i + 1 < track.samples.size(); ++i) last = saturating_add(last, track.samples[i].size);
  return last;
}

std::vector<TrackPlacement> align_tracks(const std::vector<TrackSource>& sources, std::uint32_t movie_timescale) {
  TimeOrigin origin;
  for (const TrackSource& s : sources) {
    if (s.fragments->first_decode_time) origin.offer({*s.fragments->first_decode_time, s.fragments->timescale});
  }
  // Where each track starts, measured from the origin, in the movie timescale.
  std::vector<std::uint64_t> template_empty(sources.size());
  std::vector<std::uint64_t> starts(sources.size());
  for (std::size_t k = 0; k < sources.size(); ++k) {
    const TrackFragments& t = *sources[k].fragments;
    std::uint64_t delay = 0;
    if (t.first_decode_time) {
      const MediaTime first{*t.first_decode_time, t.timescale};
      delay = scale(first.ticks - origin.base_for(first), t.timescale, movie_timescale, Rounding::kNearest);
    }
    Result<std::vector<Mp4Box>> children = parse_container_box(sources[k].trak);
    if (children.ok()) {
      template_empty[k] = scale(leading_empty_edit(children.value()), sources[k].edit_timescale, movie_timescale,
                                Rounding::kNearest);
    }
    starts[k] = saturating_add(template_empty[k], delay);
  }
  // An empty edit that every track starts with is an absolute start the
  // packager left (a stream clock), not a distance between the tracks.
  const std::uint64_t shared = starts.empty() ? 0 : *std::min_element(starts.begin(), starts.end());
  std::vector<TrackPlacement> placements(sources.size());
  for (std::size_t k = 0; k < sources.size(); ++k) {
    const std::uint64_t leading = starts[k] - shared;
    placements[k] = TrackPlacement{sources[k].edit_timescale, leading,
                                   leading > template_empty[k] ? leading - template_empty[k] : 0};
  }
  return placements;
}

std::uint64_t movie_duration(const std::vector<TrackSource>& sources, const std::vector<TrackPlacement>& placements,
                             std::uint32_t movie_timescale) {
  std::uint64_t longest = 0;
  for (std::size_t k = 0; k < sources.size(); ++k) {
    longest = std::max(longest, saturating_add(movie_length(*sources[k].fragments, movie_timescale), placements[k].added));
  }
  return longest;
}

Result<void> append_regular_trak(ByteBuilder& out, ByteView trak_body, const TrackFragments& track,
                                 TrackChunks& chunks, std::uint32_t movie_timescale,
                                 const TrackPlacement& placement, std::optional<std::uint32_t> track_id) {
  Result<std::vector<Mp4Box>> children = parse_container_box(trak_body);
  if (!children.ok()) return children.error();
  const std::uint64_t duration = total_duration(track);
  const std::uint64_t header_duration =
      saturating_add(scale(duration, track.timescale, movie_timescale, Rounding::kDown), placement.added);
  const bool wide_header = !fits_32_bits(header_duration);  // a version 1 tkhd, whose edits follow it
  // A template without an edit list gets one, before its media, only
  // when the track starts later than the others.
  bool start_placed = false;
  bool edts_missing = placement.leading_empty != 0 &&
                      std::none_of(children.value().begin(), children.value().end(),
                                   [](const Mp4Box& c) { return c.box_type == box_types::edts; });
  // Room for the template and the largest tables the samples can need, so
  // the tables are written once without moving.
  out.reserve_more(trak_body.size() + track.stsd.size() + 256 + (chunks.wide ? 32 : 28) * track.samples.size());
  const std::size_t trak = out.open_box(box_types::trak);
  for (const Mp4Box& c : children.value()) {
    if (c.box_type == box_types::mdia && edts_missing) {
      write_delay_edts(out, track, movie_timescale, placement, wide_header);
      edts_missing = false;
    }
    if (c.box_type == box_types::tkhd) {
      std::vector<std::uint8_t> tkhd = TrackHeader(c.data).for_duration(header_duration, kTrackHeaderSize);
      if (track_id) {
        TrackHeader(ByteView(tkhd.data(), tkhd.size())).set_track_id(tkhd, *track_id);
        track_id.reset();
      }
      out.box(box_types::tkhd, ByteView(tkhd.data(), tkhd.size()));
    } else if (c.box_type == box_types::mdia) {
      Result<void> mdia = write_mdia(out, c.data, track, duration, chunks);
      if (!mdia.ok()) return mdia;
    } else if (c.box_type == box_types::edts) {
      write_edts(out, c.data, track, movie_timescale, placement, wide_header, start_placed);
    } else {
      out.box(c.box_type, c.data);
    }
  }
  if (edts_missing) write_delay_edts(out, track, movie_timescale, placement, wide_header);
  out.close_box(trak);
  return {};
}

}  // namespace quaver
