#include "mp4_parser/time_origin.hpp"

#include <algorithm>

#include "mp4_parser/box.hpp"
#include "mp4_parser/box_fields.hpp"
#include "mp4_parser/fragments.hpp"

namespace quaver {

namespace {

// a < b in seconds: whole seconds first, then the fractions cross-multiplied
// (each remainder is below its 32-bit timescale, so no product overflows).
bool earlier(MediaTime a, MediaTime b) {
  const std::uint64_t whole_a = a.ticks / a.timescale;
  const std::uint64_t whole_b = b.ticks / b.timescale;
  if (whole_a != whole_b) return whole_a < whole_b;
  return (a.ticks % a.timescale) * b.timescale < (b.ticks % b.timescale) * a.timescale;
}

}  // namespace

std::uint64_t scale(std::uint64_t ticks, std::uint32_t from, std::uint32_t to, Rounding rounding) {
  if (from == 0 || to == 0 || from == to) return ticks;
  // ticks * to / from, split so that every product fits 64 bits.
  const std::uint64_t whole = ticks / from;
  const std::uint64_t part = (ticks % from) * to;
  if (whole > UINT64_MAX / to) return UINT64_MAX;
  std::uint64_t rest = part / from;
  if (rounding == Rounding::kNearest && (part % from) * 2 >= from) ++rest;
  return saturating_add(whole * to, rest);
}

void TimeOrigin::offer(MediaTime start) {
  if (start.timescale == 0) return;
  if (!earliest_ || earlier(start, *earliest_)) earliest_ = start;
}

std::optional<std::uint64_t> TimeOrigin::in(std::uint32_t timescale) const {
  if (!earliest_ || timescale == 0) return std::nullopt;
  return scale(earliest_->ticks, earliest_->timescale, timescale, Rounding::kNearest);
}

std::uint64_t TimeOrigin::base_for(MediaTime start) const {
  const std::optional<std::uint64_t> origin = in(start.timescale);
  return origin ? std::min(*origin, start.ticks) : start.ticks;
}

std::uint32_t trak_media_timescale(ByteView trak_body) {
  Result<std::vector<Mp4Box>> children = parse_container_box(trak_body);
  return children.ok() ? trak_media_timescale(children.value()) : 0;
}

std::uint32_t trak_media_timescale(const std::vector<Mp4Box>& trak_children) {
  for (const Mp4Box& mdia : trak_children) {
    if (mdia.box_type != box_types::mdia) continue;
    Result<std::vector<Mp4Box>> mdia_children = parse_container_box(mdia.data);
    if (!mdia_children.ok()) return 0;
    for (const Mp4Box& c : mdia_children.value()) {
      if (c.box_type == box_types::mdhd) return MediaHeader(c.data).timescale().value_or(0);
    }
    return 0;
  }
  return 0;
}

std::unordered_map<std::uint32_t, std::uint32_t> media_timescales(ByteView moov_body) {
  std::unordered_map<std::uint32_t, std::uint32_t> timescales;
  for_each_trak(moov_body, [&](const std::vector<Mp4Box>& trak_children) {
    const std::uint32_t timescale = trak_media_timescale(trak_children);
    if (timescale != 0) timescales.emplace(track_id_of(trak_children), timescale);
  });
  return timescales;
}

}  // namespace quaver
