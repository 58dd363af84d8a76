#include "mp4_writer/timeline.hpp"

#include <algorithm>

namespace quaver {

namespace {

constexpr std::int64_t kTicks = 90000;  // the stream's clock, per second
constexpr std::int64_t kJumpSeconds = 10;  // a longer step forward means the clock restarted
constexpr std::int64_t kDefaultStep = 3000;  // one picture at 30 fps, for a clock without steps
// Every time a sample is aimed at lies within this bound (2^40 ticks are 141
// days), so that no sum or rescaling below can overflow, whatever the input.
constexpr std::int64_t kBound = std::int64_t{1} << 40;
constexpr std::int64_t kMaxDuration = 0xFFFFFFFF;
// Tracks whose times lie 2^32 ticks or more apart are not believed to belong
// together (as for the audio edit).
constexpr std::int64_t kBelievedApart = std::int64_t{1} << 32;

std::int64_t bounded(std::int64_t t) { return std::clamp(t, -kBound, kBound); }

// floor(a * num / den) for |a| < 2^52 and 0 < num, den < 2^20, without overflow.
std::int64_t rescale(std::int64_t a, std::int64_t num, std::int64_t den) {
  std::int64_t q = a / den;
  std::int64_t r = a % den;
  if (r < 0) {
    r += den;
    --q;
  }
  return q * num + r * num / den;
}

// How one track's samples follow each other, in its own time unit.
struct Rules {
  std::int64_t unit;      // units a second: 90000, or the audio rate
  std::int64_t step;      // nominal duration: an untimed sample lasts it, and so does the last one
  std::int64_t min_step;  // the least a sample lasts
  // Twice how far past the end of the previous sample a sample may come and
  // still be placed right there: audio timestamps jitter by a fraction of a
  // frame, and only a longer silence is real.
  std::int64_t slack;
};

// A step back by more than half a nominal step, or forward by more than 10 s:
// the stream's clock restarted.
bool is_jump(std::int64_t step, std::int64_t nominal, std::int64_t unit) {
  return -2 * step > nominal || step > kJumpSeconds * unit;
}

// Sample i's decode time, in ticks: its DTS, else its PTS.
class VideoTimes {
 public:
  explicit VideoTimes(const VideoClock& c) : entries_(c.entries), timed_(std::min(c.samples, c.entries.size())) {}
  // No sample from here on has a time.
  std::size_t timed_limit() const { return timed_; }
  std::optional<std::int64_t> at(std::size_t i) const {
    if (i >= timed_) return std::nullopt;
    const TimestampPair& e = entries_[i];
    return e.dts ? e.dts : e.pts;
  }
  // Each sample has a time of its own.
  std::size_t run_end(std::size_t i) const { return i + 1; }
  // The presentation time of sample i, timed.
  Timestamp shown_at(std::size_t i) const { return entries_[i].pts.value_or(*at(i)); }

 private:
  const std::vector<TimestampPair>& entries_;
  std::size_t timed_;
};

// Sample k's time, in audio samples: the PTS of the PES it begins in, plus
// its position among the samples that begin there. Fastest read in order.
// The samples of one PES follow each other without a gap, so where they go
// is decided once for each PES.
class AudioTimes {
 public:
  explicit AudioTimes(const AudioClock& c) : c_(c) {
    if (!c.durations || c.durations->empty()) return;
    starts_.reserve(c.samples + 1);
    starts_.push_back(0);
    for (std::size_t k = 0; k < c.samples; ++k) {
      const std::uint32_t d = k < c.durations->size() ? (*c.durations)[k] : 0;
      starts_.push_back(starts_.back() + (d ? d : c.frame));
    }
  }
  // Audio samples from the start of sample `from` to that of sample `to` (from <= to <= samples).
  std::int64_t span(std::size_t from, std::size_t to) const {
    return starts_.empty() ? static_cast<std::int64_t>(to - from) * c_.frame : starts_[to] - starts_[from];
  }
  std::size_t timed_limit() const { return c_.samples; }
  // Where the samples that follow on from sample k end: its PES's end.
  std::size_t run_end(std::size_t k) {
    if (seek(k)) return next_first_;
    return c_.pes.empty() ? c_.samples : c_.pes[0].first_sample;
  }
  std::optional<std::int64_t> at(std::size_t k) {
    if (!seek(k) || !pts_) return std::nullopt;
    return base_ + position(k);
  }
  // The same in ticks.
  std::optional<Timestamp> ticks_at(std::size_t k) {
    if (!seek(k) || !pts_) return std::nullopt;
    return *pts_ + rescale(position(k), kTicks, c_.rate);
  }

 private:
  std::int64_t position(std::size_t k) const { return span(first_, k); }
  // Makes the PES that sample k begins in the current one; false when the
  // sample comes before the first PES.
  bool seek(std::size_t k) {
    if (k >= first_ && k < next_first_) return true;
    const std::vector<AudioPes>& pes = c_.pes;
    if (pes.empty() || k < pes[0].first_sample) return false;
    if (k < first_) {
      p_ = static_cast<std::size_t>(std::upper_bound(pes.begin(), pes.end(), k, [](std::size_t v, const AudioPes& e) {
                                      return v < e.first_sample;
                                    }) - pes.begin()) - 1;
    }
    while (p_ + 1 < pes.size() && pes[p_ + 1].first_sample <= k) ++p_;
    first_ = pes[p_].first_sample;
    next_first_ = p_ + 1 < pes.size() ? pes[p_ + 1].first_sample : c_.samples;
    pts_ = pes[p_].pts;
    if (pts_) base_ = rescale(*pts_, c_.rate, kTicks);
    return true;
  }

  const AudioClock& c_;
  // Where each sample starts, from the first, where samples differ in length.
  std::vector<std::int64_t> starts_;
  // The current PES: its index, the samples that begin in it, its PTS and
  // that PTS in samples.
  std::size_t p_ = 0;
  std::size_t first_ = 0;
  std::size_t next_first_ = 0;
  std::optional<Timestamp> pts_;
  std::int64_t base_ = 0;
};

template <class Times>
std::optional<std::size_t> first_timed(Times& t) {
  for (std::size_t i = 0; i < t.timed_limit(); i = t.run_end(i)) {
    if (t.at(i)) return i;
  }
  return std::nullopt;
}

// The most common step between adjacent decode times of up to 10 s (on a tie
// the smaller one).
std::int64_t most_common_step(const VideoTimes& t) {
  std::vector<std::int64_t> steps;
  for (std::size_t i = 1; i < t.timed_limit(); ++i) {
    const auto a = t.at(i - 1);
    const auto b = t.at(i);
    if (a && b && *b > *a && *b - *a <= kJumpSeconds * kTicks) steps.push_back(*b - *a);
  }
  std::sort(steps.begin(), steps.end());
  std::int64_t best = kDefaultStep;
  std::size_t best_count = 0;
  for (std::size_t i = 0, j = 0; i < steps.size(); i = j) {
    while (j < steps.size() && steps[j] == steps[i]) ++j;
    if (j - i > best_count) {
      best_count = j - i;
      best = steps[i];
    }
  }
  return best;
}

// What a look at the video's clock finds: its nominal step and where its
// jumps are. Most streams have one step only, which needs no counting.
struct VideoClockShape {
  std::int64_t step = kDefaultStep;
  std::vector<std::size_t> jumps;
  bool regular = false;  // every sample lasts the step
};

VideoClockShape shape_of(const VideoTimes& t) {
  VideoClockShape shape;
  std::int64_t first = 0;
  bool uniform = true;
  // Steps back, still or beyond 10 s (sample, step): jumps, depending on the nominal step.
  std::vector<std::pair<std::size_t, std::int64_t>> odd;
  std::optional<std::int64_t> previous;
  std::size_t previous_index = 0;
  std::size_t untimed = 0;
  for (std::size_t i = 0; i < t.timed_limit(); ++i) {
    const auto now = t.at(i);
    if (!now) {
      ++untimed;
      continue;
    }
    if (previous) {
      const std::int64_t d = *now - *previous;
      if (d <= 0 || d > kJumpSeconds * kTicks) {
        odd.push_back({i, d});
      } else if (previous_index + 1 == i) {
        if (first == 0) first = d;
        uniform = uniform && d == first;
      }
    }
    previous = now;
    previous_index = i;
  }
  if (first != 0) shape.step = uniform ? first : most_common_step(t);
  for (const auto& [i, d] : odd) {
    if (is_jump(d, shape.step, kTicks)) shape.jumps.push_back(i);
  }
  shape.regular = uniform && odd.empty() && untimed == 0;
  return shape;
}

// Jumps happen only where a PES starts: inside one, samples follow on.
std::vector<std::size_t> find_jumps(AudioTimes& t, std::int64_t frame, std::int64_t rate) {
  std::vector<std::size_t> jumps;
  std::optional<std::int64_t> previous;  // the time of the last timed sample
  for (std::size_t i = 0, end = 0; i < t.timed_limit(); i = end) {
    end = t.run_end(i);
    const auto now = t.at(i);
    if (!now) continue;
    if (previous && is_jump(*now - *previous, frame, rate)) jumps.push_back(i);
    previous = *now + t.span(i, end - 1);
  }
  return jumps;
}

// Places one track's samples in order and records their durations. A timed
// sample goes where its time (moved into its part) says, unless that is
// before the end of the previous sample, or, by no more than the slack,
// after it: then it follows right on. An untimed sample lasts a nominal
// step after the previous one. Where samples have lengths of their own
// (`lengths`, 0 standing for the step), each lasts at least its length,
// and an untimed or last one exactly that.
class Placer {
 public:
  Placer(const Rules& r, DurationRuns& out, const std::vector<std::uint32_t>* lengths = nullptr)
      : r_(r), out_(out), lengths_(lengths && !lengths->empty() ? lengths : nullptr) {}

  // Where the first sample goes.
  void start_at(std::int64_t at) { last_ = at; }
  void place(std::optional<std::int64_t> target) {
    if (placed_++ == 0) return;  // at start_at's place
    const std::int64_t previous = length_of(placed_ - 2);
    std::int64_t at = last_ + previous;
    if (target) {
      const std::int64_t end = last_ + (lengths_ ? previous : r_.min_step);
      at = 2 * (*target - end) > r_.slack ? *target : end;
    }
    const std::int64_t d = std::min(at - last_, kMaxDuration);
    out_.add(static_cast<std::uint32_t>(d));
    last_ += d;
  }
  void place_untimed(std::uint64_t count) {
    if (count == 0) return;
    if (placed_ == 0) {
      ++placed_;
      --count;
    }
    if (!lengths_) {
      out_.add(static_cast<std::uint32_t>(r_.step), count);
      last_ += r_.step * static_cast<std::int64_t>(count);
      placed_ += count;
      return;
    }
    for (; count > 0; --count, ++placed_) {
      const std::int64_t d = length_of(placed_ - 1);
      out_.add(static_cast<std::uint32_t>(d));
      last_ += d;
    }
  }
  void finish() {
    if (placed_ > 0) out_.add(static_cast<std::uint32_t>(length_of(placed_ - 1)));
  }
  // Where the track ends: its last sample's time plus its length.
  std::int64_t end() const { return last_ + (placed_ > 0 ? length_of(placed_ - 1) : r_.step); }
  // How long the first `count` samples last, untimed.
  std::int64_t lead(std::size_t count) const {
    if (!lengths_) return r_.step * static_cast<std::int64_t>(count);
    std::int64_t sum = 0;
    for (std::size_t k = 0; k < count; ++k) sum += length_of(k);
    return sum;
  }

 private:
  std::int64_t length_of(std::uint64_t k) const {
    if (!lengths_ || k >= lengths_->size() || (*lengths_)[k] == 0) return r_.step;
    return (*lengths_)[k];
  }

  Rules r_;
  DurationRuns& out_;
  const std::vector<std::uint32_t>* lengths_;
  std::int64_t last_ = 0;  // where the last sample went
  std::uint64_t placed_ = 0;
};

// One track on its way through the parts its jumps cut it into.
template <class Times>
struct Track {
  Times times;
  Rules rules;
  std::vector<std::size_t> jumps;
  Placer placer;
  std::size_t samples;
  std::size_t next = 0;  // the next sample to place
  std::int64_t first_offset = 0;  // how far the first part moves

  Track(Times t, const Rules& r, std::vector<std::size_t> j, DurationRuns& out, std::size_t n,
        const std::vector<std::uint32_t>* lengths = nullptr)
      : times(std::move(t)), rules(r), jumps(std::move(j)), placer(r, out, lengths), samples(n) {}

  // The first sample goes a nominal step per untimed sample before the first
  // timed one.
  void start() {
    const std::optional<std::size_t> j = first_timed(times);
    if (j) {
      placer.start_at(bounded(bounded(*times.at(*j) + first_offset) - placer.lead(*j)));
    }
  }
  // Where part p ends: the next jump, or the last sample.
  std::size_t part_end(std::size_t p) const { return p < jumps.size() ? jumps[p] : samples; }
  // Places the samples up to `end`, their times moved by `offset`.
  void place_until(std::size_t end, std::int64_t offset) {
    const std::size_t timed = std::min(end, times.timed_limit());
    while (next < timed) {
      const auto t = times.at(next);
      placer.place(t ? std::optional<std::int64_t>(bounded(*t + offset)) : std::nullopt);
      const std::size_t run = std::min(times.run_end(next), timed);
      placer.place_untimed(run - next - 1);  // they follow on
      next = run;
    }
    if (next < end) placer.place_untimed(end - next);
    next = std::max(next, end);
  }
  void place_first_part() { place_until(part_end(0), first_offset); }
  // Each part after a jump follows on from where the track ended, as if the
  // jump were not there.
  void place_parts_on_their_own() {
    place_first_part();
    for (std::size_t p = 1; p <= jumps.size(); ++p) {
      place_until(part_end(p), placer.end() - *times.at(next));
    }
    placer.finish();
  }
};

// Both tracks jumped equally often: each pair of jumps is a join. The parts
// after it start where the later track ended, each keeping its distance to
// the earlier of the two tracks' first times, so a held picture or a short
// silence covers the difference and inside a part the tracks stay in sync.
void join_parts(Track<VideoTimes>& v, Track<AudioTimes>& a) {
  const std::int64_t rate = a.rules.unit;
  v.place_first_part();
  a.place_first_part();
  for (std::size_t p = 1; p <= v.jumps.size(); ++p) {
    const std::int64_t end = std::max(v.placer.end(), rescale(a.placer.end(), kTicks, rate));
    const std::int64_t video_first = *v.times.at(v.next);
    const std::int64_t audio_first = *a.times.ticks_at(a.next);
    // First times too far apart to be believed: each track starts at the end.
    const bool together = std::max(video_first, audio_first) - std::min(video_first, audio_first) < kBelievedApart;
    const std::int64_t first = std::min(video_first, audio_first);
    v.place_until(v.part_end(p), end - (together ? first : video_first));
    a.place_until(a.part_end(p), rescale(end - (together ? first : audio_first), rate, kTicks));
  }
  v.placer.finish();
  a.placer.finish();
}

}  // namespace

void DurationRuns::add(std::uint32_t delta, std::uint64_t count) {
  total += std::uint64_t{delta} * count;
  while (count > 0) {
    if (runs.empty() || runs.back().delta != delta || runs.back().count == 0xFFFFFFFFu) runs.push_back({0, delta});
    const std::uint64_t room = 0xFFFFFFFFu - runs.back().count;
    const std::uint64_t n = std::min(count, room);
    runs.back().count += static_cast<std::uint32_t>(n);
    count -= n;
  }
}

Timeline lay_out_timeline(const VideoClock* video, const std::vector<AudioClock>& audio) {
  Timeline out;
  out.audio.resize(audio.size());
  std::optional<VideoTimes> vt;
  std::optional<Track<VideoTimes>> v;
  bool regular = true;
  if (video) {
    vt.emplace(*video);
    VideoClockShape shape = shape_of(*vt);
    const std::int64_t step = shape.step;
    regular = shape.regular;
    out.video.nominal = static_cast<std::uint32_t>(step);
    v.emplace(*vt, Rules{kTicks, step, 1, 0}, std::move(shape.jumps), out.video.durations, video->samples);
    if (const auto j = first_timed(v->times)) {
      out.video.start = *j == 0 ? vt->shown_at(0) : *v->times.at(*j) - step * static_cast<std::int64_t>(*j);
    }
    v->start();
    // A regular clock, nearly every stream's, needs no placing: it has no join.
    if (regular) {
      out.video.durations.add(static_cast<std::uint32_t>(step), video->samples);
    } else if (audio.empty()) {
      v->place_parts_on_their_own();
    }
  }

  // Each audio track is placed on its own, measured from the first picture
  // (without video, from the first audio track); the first one pairs its
  // joins with the video's.
  std::optional<Timestamp> reference = out.video.start;
  for (std::size_t k = 0; k < audio.size(); ++k) {
    const AudioClock& clock = audio[k];
    TrackTiming& timing = out.audio[k];
    const std::int64_t rate = clock.rate;
    const std::int64_t frame = clock.frame;
    timing.nominal = clock.frame;
    AudioTimes audio_times(clock);
    std::vector<std::size_t> jumps = find_jumps(audio_times, frame, rate);
    Track<AudioTimes> a(audio_times, Rules{rate, frame, frame, frame}, std::move(jumps), timing.durations,
                        clock.samples, clock.durations);
    if (const auto j = first_timed(a.times)) {
      timing.start = *a.times.ticks_at(*j) - rescale(a.placer.lead(*j), kTicks, rate);
    }
    if (!video && k == 0) reference = timing.start;
    // Tracks that start too far apart to be believed (the audio then gets no
    // edit) start together.
    if (reference && timing.start) {
      const std::int64_t apart = *reference - *timing.start;
      if (apart >= kBelievedApart || -apart >= kBelievedApart) a.first_offset = rescale(apart, rate, kTicks);
    }
    a.start();
    const bool paired = v && k == 0 && !regular;
    if (paired && v->jumps.size() == a.jumps.size()) {
      join_parts(*v, a);
    } else {
      if (paired) v->place_parts_on_their_own();
      a.place_parts_on_their_own();
    }
  }
  return out;
}

}  // namespace quaver
