#include "mp4_parser/fragments.hpp"

#include <algorithm>
#include <optional>

namespace quaver {

namespace {

// What the tfhds of one traf say; a later tfhd replaces the track ID and
// whichever fields it carries.
struct TrafHeader {
  std::uint32_t track_id = 0;
  std::optional<std::uint64_t> base_data_offset;  // file position the run data offsets count from
  std::optional<std::uint32_t> duration;
  std::optional<std::uint32_t> size;
  std::optional<std::uint32_t> flags;

  // Packagers write into a tfhd only the defaults that differ from the
  // track's trex; what no tfhd carries is the trex's.
  SampleDefaults defaults(const SampleDefaults& trex) const {
    return SampleDefaults{duration.value_or(trex.duration), size.value_or(trex.size), flags.value_or(trex.flags)};
  }

  void add(const TrackFragmentHeader& tfhd) {
    const std::optional<std::uint32_t> id = tfhd.track_id();
    if (!id) return;
    track_id = *id;
    const TrackFragmentHeader::Fields f = tfhd.fields();
    if (f.base_data_offset) base_data_offset = f.base_data_offset;
    if (f.duration) duration = f.duration;
    if (f.size) size = f.size;
    if (f.flags) flags = f.flags;
  }
};

// Where a run's first sample starts in an mdat body: its data offset counts
// from `base` and the body begins at `body_start`, both file positions. A
// start before the body is its first byte; one beyond every 64-bit
// position lies where no sample fits.
std::uint64_t run_start(std::uint64_t base, std::int32_t data_offset, std::uint64_t body_start) {
  std::uint64_t target = 0;
  if (data_offset >= 0) {
    const auto forward = static_cast<std::uint64_t>(data_offset);
    if (base > UINT64_MAX - forward) return UINT64_MAX;
    target = base + forward;
  } else {
    const std::uint64_t back = 0 - static_cast<std::uint64_t>(static_cast<std::int64_t>(data_offset));
    if (base < back) return 0;
    target = base - back;
  }
  return target > body_start ? target - body_start : 0;
}

// One moof with the mdat paired to it, where both really lie in the file.
struct FragmentPair {
  ByteView moof_body;
  std::uint64_t moof_start = 0;  // file position of the moof's first header byte
  ByteView mdat_body;
  std::uint64_t mdat_body_start = 0;  // file position of the mdat's first body byte
};

class Collector {
 public:
  // The input bounds both the samples and the sample bytes collected;
  // collection stops once max_samples samples are in.
  Collector(ByteView data, std::vector<TrackFragments>& tracks, std::uint64_t max_samples = UINT64_MAX)
      : data_(data), tracks_(tracks), by_id_(first_track_by_id(tracks)), limit_(data.size()),
        max_samples_(max_samples) {}

  // The next top-level box of the file: a moof waits for the next mdat,
  // across any other boxes; a later moof replaces a waiting one.
  Result<void> add(const BoxInfo& info) {
    if (info.is(box_types::moof)) {
      pending_ = FragmentPair{info.regular()->data, info.start, {}, 0};
    } else if (const BoxInfo::Mdat* mdat = info.mdat(); mdat && pending_) {
      FragmentPair f = *pending_;
      pending_.reset();
      f.mdat_body = subview(data_, mdat->data_offset, mdat->data_size);
      f.mdat_body_start = mdat->data_offset;
      return pair(f);
    }
    return {};
  }

  bool full() const { return collected_ >= max_samples_; }
  std::uint64_t collected() const { return collected_; }

 private:
  Result<void> pair(const FragmentPair& f) {
    Result<std::vector<Mp4Box>> moof = parse_container_box(f.moof_body);
    if (!moof.ok()) return moof.error();
    for (const Mp4Box& traf : moof.value()) {
      if (traf.box_type != box_types::traf) continue;
      if (full()) break;
      Result<std::vector<Mp4Box>> children = parse_container_box(traf.data);
      if (!children.ok()) return children.error();
      TrafHeader h;
      std::optional<std::uint64_t> decode_time;
      for (const Mp4Box& c : children.value()) {
        if (c.box_type == box_types::tfhd) h.add(TrackFragmentHeader(c.data));
        if (c.box_type == box_types::tfdt && !decode_time) decode_time = DecodeTimeBox(c.data).lenient().decode_time();
      }
      // A run for no known track is dropped whole: none of its samples is kept.
      const auto found = by_id_.find(h.track_id);
      if (found == by_id_.end()) continue;
      TrackFragments& track = tracks_[found->second];
      const SampleDefaults defaults = h.defaults(track.trex);
      const std::uint64_t base = h.base_data_offset.value_or(f.moof_start);
      const std::size_t first_sample = track.samples.size();
      // A run without a data offset continues where the previous run of
      // its traf ended; the first run starts at the traf's base.
      std::uint64_t next_run = run_start(base, 0, f.mdat_body_start);
      for (const Mp4Box& c : children.value()) {
        if (c.box_type != box_types::trun || full()) continue;
        Result<void> added = run(TrackRun(c.data), track, defaults, base, f, next_run);
        if (!added.ok()) return added;
      }
      timeline(found->second, first_sample, decode_time);
    }
    return {};
  }

  // Where the previous fragment of a track started and which of its samples
  // was the last, for closing a run whose last duration was left at 0.
  struct LastFragment {
    std::uint64_t decode_time = 0;  // media timescale
    std::size_t first_sample = 0;
    std::size_t end_sample = 0;
  };

  // Players of a fragmented file place every fragment at its decode time
  // (tfdt); the durations of its runs only space the samples inside it. A
  // fragmenter that cuts a fragment before it knows the next timestamp may
  // leave the last duration at 0 or at a default that does not reach the next
  // fragment, and unfolded as they are the samples after it would play early.
  // So the last sample of a fragment lasts until the track's next fragment
  // starts, whenever that leaves it a duration of 0 or more. Well-formed
  // files, whose durations already add up, keep them unchanged.
  void timeline(std::size_t track, std::size_t first_sample, std::optional<std::uint64_t> decode_time) {
    std::vector<FragmentSampleInfo>& samples = tracks_[track].samples;
    if (samples.size() == first_sample) return;  // a fragment without samples places nothing
    if (decode_time && !tracks_[track].first_decode_time) {
      // Fragments before it without a tfdt continue the timeline back to the track's start.
      std::uint64_t before = 0;
      for (std::size_t i = 0; i < first_sample; ++i) before += samples[i].duration;
      tracks_[track].first_decode_time = *decode_time > before ? *decode_time - before : 0;
    }
    if (auto prev = last_.find(track); prev != last_.end() && decode_time) {
      const LastFragment& p = prev->second;
      if (p.end_sample > p.first_sample && p.end_sample <= samples.size()) {
        std::uint64_t before_last = 0;
        for (std::size_t i = p.first_sample; i + 1 < p.end_sample; ++i) before_last += samples[i].duration;
        const std::uint64_t gap = *decode_time - p.decode_time;
        if (*decode_time >= p.decode_time && gap >= before_last && gap - before_last <= 0xFFFFFFFFu) {
          samples[p.end_sample - 1].duration = static_cast<std::uint32_t>(gap - before_last);
        }
      }
    }
    if (decode_time) {
      last_[track] = LastFragment{*decode_time, first_sample, samples.size()};
    } else {
      last_.erase(track);
    }
  }

  // `next_run` is where a run without a data offset starts, within the
  // mdat body; it is left where this run ends.
  Result<void> run(const TrackRun& trun, TrackFragments& track, const SampleDefaults& d, std::uint64_t base,
                   const FragmentPair& f, std::uint64_t& next_run) {
    if (!trun.readable()) return {};
    const std::uint64_t count = std::min<std::uint64_t>(trun.sample_count(), max_samples_ - collected_);
    const std::optional<std::int32_t> data_offset = trun.data_offset();
    std::uint64_t cursor = data_offset ? run_start(base, *data_offset, f.mdat_body_start) : next_run;
    next_run = cursor;
    if (count == 0) return {};
    // Every real sample has at least one byte, so a file never holds more
    // samples than bytes; a larger count is hostile and must not be produced.
    if (count > limit_ - collected_) return Error{"Sample count exceeds what the input can hold"};
    collected_ += count;

    const auto mdat_size = static_cast<std::uint64_t>(f.mdat_body.size());
    TrackRunRows rows = trun.rows();
    for (std::uint64_t i = 0; i < count; ++i) {
      const FragmentSampleInfo s = rows.next(d);
      // A sample whose bytes run past the mdat keeps its record but no
      // bytes, and the next sample is looked for at the same place.
      if (s.size <= mdat_size && cursor <= mdat_size - s.size) {
        // Runs of a well-formed file never share bytes; runs pointing at
        // the same bytes over and over would multiply the output instead.
        if (s.size > limit_ - bytes_) return Error{"Sample data exceeds what the input can hold"};
        bytes_ += s.size;
        track.append_data(f.mdat_body.subspan(cursor, s.size));
        cursor += s.size;
      }
      track.samples.push_back(s);
    }
    next_run = cursor;
    return {};
  }

  ByteView data_;
  std::vector<TrackFragments>& tracks_;
  const std::unordered_map<std::uint32_t, std::size_t> by_id_;
  std::uint64_t limit_;
  std::uint64_t max_samples_;
  std::optional<FragmentPair> pending_;  // a moof waiting for its mdat
  std::uint64_t collected_ = 0;  // samples
  std::uint64_t bytes_ = 0;      // sample bytes
  std::unordered_map<std::size_t, LastFragment> last_;
};

}  // namespace

void TrackFragments::append_data(ByteView bytes) {
  if (bytes.empty()) return;
  data_size += bytes.size();
  if (!data.empty() && data.back().data() + data.back().size() == bytes.data()) {
    data.back() = ByteView(data.back().data(), data.back().size() + bytes.size());
  } else {
    data.push_back(bytes);
  }
}

std::unordered_map<std::uint32_t, std::size_t> first_track_by_id(const std::vector<TrackFragments>& tracks) {
  std::unordered_map<std::uint32_t, std::size_t> index;
  for (std::size_t i = 0; i < tracks.size(); ++i) index.emplace(tracks[i].track_id, i);
  return index;
}

std::uint32_t track_id_of(const std::vector<Mp4Box>& trak_children) {
  for (const Mp4Box& c : trak_children) {
    if (c.box_type == box_types::tkhd && c.data.size() >= 12) return TrackHeader(c.data).track_id().value_or(0);
  }
  return 0;
}

std::unordered_map<std::uint32_t, SampleDefaults> track_extends_defaults(const std::vector<Mp4Box>& moov_children) {
  std::unordered_map<std::uint32_t, SampleDefaults> defaults;
  for (const Mp4Box& mvex : moov_children) {
    if (mvex.box_type != box_types::mvex) continue;
    Result<std::vector<Mp4Box>> children = parse_container_box(mvex.data);
    if (!children.ok()) continue;
    for (const Mp4Box& trex : children.value()) {
      if (trex.box_type != box_types::trex) continue;
      if (std::optional<TrackExtends::Entry> e = TrackExtends(trex.data).entry()) defaults.emplace(e->track_id, e->defaults);
    }
  }
  return defaults;
}

Result<std::vector<TrackFragments>> extract_track_info_from_moov(ByteView moov_body) {
  Result<std::vector<Mp4Box>> moov = parse_container_box(moov_body);
  if (!moov.ok()) return moov.error();
  const std::unordered_map<std::uint32_t, SampleDefaults> trex = track_extends_defaults(moov.value());
  std::vector<TrackFragments> tracks;
  for (const Mp4Box& trak : moov.value()) {
    if (trak.box_type != box_types::trak) continue;
    Result<std::vector<Mp4Box>> trak_children = parse_container_box(trak.data);
    if (!trak_children.ok()) return trak_children.error();
    TrackFragments t;
    t.track_id = track_id_of(trak_children.value());
    if (auto found = trex.find(t.track_id); found != trex.end()) t.trex = found->second;
    for (const Mp4Box& mdia : trak_children.value()) {
      if (mdia.box_type != box_types::mdia) continue;
      Result<std::vector<Mp4Box>> mdia_children = parse_container_box(mdia.data);
      if (!mdia_children.ok()) return mdia_children.error();
      for (const Mp4Box& c : mdia_children.value()) {
        if (c.box_type == box_types::mdhd) {
          // A body shorter than 20 bytes is passed over, and so is a
          // version 1 body too short for its timescale.
          const std::optional<std::uint32_t> timescale = MediaHeader(c.data).timescale();
          if (c.data.size() >= 20 && timescale) t.timescale = *timescale;
        } else if (c.box_type == box_types::minf) {
          Result<std::vector<Mp4Box>> minf = parse_container_box(c.data);
          if (!minf.ok()) return minf.error();
          for (const Mp4Box& stbl : minf.value()) {
            if (stbl.box_type != box_types::stbl) continue;
            Result<std::vector<Mp4Box>> stbl_children = parse_container_box(stbl.data);
            if (!stbl_children.ok()) return stbl_children.error();
            for (const Mp4Box& s : stbl_children.value()) {
              if (s.box_type == box_types::stsd) t.stsd = s.data;
            }
          }
        }
      }
    }
    tracks.push_back(std::move(t));
  }
  return tracks;
}

Result<std::uint64_t> collect_fragment_data(ByteView data, const std::vector<BoxInfo>& box_infos,
                                            std::vector<TrackFragments>& tracks) {
  Collector collector(data, tracks);
  for (const BoxInfo& info : box_infos) {
    Result<void> added = collector.add(info);
    if (!added.ok()) return added.error();
  }
  return collector.collected();
}

Result<std::vector<TrackFragments>> fragmented_tracks(ByteView data, const Mp4File& file) {
  Result<std::vector<TrackFragments>> tracks = extract_track_info_from_moov(file.moov->data);
  if (!tracks.ok()) return tracks;
  Result<std::uint64_t> collected = collect_fragment_data(data, file.box_infos, tracks.value());
  if (!collected.ok()) return collected.error();
  return tracks;
}

std::optional<ByteView> first_fragment_sample(ByteView data, std::uint32_t track_id, const SampleDefaults& trex) {
  std::vector<TrackFragments> track(1);
  track[0].track_id = track_id;
  track[0].trex = trex;
  Collector collector(data, track, 1);
  TopLevelBoxes boxes(data);
  while (!collector.full()) {
    Result<std::optional<BoxInfo>> next = boxes.next();
    if (!next.ok() || !next.value() || !collector.add(*next.value()).ok()) return std::nullopt;
  }
  // One sample, so its bytes are the whole of the data when it has any.
  return track[0].data.empty() ? ByteView{} : track[0].data.front();
}

}  // namespace quaver
