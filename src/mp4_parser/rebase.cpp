#include "mp4_parser/rebase.hpp"

#include <algorithm>
#include <deque>
#include <map>
#include <optional>
#include <unordered_map>
#include <vector>

#include "mp4_parser/box.hpp"
#include "mp4_parser/box_fields.hpp"
#include "mp4_parser/defragment.hpp"
#include "mp4_parser/edit_list.hpp"
#include "mp4_parser/sample_tables.hpp"
#include "mp4_parser/time_origin.hpp"

namespace quaver {

namespace {

const Error kShortHeader{"Not enough data for FullBox header"};

// Track index of a traf: track ID - 1 from the first tfhd long enough to
// carry one, 0 without such a tfhd or for track ID 0. Kept as a 64-bit key
// so that any 32-bit track ID is a valid index.
std::uint64_t track_index(const std::vector<Mp4Box>& traf_children) {
  for (const Mp4Box& b : traf_children) {
    if (b.box_type != box_types::tfhd) continue;
    if (const std::optional<std::uint32_t> id = TrackFragmentHeader(b.data).track_id()) return *id ? *id - 1 : 0;
  }
  return 0;
}

// Decode time of a tfdt body, 0 where it holds none.
std::uint64_t decode_time(ByteView tfdt_body) { return DecodeTimeBox(tfdt_body).lenient().decode_time().value_or(0); }

// Sum of the durations a trun stores for its samples (0 unless it carries
// them, or its body is shorter than 12 bytes).
std::uint64_t stored_durations(ByteView trun_body) {
  const TrackRun run(trun_body);
  if (trun_body.size() < 12 || !(run.flags() & TrackRunRows::kDuration)) return 0;
  std::uint64_t sum = 0;
  TrackRunRows rows = run.rows();
  for (std::uint32_t i = 0; i < run.sample_count() && !rows.exhausted(); ++i) sum += rows.next({}).duration;
  return sum;
}

struct TrackTimes {
  std::optional<std::uint64_t> base;         // first tfdt of the track, in file order; then what it subtracts
  bool delayed = false;                      // it starts after the earliest track, and keeps that distance
  std::uint32_t timescale = 0;               // media timescale of its trak; 0 where no trak names it
  std::optional<std::uint64_t> last_decode;  // rebased decode time of its latest traf
  std::uint64_t last_fragment_duration = 0;  // media timescale
  std::uint64_t end = 0;                     // rebased end of the track, media timescale
};

// Sparse: track IDs come from the file and may be anywhere up to 2^32 - 1.
using TrackTable = std::map<std::uint64_t, TrackTimes>;

template <class Visit>
Result<void> for_each_traf(const Mp4File& file, Visit&& visit) {
  for (const BoxInfo& info : file.box_infos) {
    if (!info.is(box_types::moof)) continue;
    Result<std::vector<Mp4Box>> children = parse_container_box(info.regular()->data);
    if (!children.ok()) return children.error();
    for (const Mp4Box& child : children.value()) {
      if (child.box_type != box_types::traf) continue;
      Result<std::vector<Mp4Box>> traf = parse_container_box(child.data);
      if (!traf.ok()) return traf.error();
      visit(traf.value());
    }
  }
  return {};
}

// Movie time of a duration in a track's media timescale.
std::uint64_t to_movie_time(std::uint64_t value, std::uint32_t movie, std::uint32_t media) {
  return scale(value, media, movie, Rounding::kDown);
}

// A copy of an mvhd, tkhd or mdhd body in its own version, with zero
// creation and modification times and the duration written in.
// Refused where the body is too short for the duration of its version.
Result<void> write_header(ByteBuilder& out, const Mp4Box& box, const HeaderBox& header, std::uint64_t duration) {
  const std::optional<std::vector<std::uint8_t>> body = header.with_duration(duration);
  if (!body) return kShortHeader;
  out.box(box.box_type, ByteView(body->data(), body->size()), box.header_length);
  return {};
}

// An edts whose first list starts with an empty edit that carries the
// absolute start every track shares: the edit is lowered by `shared`, and
// dropped where it reaches 0. The bytes of a dropped entry follow the edts
// as a free box, so that the trak keeps its length and no box moves.
void write_lowered_edts(ByteBuilder& out, const Mp4Box& edts, std::uint64_t shared) {
  Result<std::vector<Mp4Box>> children = parse_container_box(edts.data);
  if (!children.ok()) {
    out.box(edts.box_type, edts.data, edts.header_length);
    return;
  }
  std::size_t freed = 0;
  bool lowered = false;
  const std::size_t at = out.open_box(edts.box_type, edts.header_length);
  for (const Mp4Box& c : children.value()) {
    std::optional<EditList> list = !lowered && c.box_type == box_types::elst ? read_elst(c.data) : std::nullopt;
    if (!list || list->edits.empty() || !list->edits.front().empty()) {
      out.box(c.box_type, c.data, c.header_length);
      continue;
    }
    lowered = true;
    set_leading_empty_edit(*list, list->edits.front().segment_duration - shared);
    const std::vector<std::uint8_t> body = elst_body(*list);
    freed = c.data.size() - body.size();
    out.box(c.box_type, ByteView(body.data(), body.size()), c.header_length);
  }
  out.close_box(at);
  if (freed > 0) {
    const std::size_t free_at = out.open_box(fourcc("free"));
    out.zeros(freed - 8);
    out.close_box(free_at);
  }
}

Result<std::vector<std::uint8_t>> rebuild_moov(ByteView moov_body, const TrackTable& tracks) {
  Result<std::vector<Mp4Box>> children = parse_container_box(moov_body);
  if (!children.ok()) return children.error();
  const auto end_of = [&](std::uint64_t k) {
    auto it = tracks.find(k);
    return it == tracks.end() ? std::uint64_t{0} : it->second.end;
  };
  const Mp4Box* mvhd = first_child(children.value(), box_types::mvhd);
  const std::uint32_t movie = mvhd ? MovieHeader(mvhd->data).timescale().value_or(0) : 0;
  const Mp4Box* first_trak = first_child(children.value(), box_types::trak);
  const std::uint32_t first_media = first_trak ? trak_media_timescale(first_trak->data) : 0;
  // The movie lasts as long as its first track, or as a track that keeps a
  // delay after the earliest one when that one ends later.
  std::uint64_t movie_duration = to_movie_time(end_of(0), movie, first_media);
  for (const auto& [index, t] : tracks) {
    if (t.delayed) movie_duration = std::max(movie_duration, to_movie_time(t.end, movie, t.timescale));
  }
  // The empty edit every trak starts with is an absolute start (a stream
  // clock the packager wrote into the edit lists), which rebasing to 0 takes out.
  // (A trak that cannot be read fails the rebuild below, in its turn.)
  std::optional<std::uint64_t> shared;
  for (const Mp4Box& child : children.value()) {
    if (child.box_type != box_types::trak) continue;
    Result<std::vector<Mp4Box>> trak = parse_container_box(child.data);
    shared = std::min(shared.value_or(UINT64_MAX), trak.ok() ? leading_empty_edit(trak.value()) : 0);
  }

  ByteBuilder out;
  std::uint64_t k = 0;
  for (const Mp4Box& child : children.value()) {
    if (child.box_type == box_types::mvhd) {
      Result<void> written = write_header(out, child, MovieHeader(child.data), movie_duration);
      if (!written.ok()) return written.error();
    } else if (child.box_type == box_types::trak) {
      const std::uint64_t dk = end_of(k++);
      Result<std::vector<Mp4Box>> trak = parse_container_box(child.data);
      if (!trak.ok()) return trak.error();
      const std::uint32_t media = trak_media_timescale(trak.value());
      bool edits_lowered = shared.value_or(0) == 0;
      const std::size_t trak_at = out.open_box(child.box_type, child.header_length);
      for (const Mp4Box& t : trak.value()) {
        if (t.box_type == box_types::tkhd) {
          Result<void> written = write_header(out, t, TrackHeader(t.data), to_movie_time(dk, movie, media));
          if (!written.ok()) return written.error();
        } else if (t.box_type == box_types::mdia) {
          Result<std::vector<Mp4Box>> mdia = parse_container_box(t.data);
          if (!mdia.ok()) return mdia.error();
          const std::size_t mdia_at = out.open_box(t.box_type, t.header_length);
          for (const Mp4Box& m : mdia.value()) {
            if (m.box_type == box_types::mdhd) {
              Result<void> written = write_header(out, m, MediaHeader(m.data), dk);
              if (!written.ok()) return written.error();
            } else {
              out.box(m.box_type, m.data, m.header_length);
            }
          }
          out.close_box(mdia_at);
        } else if (t.box_type == box_types::edts && !edits_lowered) {
          write_lowered_edts(out, t, *shared);
          edits_lowered = true;
        } else {
          out.box(t.box_type, t.data, t.header_length);
        }
      }
      out.close_box(trak_at);
    } else {
      out.box(child.box_type, child.data, child.header_length);
    }
  }
  return std::move(out.data());
}

Result<std::vector<std::uint8_t>> rebase_moof(ByteView moof_body, const TrackTable& tracks) {
  Result<std::vector<Mp4Box>> children = parse_container_box(moof_body);
  if (!children.ok()) return children.error();
  ByteBuilder out;
  for (const Mp4Box& child : children.value()) {
    if (child.box_type != box_types::traf) {
      out.box(child.box_type, child.data, child.header_length);
      continue;
    }
    Result<std::vector<Mp4Box>> traf = parse_container_box(child.data);
    if (!traf.ok()) return traf.error();
    auto it = tracks.find(track_index(traf.value()));
    const std::uint64_t base = it != tracks.end() && it->second.base ? *it->second.base : 0;
    const std::size_t traf_at = out.open_box(child.box_type, child.header_length);
    for (const Mp4Box& t : traf.value()) {
      const DecodeTimeBox tfdt = DecodeTimeBox(t.data).lenient();
      const std::optional<std::uint64_t> v = t.box_type == box_types::tfdt ? tfdt.decode_time() : std::nullopt;
      if (!v) {
        if (t.box_type == box_types::tfdt && t.data.size() < 4) return kShortHeader;
        out.box(t.box_type, t.data, t.header_length);
        continue;
      }
      std::vector<std::uint8_t> body(t.data.begin(), t.data.end());
      tfdt.set_decode_time(body, *v > base ? *v - base : 0);
      out.box(t.box_type, ByteView(body.data(), body.size()), t.header_length);
    }
    out.close_box(traf_at);
  }
  return std::move(out.data());
}

// Every track that a trak of the moov names, and that has a first decode
// time, subtracts the earliest of those times (compared in seconds) in its
// own timescale instead of its own first decode time, so the tracks keep
// their distances. The others subtract their own first decode time.
void measure_from_one_origin(ByteView moov_body, TrackTable& tracks) {
  const std::unordered_map<std::uint32_t, std::uint32_t> timescales = media_timescales(moov_body);
  TimeOrigin origin;
  for (auto& [index, t] : tracks) {
    // A traf without a tfhd, or with track ID 0, counts as track ID 1.
    const auto found = timescales.find(static_cast<std::uint32_t>(index + 1));
    if (found == timescales.end() || !t.base) continue;
    t.timescale = found->second;
    origin.offer({*t.base, t.timescale});
  }
  for (auto& [index, t] : tracks) {
    if (t.timescale == 0) continue;
    const std::uint64_t base = origin.base_for({*t.base, t.timescale});
    t.delayed = base < *t.base;
    t.base = base;
  }
}

// A partially fragmented file's moov holds the first samples of its tracks
// in its own tables, and each track's first fragment follows them: the
// track starts that long before its first decode time, so the fragments
// are lowered only as far as keeps them after those samples.
void start_with_table_samples(ByteView moov_body, TrackTable& tracks) {
  for (const auto& [id, duration] : table_durations(moov_body)) {
    const auto t = tracks.find(id ? id - 1 : 0);
    if (t != tracks.end() && t->second.base) *t->second.base -= std::min(*t->second.base, duration);
  }
}

}  // namespace

Result<OutBuffer> reset_mp4_timestamps(ByteView data, OutputAllocator& alloc) {
  Result<Mp4File> parsed = parse_mp4(data);
  if (!parsed.ok()) return parsed.error();
  const Mp4File& file = parsed.value();

  // Pass 1: the first decode time of every track, in file order.
  TrackTable tracks;
  Result<void> pass = for_each_traf(file, [&](const std::vector<Mp4Box>& traf) {
    TrackTimes& t = tracks[track_index(traf)];
    if (t.base) return;
    if (const Mp4Box* tfdt = first_child(traf, box_types::tfdt)) t.base = decode_time(tfdt->data);
  });
  if (!pass.ok()) return pass.error();
  if (file.moov) {
    start_with_table_samples(file.moov->data, tracks);
    measure_from_one_origin(file.moov->data, tracks);
  }

  // Pass 2: where each track ends, from its last fragment's decode time and
  // that fragment's duration (its trun durations, or the gap to the one before).
  pass = for_each_traf(file, [&](const std::vector<Mp4Box>& traf) {
    TrackTimes& t = tracks[track_index(traf)];
    const Mp4Box* tfdt = first_child(traf, box_types::tfdt);
    const std::uint64_t value = tfdt ? decode_time(tfdt->data) : 0;
    const std::uint64_t base = t.base.value_or(0);
    const std::uint64_t r = value > base ? value - base : 0;
    const Mp4Box* trun = first_child(traf, box_types::trun);
    const std::uint64_t s = trun ? stored_durations(trun->data) : 0;
    if (s > 0) {
      t.last_fragment_duration = s;
    } else if (t.last_decode && *t.last_decode < r) {
      t.last_fragment_duration = r - *t.last_decode;
    }
    t.end = r;
    t.last_decode = r;
  });
  if (!pass.ok()) return pass.error();
  for (auto& [index, t] : tracks) t.end += t.last_fragment_duration;

  if (!file.moov) return Error{"moov box not found", ErrorKind::kUnsupported};
  Result<std::vector<std::uint8_t>> moov = rebuild_moov(file.moov->data, tracks);
  if (!moov.ok()) return moov.error();

  // Every box is written back in order, each with the header form it had,
  // so that every box keeps its position and the chunk and run offsets
  // still point at their data. Only moov and moof bodies change, and those
  // are small. Everything else is copied once, from the input.
  std::deque<std::vector<std::uint8_t>> rebuilt;
  struct Piece {
    FourCC type;
    ByteView body;
    std::uint8_t header_length;
  };
  std::vector<Piece> pieces;
  bool moov_written = false;
  std::uint64_t total = 0;
  for (const BoxInfo& info : file.box_infos) {
    Piece piece;
    if (const BoxInfo::Mdat* m = info.mdat()) {
      const auto header_length = static_cast<std::uint8_t>(m->data_offset - info.start);
      piece = Piece{box_types::mdat, data.subspan(m->data_offset, m->data_size), header_length};
    } else {
      const Mp4Box& box = *info.regular();
      if (box.box_type == box_types::moov) {
        if (moov_written) continue;
        moov_written = true;
        piece = Piece{box_types::moov, ByteView(moov.value().data(), moov.value().size()), box.header_length};
      } else if (box.box_type == box_types::moof) {
        Result<std::vector<std::uint8_t>> moof = rebase_moof(box.data, tracks);
        if (!moof.ok()) return moof.error();
        rebuilt.push_back(moof.take());
        piece = Piece{box_types::moof, ByteView(rebuilt.back().data(), rebuilt.back().size()), box.header_length};
      } else {
        piece = Piece{box.box_type, box.data, box.header_length};
      }
    }
    pieces.push_back(piece);
    total += box_size(piece.body.size(), piece.header_length);
  }

  OutBuffer out = OutBuffer::allocate(total, alloc);
  FixedWriter w(out);
  for (const Piece& p : pieces) {
    write_box_header(w, p.type, p.body.size(), p.header_length);
    w.bytes(p.body);
  }
  w.finish();
  return out;
}

Result<OutBuffer> convert_mp4_reset_timestamps(ByteView data, OutputAllocator& alloc) {
  Result<OutBuffer> unfolded = defragment_mp4(data, alloc);
  if (unfolded.ok()) return unfolded;
  return reset_mp4_timestamps(data, alloc);
}

}  // namespace quaver
