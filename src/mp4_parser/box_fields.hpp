// The fields of the full boxes that the MP4 jobs read and rewrite.
//
// A full box body starts with its version (byte 0) and 24-bit flags. Version
// 1 widens the times and durations of the header boxes, and the decode time
// of a tfdt, to 64 bits, which moves the fields after them; any other
// version value has the version 0 layout. A view knows where each field of
// its box lies in either layout and reads a field only where the body holds
// it: one it does not hold reads as nothing, and each caller says what
// stands in for it (a default, a refusal, or the version 0 layout for a
// version 1 body too short to be one, which is how unfolding and rebasing
// read such bodies: as_version0). Rewrites go into a copy of the body laid
// out as the view reads it. A view never owns its bytes.
//
// mvhd, tkhd, mdhd: MovieHeader, TrackHeader, MediaHeader; tfdt:
// DecodeTimeBox; tfhd: TrackFragmentHeader; trex: TrackExtends; trun:
// TrackRun and its rows; hdlr: HandlerBox; stsz (and stz2): SampleSizes;
// stts, ctts, stsc and stss: TableEntries; stco and co64: ChunkOffsets.
// Edit lists (elst) are read and written by edit_list.hpp.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/bytes.hpp"
#include "core/output.hpp"

namespace quaver {

// Where a field lies: its offset and width (4 or 8 bytes) in the version 0
// layout, then in the version 1 layout.
struct FieldPlace {
  std::uint8_t at[2];
  std::uint8_t width[2];
};

class FullBox {
 public:
  // Laid out by its version byte (an empty body as version 0).
  explicit FullBox(ByteView body) : body_(body), version1_(!body.empty() && body[0] == 1) {}

  ByteView body() const { return body_; }
  // Read with the version 1 layout.
  bool version1() const { return version1_; }
  // The 24-bit flags; 0 where the body is shorter than 4 bytes.
  std::uint32_t flags() const { return body_.size() >= 4 ? load_be32(body_.data()) & 0xFFFFFF : 0; }

  bool holds(FieldPlace f) const { return at(f) + width(f) <= body_.size(); }
  std::optional<std::uint64_t> get(FieldPlace f) const {
    if (!holds(f)) return std::nullopt;
    const std::uint8_t* p = body_.data() + at(f);
    return width(f) == 8 ? load_be64(p) : load_be32(p);
  }
  // Writes `value` into the field of `out`, a body of this one's length
  // laid out as this one is read; a 32-bit field takes clamp32(value).
  // False, with nothing written, where the body does not hold the field.
  bool set(std::span<std::uint8_t> out, FieldPlace f, std::uint64_t value) const;
  // Zeros over the field (times that are not kept); false where not held.
  bool clear(std::span<std::uint8_t> out, FieldPlace f) const;

  template <class View>
  friend View as_version0(View view);

 private:
  std::size_t at(FieldPlace f) const { return f.at[version1_]; }
  std::size_t width(FieldPlace f) const { return f.width[version1_]; }

  ByteView body_;
  bool version1_;
};

// The same view read with the version 0 layout, whatever the version byte
// of its body says.
template <class View>
View as_version0(View view) {
  static_cast<FullBox&>(view).version1_ = false;
  return view;
}

// mvhd, tkhd and mdhd begin alike: creation and modification time, a word
// (the timescale; the track ID in a tkhd), then the duration, which a tkhd
// keeps one reserved word later.
class HeaderBox : public FullBox {
 public:
  static constexpr FieldPlace kTimes{{4, 4}, {8, 16}};  // creation and modification time
  static constexpr FieldPlace kWord{{12, 20}, {4, 4}};

  bool holds_duration() const { return holds(duration_); }
  // A copy with the times 0 and `duration` in its field, in this view's
  // layout; nothing where the body does not hold the duration.
  std::optional<std::vector<std::uint8_t>> with_duration(std::uint64_t duration) const;
  // A body that holds its duration in the other version, in `version`
  // (`version0_size` bytes long in version 0, 12 more in version 1): the
  // flags and the word kept, times 0, the duration (clamped to 32 bits in
  // version 0), then the fields that follow the duration read (zeros where
  // the body ends before them).
  std::vector<std::uint8_t> converted(std::uint8_t version, std::uint64_t duration, std::size_t version0_size) const;
  // How unfolding writes a header: with the times 0, in version 0 with the
  // duration clamped to 32 bits. A version 1 body that holds its duration
  // is converted; any other is copied and read as version 0, the two
  // written where it holds the duration.
  std::vector<std::uint8_t> in_version0(std::uint64_t duration, std::size_t version0_size) const;
  // As in_version0 where the duration fits 32 bits (fits_32_bits); else in
  // version 1: a version 1 body that holds its duration is copied with the
  // two written, a body that holds it read as version 0 is converted, and
  // any other is copied as it is.
  std::vector<std::uint8_t> for_duration(std::uint64_t duration, std::size_t version0_size) const;
  // Writes the fields after the version and flags up to the duration:
  // creation and modification time 0, the word, the reserved word of a
  // tkhd where `reserved_word`, and the duration; 32-bit fields in version
  // 0, the times and duration in 64 bits in version 1.
  static void write_times(ByteBuilder& out, std::uint8_t version, std::uint32_t word, std::uint64_t duration,
                          bool reserved_word);

 protected:
  HeaderBox(ByteView body, FieldPlace duration) : FullBox(body), duration_(duration) {}
  std::optional<std::uint32_t> word() const {
    const std::optional<std::uint64_t> w = get(kWord);
    return w ? std::optional<std::uint32_t>(static_cast<std::uint32_t>(*w)) : std::nullopt;
  }

 private:
  FieldPlace duration_;
};

class MovieHeader : public HeaderBox {
 public:
  static constexpr FieldPlace kDuration{{16, 24}, {4, 8}};
  static constexpr FieldPlace kNextTrackId{{96, 108}, {4, 4}};
  static constexpr std::size_t kVersion0Size = 100;
  explicit MovieHeader(ByteView body) : HeaderBox(body, kDuration) {}
  std::optional<std::uint32_t> timescale() const { return word(); }
  static constexpr std::size_t kVersion1Size = 112;
  // A plain body: times 0, rate and volume 1.0, the identity matrix; the
  // header of a file written afresh. Version 0, or version 1 where the
  // duration does not fit 32 bits (fits_32_bits).
  static void write(ByteBuilder& out, std::uint32_t timescale, std::uint64_t duration, std::uint32_t next_track_id);
};

class TrackHeader : public HeaderBox {
 public:
  static constexpr FieldPlace kDuration{{20, 28}, {4, 8}};
  static constexpr std::uint32_t kEnabled = 0x000001;  // track_enabled, a flag
  explicit TrackHeader(ByteView body) : HeaderBox(body, kDuration) {}
  std::optional<std::uint32_t> track_id() const { return word(); }
  bool set_track_id(std::span<std::uint8_t> out, std::uint32_t id) const { return set(out, kWord, id); }
  // The 16-bit alternate_group, after two reserved words and the layer that
  // follow the duration.
  std::optional<std::uint16_t> alternate_group() const {
    return alternate_group_at() + 2 <= body().size()
               ? std::optional<std::uint16_t>(load_be16(body().data() + alternate_group_at()))
               : std::nullopt;
  }
  // Writes the group and the enabled flag into `out`, a body laid out as
  // this one; false, with nothing written, where the body does not hold them.
  bool set_alternative(std::span<std::uint8_t> out, std::uint16_t group, bool enabled) const {
    if (!alternate_group()) return false;
    store_be16(out.data() + alternate_group_at(), group);
    out[3] = static_cast<std::uint8_t>(enabled ? out[3] | kEnabled : out[3] & ~kEnabled);
    return true;
  }

 private:
  std::size_t alternate_group_at() const { return version1() ? 46 : 34; }
};

// The same fields as a movie header, up to its duration; then the language.
class MediaHeader : public HeaderBox {
 public:
  explicit MediaHeader(ByteView body) : HeaderBox(body, MovieHeader::kDuration) {}
  std::optional<std::uint32_t> timescale() const { return word(); }
  std::optional<std::uint64_t> duration() const { return get(MovieHeader::kDuration); }
  // The packed ISO 639-2 code: three letters of five bits, each less 0x60.
  std::optional<std::uint16_t> language() const {
    const std::size_t at = version1() ? 32 : 20;
    return at + 2 <= body().size() ? std::optional<std::uint16_t>(load_be16(body().data() + at) & 0x7FFF)
                                   : std::nullopt;
  }
};

// tfdt: the base media decode time of a track fragment.
class DecodeTimeBox : public FullBox {
 public:
  static constexpr FieldPlace kDecodeTime{{4, 4}, {4, 8}};

  explicit DecodeTimeBox(ByteView body) : FullBox(body) {}
  // As unfolding and rebasing read it: a version 1 body too short for its
  // 64-bit time is read as version 0.
  DecodeTimeBox lenient() const { return holds(kDecodeTime) ? *this : as_version0(*this); }
  std::optional<std::uint64_t> decode_time() const { return get(kDecodeTime); }
  bool set_decode_time(std::span<std::uint8_t> out, std::uint64_t value) const { return set(out, kDecodeTime, value); }
};

// Per-sample values that a run leaves out: a tfhd's defaults, else its
// track's trex defaults.
struct SampleDefaults {
  std::uint32_t duration = 0;  // media timescale
  std::uint32_t size = 0;      // bytes
  std::uint32_t flags = 0;     // trun/tfhd sample flags word
};

// tfhd: the track ID, then the fields its flags carry, in this order.
class TrackFragmentHeader : public FullBox {
 public:
  static constexpr std::uint32_t kBaseDataOffset = 0x000001;
  static constexpr std::uint32_t kSampleDescriptionIndex = 0x000002;
  static constexpr std::uint32_t kDefaultDuration = 0x000008;
  static constexpr std::uint32_t kDefaultSize = 0x000010;
  static constexpr std::uint32_t kDefaultFlags = 0x000020;

  // What the flags carry and the body holds.
  struct Fields {
    std::optional<std::uint64_t> base_data_offset;
    std::optional<std::uint32_t> duration;
    std::optional<std::uint32_t> size;
    std::optional<std::uint32_t> flags;
  };

  explicit TrackFragmentHeader(ByteView body) : FullBox(body) {}
  // Nothing where the body is shorter than 8 bytes: then no field is read.
  std::optional<std::uint32_t> track_id() const {
    return body().size() >= 8 ? std::optional<std::uint32_t>(load_be32(body().data() + 4)) : std::nullopt;
  }
  Fields fields() const;
};

// trex: the defaults of one track's fragments.
class TrackExtends : public FullBox {
 public:
  struct Entry {
    std::uint32_t track_id = 0;
    SampleDefaults defaults;
  };
  explicit TrackExtends(ByteView body) : FullBox(body) {}
  // Nothing where the body is shorter than its 24 bytes.
  std::optional<Entry> entry() const;
};

// One sample of a run, four 32-bit values in this order.
struct FragmentSampleInfo {
  std::uint32_t duration = 0;
  std::uint32_t size = 0;
  std::uint32_t flags = 0;
  std::uint32_t composition_offset = 0;  // as stored: a negative offset keeps its two's-complement bits
};

// The sample rows of a trun, read in order. Each field the run's flags
// carry is read while the body still holds it; any other field takes the
// default given (0 for the composition offset). The first row's flags are
// the run's first-sample flags where it carries them: fragmenters mark each
// fragment's key frame only there, over non-sync defaults.
class TrackRunRows {
 public:
  // The flags of the fields of a row, in their order.
  static constexpr std::uint32_t kDuration = 0x000100;
  static constexpr std::uint32_t kSize = 0x000200;
  static constexpr std::uint32_t kFlags = 0x000400;
  static constexpr std::uint32_t kCompositionOffset = 0x000800;

  FragmentSampleInfo next(const SampleDefaults& d) {
    FragmentSampleInfo s;
    s.duration = field(kDuration, d.duration);
    s.size = field(kSize, d.size);
    s.flags = field(kFlags, d.flags);
    s.composition_offset = field(kCompositionOffset, 0);
    if (first_flags_) {
      s.flags = *first_flags_;
      first_flags_.reset();
    }
    return s;
  }
  // True once the body holds no further field: every later row is made of
  // defaults alone.
  bool exhausted() const { return pos_ > body_.size() || body_.size() - pos_ < 4; }

 private:
  friend class TrackRun;
  TrackRunRows(ByteView body, std::uint32_t flags, std::size_t pos, std::optional<std::uint32_t> first_flags)
      : body_(body), flags_(flags), pos_(pos), first_flags_(first_flags) {}
  std::uint32_t field(std::uint32_t flag, std::uint32_t fallback) {
    if (!(flags_ & flag) || pos_ > body_.size() || body_.size() - pos_ < 4) return fallback;
    const std::uint32_t v = load_be32(body_.data() + pos_);
    pos_ += 4;
    return v;
  }

  ByteView body_;
  std::uint32_t flags_;
  std::size_t pos_;
  std::optional<std::uint32_t> first_flags_;
};

// trun: the sample count, the data offset and the first sample's flags
// where the flags carry them, then a row per sample. The version is not
// looked at: a version 1 run differs only in reading its composition
// offsets as signed, which is the reader's business.
class TrackRun : public FullBox {
 public:
  static constexpr std::uint32_t kDataOffset = 0x000001;
  static constexpr std::uint32_t kFirstSampleFlags = 0x000004;

  explicit TrackRun(ByteView body) : FullBox(body) {}
  // The body holds the flags and the sample count.
  bool readable() const { return body().size() >= 8; }
  // 0 where the body does not hold it.
  std::uint32_t sample_count() const { return readable() ? load_be32(body().data() + 4) : 0; }
  std::optional<std::int32_t> data_offset() const {
    if (!(flags() & kDataOffset) || body().size() < 12) return std::nullopt;
    return static_cast<std::int32_t>(load_be32(body().data() + 8));
  }
  std::optional<std::uint32_t> first_sample_flags() const {
    const std::size_t at = first_flags_at();
    if (!(flags() & kFirstSampleFlags) || at + 4 > body().size()) return std::nullopt;
    return load_be32(body().data() + at);
  }
  TrackRunRows rows() const {
    return TrackRunRows(body(), flags(), first_flags_at() + (flags() & kFirstSampleFlags ? 4 : 0),
                        first_sample_flags());
  }

 private:
  std::size_t first_flags_at() const { return flags() & kDataOffset ? 12 : 8; }
};

// hdlr: the handler type ("vide", "soun", ...) after the pre-defined word.
class HandlerBox : public FullBox {
 public:
  explicit HandlerBox(ByteView body) : FullBox(body) {}
  std::optional<FourCC> handler_type() const {
    if (body().size() < 12) return std::nullopt;
    const std::uint8_t* p = body().data() + 8;
    return FourCC{{p[0], p[1], p[2], p[3]}};
  }
};

// stsz: the size of every sample (0 where each has its own), the sample
// count, then the entries. An stz2 keeps its count at the same place.
class SampleSizes : public FullBox {
 public:
  explicit SampleSizes(ByteView body) : FullBox(body) {}
  std::optional<std::uint32_t> sample_size() const { return word(4); }
  std::optional<std::uint32_t> sample_count() const { return word(8); }
  std::optional<std::uint32_t> entry(std::size_t i) const {
    return i < (body().size() - std::min<std::size_t>(body().size(), 12)) / 4 ? word(12 + 4 * i) : std::nullopt;
  }
  // The samples whose size the box gives: the count, but no more entries
  // than the body holds where each sample has its own.
  std::uint64_t described() const {
    const std::uint64_t count = sample_count().value_or(0);
    if (sample_size().value_or(0) != 0) return count;
    return std::min<std::uint64_t>(count, (body().size() - std::min<std::size_t>(body().size(), 12)) / 4);
  }
  // The size of sample i: the one size of every sample, else its entry.
  std::optional<std::uint32_t> size(std::size_t i) const {
    const std::uint32_t every = sample_size().value_or(0);
    return every != 0 ? std::optional<std::uint32_t>(every) : entry(i);
  }

 private:
  std::optional<std::uint32_t> word(std::size_t at) const {
    return at + 4 <= body().size() ? std::optional<std::uint32_t>(load_be32(body().data() + at)) : std::nullopt;
  }
};

// stts, ctts (two words an entry), stsc (three) and stss (one): the entry
// count, then entries of 32-bit words. Only the entries that both the count
// and the body hold are there.
class TableEntries : public FullBox {
 public:
  TableEntries(ByteView body, std::size_t words) : FullBox(body), width_(4 * words) {}
  std::size_t size() const {
    if (body().size() < 8) return 0;
    return std::min<std::size_t>(load_be32(body().data() + 4), (body().size() - 8) / width_);
  }
  // Word k of entry i, for i below size().
  std::uint32_t word(std::size_t i, std::size_t k) const { return load_be32(body().data() + 8 + i * width_ + 4 * k); }

 private:
  std::size_t width_;
};

// stco (32-bit entries) and co64 (64-bit entries): the entry count, then
// the file position of each chunk.
class ChunkOffsets : public FullBox {
 public:
  ChunkOffsets(ByteView body, bool wide) : FullBox(body), width_(wide ? 8 : 4) {}
  std::optional<std::uint32_t> entry_count() const {
    return body().size() >= 8 ? std::optional<std::uint32_t>(load_be32(body().data() + 4)) : std::nullopt;
  }
  std::optional<std::uint64_t> entry(std::size_t i) const {
    if (body().size() < 8 || i >= (body().size() - 8) / width_) return std::nullopt;
    const std::uint8_t* p = body().data() + 8 + i * width_;
    return width_ == 8 ? load_be64(p) : load_be32(p);
  }

 private:
  std::size_t width_;
};

}  // namespace quaver
