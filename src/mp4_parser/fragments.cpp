#include "mp4_parser/fragments.hpp"

#include <algorithm>
#include <optional>

namespace quaver {

namespace {

// tfhd / trun flag bits.
constexpr std::uint32_t kBaseDataOffset = 0x000001;
constexpr std::uint32_t kSampleDescriptionIndex = 0x000002;
constexpr std::uint32_t kDefaultDuration = 0x000008;
constexpr std::uint32_t kDefaultSize = 0x000010;
constexpr std::uint32_t kDefaultFlags = 0x000020;
constexpr std::uint32_t kDataOffset = 0x000001;
constexpr std::uint32_t kFirstSampleFlags = 0x000004;
constexpr std::uint32_t kSampleDuration = 0x000100;
constexpr std::uint32_t kSampleSize = 0x000200;
constexpr std::uint32_t kSampleFlags = 0x000400;
constexpr std::uint32_t kSampleCompositionOffset = 0x000800;

bool fits(ByteView body, std::uint64_t offset, std::uint64_t n) {
  return offset <= body.size() && n <= body.size() - offset;
}

// A 32-bit field that may be cut off: read and advance past it when all of
// it is there, else keep the fallback and stay put.
std::uint32_t optional_field(ByteView body, std::uint64_t& pos, bool present, std::uint32_t fallback) {
  if (!present || !fits(body, pos, 4)) return fallback;
  const std::uint32_t v = load_be32(body.data() + pos);
  pos += 4;
  return v;
}

struct FragmentDefaults {
  std::uint32_t duration = 0;
  std::uint32_t size = 0;
  std::uint32_t flags = 0;
  std::uint32_t track_id = 0;
};

void read_tfhd(ByteView body, FragmentDefaults& d) {
  if (body.size() < 8) return;
  const std::uint32_t flags = load_be16(body.data() + 2);
  d.track_id = load_be32(body.data() + 4);
  std::uint64_t pos = 8;
  if (flags & kBaseDataOffset) pos += 8;
  if (flags & kSampleDescriptionIndex) pos += 4;
  d.duration = optional_field(body, pos, flags & kDefaultDuration, d.duration);
  d.size = optional_field(body, pos, flags & kDefaultSize, d.size);
  d.flags = optional_field(body, pos, flags & kDefaultFlags, d.flags);
}

// Decode time of a tfdt body: 64-bit in version 1, else 32-bit; nothing
// when the body is too short to hold it.
std::optional<std::uint64_t> read_tfdt(ByteView body) {
  if (body.size() >= 12 && body[0] == 1) return load_be64(body.data() + 4);
  if (body.size() >= 8) return load_be32(body.data() + 4);
  return std::nullopt;
}

// One moof with the mdat paired to it. The mdat body is taken to begin right
// after the moof with compact headers on both, whatever lies between them.
struct FragmentPair {
  ByteView moof_body;
  std::uint64_t moof_position;  // computed position P
  ByteView mdat_body;
};

class Collector {
 public:
  // input_length bounds both the samples and the sample bytes collected.
  Collector(std::vector<TrackFragments>& tracks, std::uint64_t input_length)
      : tracks_(tracks), by_id_(first_track_by_id(tracks)), limit_(input_length) {}

  std::optional<Error> pair(const FragmentPair& f) {
    Result<std::vector<Mp4Box>> moof = parse_container_box(f.moof_body);
    if (!moof.ok()) return moof.error();
    for (const Mp4Box& traf : moof.value()) {
      if (traf.box_type != box_types::traf) continue;
      Result<std::vector<Mp4Box>> children = parse_container_box(traf.data);
      if (!children.ok()) return children.error();
      FragmentDefaults d;
      std::optional<std::uint64_t> decode_time;
      for (const Mp4Box& c : children.value()) {
        if (c.box_type == box_types::tfhd) read_tfhd(c.data, d);
        if (c.box_type == box_types::tfdt && !decode_time) decode_time = read_tfdt(c.data);
      }
      const auto found = by_id_.find(d.track_id);
      const std::size_t first_sample = found == by_id_.end() ? 0 : tracks_[found->second].samples.size();
      for (const Mp4Box& c : children.value()) {
        if (c.box_type != box_types::trun) continue;
        if (std::optional<Error> e = run(c.data, d, f)) return e;
      }
      if (found != by_id_.end()) timeline(found->second, first_sample, decode_time);
    }
    return std::nullopt;
  }

  std::uint64_t collected() const { return collected_; }

 private:
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

  std::optional<Error> run(ByteView body, const FragmentDefaults& d, const FragmentPair& f) {
    if (body.size() < 8) return std::nullopt;
    const std::uint32_t flags = load_be16(body.data() + 2);
    const std::uint32_t count = load_be32(body.data() + 4);
    std::uint64_t pos = 8;
    std::optional<std::int32_t> data_offset;
    if ((flags & kDataOffset) && body.size() >= 12) {
      data_offset = static_cast<std::int32_t>(load_be32(body.data() + 8));
      pos = 12;
    }
    // Fragmenters mark each fragment's key frame only here, over non-sync
    // defaults, so the value is what makes the first sample a sync sample.
    std::optional<std::uint32_t> first_flags;
    if (flags & kFirstSampleFlags) {
      if (fits(body, pos, 4)) first_flags = load_be32(body.data() + pos);
      pos += 4;
    }

    // A run for no known track is dropped whole: none of its samples is kept.
    const auto found = by_id_.find(d.track_id);
    if (found == by_id_.end() || count == 0) return std::nullopt;
    TrackFragments* track = &tracks_[found->second];
    // Every real sample has at least one byte, so a file never holds more
    // samples than bytes; a larger count is hostile and must not be produced.
    if (count > limit_ - collected_) return Error{"Sample count exceeds what the input can hold"};
    collected_ += count;

    // The mdat body begins at P + B + 16 while the offset counts from P.
    std::int64_t cursor = 0;
    if (data_offset) {
      const auto p = static_cast<std::int64_t>(f.moof_position);
      const auto b = static_cast<std::int64_t>(f.moof_body.size());
      cursor = std::max<std::int64_t>(0, (p + *data_offset) - (p + b + 16));
    }
    const auto mdat_size = static_cast<std::uint64_t>(f.mdat_body.size());
    for (std::uint32_t i = 0; i < count; ++i) {
      FragmentSampleInfo s;
      s.duration = optional_field(body, pos, flags & kSampleDuration, d.duration);
      s.size = optional_field(body, pos, flags & kSampleSize, d.size);
      s.flags = optional_field(body, pos, flags & kSampleFlags, d.flags);
      s.composition_offset = optional_field(body, pos, flags & kSampleCompositionOffset, 0);
      if (i == 0 && first_flags) s.flags = *first_flags;
      const auto at = static_cast<std::uint64_t>(cursor);
      // A sample whose bytes run past the mdat keeps its record but no
      // bytes, and the next sample is looked for at the same place.
      if (data_offset && s.size <= mdat_size && at <= mdat_size - s.size) {
        // Runs of a well-formed file never share bytes; runs pointing at
        // the same bytes over and over would multiply the output instead.
        if (s.size > limit_ - bytes_) return Error{"Sample data exceeds what the input can hold"};
        bytes_ += s.size;
        track->append_data(f.mdat_body.subspan(at, s.size));
        cursor += s.size;
      }
      track->samples.push_back(s);
    }
    return std::nullopt;
  }

  std::vector<TrackFragments>& tracks_;
  const std::unordered_map<std::uint32_t, std::size_t> by_id_;
  std::uint64_t limit_;
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
    if (c.box_type != box_types::tkhd || c.data.size() < 12) continue;
    const std::size_t at = c.data[0] == 1 ? 20 : 12;
    return fits(c.data, at, 4) ? load_be32(c.data.data() + at) : 0;
  }
  return 0;
}

Result<std::vector<TrackFragments>> extract_track_info_from_moov(ByteView moov_body) {
  Result<std::vector<Mp4Box>> moov = parse_container_box(moov_body);
  if (!moov.ok()) return moov.error();
  std::vector<TrackFragments> tracks;
  for (const Mp4Box& trak : moov.value()) {
    if (trak.box_type != box_types::trak) continue;
    Result<std::vector<Mp4Box>> trak_children = parse_container_box(trak.data);
    if (!trak_children.ok()) return trak_children.error();
    TrackFragments t;
    t.track_id = track_id_of(trak_children.value());
    for (const Mp4Box& mdia : trak_children.value()) {
      if (mdia.box_type != box_types::mdia) continue;
      Result<std::vector<Mp4Box>> mdia_children = parse_container_box(mdia.data);
      if (!mdia_children.ok()) return mdia_children.error();
      for (const Mp4Box& c : mdia_children.value()) {
        if (c.box_type == box_types::mdhd && c.data.size() >= 20) {
          if (c.data[0] != 1) {
            t.timescale = load_be32(c.data.data() + 12);
          } else if (c.data.size() >= 24) {
            t.timescale = load_be32(c.data.data() + 20);
          }
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
  Collector collector(tracks, data.size());
  std::optional<FragmentPair> pending;
  // Positions are computed as if every box had a compact header; the data
  // offsets of the runs are resolved against these positions.
  std::uint64_t position = 0;
  for (const BoxInfo& info : box_infos) {
    if (info.is(box_types::moof)) {
      pending = FragmentPair{info.regular()->data, position, {}};
    } else if (const BoxInfo::Mdat* mdat = info.mdat(); mdat && pending) {
      pending->mdat_body = subview(data, mdat->data_offset, mdat->data_size);
      if (std::optional<Error> e = collector.pair(*pending)) return *e;
      pending.reset();
    }
    position += info.body_length() + 8;
  }
  return collector.collected();
}

}  // namespace quaver
