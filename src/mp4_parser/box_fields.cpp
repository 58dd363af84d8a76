#include "mp4_parser/box_fields.hpp"

#include <cstring>

#include "core/output.hpp"

namespace quaver {

bool FullBox::set(std::span<std::uint8_t> out, FieldPlace f, std::uint64_t value) const {
  if (!holds(f) || out.size() != body_.size()) return false;
  if (width(f) == 8) {
    store_be64(out.data() + at(f), value);
  } else {
    store_be32(out.data() + at(f), clamp32(value));
  }
  return true;
}

bool FullBox::clear(std::span<std::uint8_t> out, FieldPlace f) const {
  if (!holds(f) || out.size() != body_.size()) return false;
  std::memset(out.data() + at(f), 0, width(f));
  return true;
}

std::optional<std::vector<std::uint8_t>> HeaderBox::with_duration(std::uint64_t duration) const {
  if (!holds(duration_)) return std::nullopt;
  std::vector<std::uint8_t> out(body().begin(), body().end());
  clear(out, kTimes);
  set(out, duration_, duration);
  return out;
}

std::vector<std::uint8_t> HeaderBox::converted(std::uint8_t version, std::uint64_t duration,
                                                std::size_t version0_size) const {
  const std::uint8_t from = version == 1 ? 0 : 1;
  const std::size_t tail_from = duration_.at[from] + duration_.width[from];  // what follows the duration read
  const std::size_t tail = version0_size - duration_.at[0] - duration_.width[0];
  ByteBuilder out;
  out.reserve(version0_size + 12);
  out.u8(version);
  out.bytes(body().data() + 1, 3);  // flags
  write_times(out, version, load_be32(body().data() + kWord.at[from]), version == 1 ? duration : clamp32(duration),
              duration_.at[0] > kWord.at[0] + 4);
  if (body().size() >= tail_from + tail) {
    out.bytes(body().data() + tail_from, tail);
  } else {
    out.zeros(tail);
  }
  return std::move(out.data());
}

std::vector<std::uint8_t> HeaderBox::in_version0(std::uint64_t duration, std::size_t version0_size) const {
  if (version1() && holds_duration()) return converted(0, duration, version0_size);
  std::optional<std::vector<std::uint8_t>> written = as_version0(*this).with_duration(duration);
  return written ? std::move(*written) : std::vector<std::uint8_t>(body().begin(), body().end());
}

std::vector<std::uint8_t> HeaderBox::for_duration(std::uint64_t duration, std::size_t version0_size) const {
  if (fits_32_bits(duration)) return in_version0(duration, version0_size);
  if (std::optional<std::vector<std::uint8_t>> written = with_duration(duration); written && version1()) {
    return std::move(*written);
  }
  const HeaderBox v0 = as_version0(*this);
  if (v0.holds_duration()) return v0.converted(1, duration, version0_size);
  return std::vector<std::uint8_t>(body().begin(), body().end());
}

void HeaderBox::write_times(ByteBuilder& out, std::uint8_t version, std::uint32_t word, std::uint64_t duration,
                            bool reserved_word) {
  out.zeros(version == 1 ? 16 : 8);
  out.u32(word);
  if (reserved_word) out.u32(0);
  if (version == 1) {
    out.u64(duration);
  } else {
    out.u32(static_cast<std::uint32_t>(duration));
  }
}

void MovieHeader::write(ByteBuilder& out, std::uint32_t timescale, std::uint64_t duration,
                        std::uint32_t next_track_id) {
  const std::uint8_t version = fits_32_bits(duration) ? 0 : 1;
  out.u32(std::uint32_t{version} << 24);  // flags 0
  write_times(out, version, timescale, duration, false);
  out.u32(0x00010000);  // rate 1.0
  out.u16(0x0100);      // volume 1.0
  out.zeros(10);
  for (std::uint32_t v : kUnityMatrix) out.u32(v);
  out.zeros(24);  // pre-defined
  out.u32(next_track_id);
}

TrackFragmentHeader::Fields TrackFragmentHeader::fields() const {
  Fields f;
  const ByteView b = body();
  if (b.size() < 8) return f;
  // The fields stand back to back in flag order; one the body cuts short
  // reads as nothing, and so does every field after it.
  std::size_t pos = 8;
  const auto held = [&](std::size_t width) { return pos <= b.size() && b.size() - pos >= width; };
  const auto carried = [&](std::uint32_t flag, std::optional<std::uint32_t>& into) {
    if (!(flags() & flag)) return;
    if (held(4)) into = load_be32(b.data() + pos);
    pos += 4;
  };
  if (flags() & kBaseDataOffset) {
    if (held(8)) f.base_data_offset = load_be64(b.data() + pos);
    pos += 8;
  }
  if (flags() & kSampleDescriptionIndex) pos += 4;
  carried(kDefaultDuration, f.duration);
  carried(kDefaultSize, f.size);
  carried(kDefaultFlags, f.flags);
  return f;
}

std::optional<TrackExtends::Entry> TrackExtends::entry() const {
  // Version and flags, track ID, sample description index, then the
  // default duration, size and flags.
  if (body().size() < 24) return std::nullopt;
  const std::uint8_t* p = body().data();
  return Entry{load_be32(p + 4), SampleDefaults{load_be32(p + 12), load_be32(p + 16), load_be32(p + 20)}};
}

}  // namespace quaver
