// The box layer under every operation on MP4 input.
//
// Boxes are views: a box holds its four type bytes and a view of its body
// inside the buffer that was walked, so that buffer must outlive every box
// taken from it. Every box of the code is found by one walker (BoxWalk),
// which never descends by itself: parse_mp4 and TopLevelBoxes see the top
// level of a file, parse_container_box the direct children of one body, and
// the light walks of the key-frame search and the live processor use the
// walker's sized and compact settings. The fields inside the bodies of full
// boxes are read and rewritten through the views of box_fields.hpp; boxes
// are written through ByteBuilder and write_box_header (core/output.hpp).
#pragma once

#include <cstdint>
#include <optional>
#include <variant>
#include <vector>

#include "core/bytes.hpp"
#include "core/output.hpp"
#include "core/result.hpp"

namespace quaver {

// The box types that the MP4 operations look for.
namespace box_types {
inline constexpr FourCC moov = fourcc("moov");
inline constexpr FourCC mvhd = fourcc("mvhd");
inline constexpr FourCC trak = fourcc("trak");
inline constexpr FourCC tkhd = fourcc("tkhd");
inline constexpr FourCC mdia = fourcc("mdia");
inline constexpr FourCC mdhd = fourcc("mdhd");
inline constexpr FourCC minf = fourcc("minf");
inline constexpr FourCC stbl = fourcc("stbl");
inline constexpr FourCC stsd = fourcc("stsd");
inline constexpr FourCC stts = fourcc("stts");
inline constexpr FourCC stsc = fourcc("stsc");
inline constexpr FourCC stsz = fourcc("stsz");
inline constexpr FourCC stco = fourcc("stco");
inline constexpr FourCC ctts = fourcc("ctts");
inline constexpr FourCC stss = fourcc("stss");
inline constexpr FourCC moof = fourcc("moof");
inline constexpr FourCC traf = fourcc("traf");
inline constexpr FourCC tfhd = fourcc("tfhd");
inline constexpr FourCC trun = fourcc("trun");
inline constexpr FourCC mdat = fourcc("mdat");
inline constexpr FourCC edts = fourcc("edts");
inline constexpr FourCC tfdt = fourcc("tfdt");
inline constexpr FourCC elst = fourcc("elst");
inline constexpr FourCC mvex = fourcc("mvex");
inline constexpr FourCC trex = fourcc("trex");
inline constexpr FourCC hdlr = fourcc("hdlr");
inline constexpr FourCC co64 = fourcc("co64");
}  // namespace box_types

struct Mp4Box {
  FourCC box_type;
  ByteView data;                   // body: everything after the 8- or 16-byte header
  std::uint8_t header_length = 8;  // 16 where the size was given in 64 bits

  // Header and body as they lie in the walked buffer.
  ByteView whole() const { return ByteView(data.data() - header_length, header_length + data.size()); }
};

// How a walk reads box headers.
enum class BoxHeaders : std::uint8_t {
  // 32-bit sizes; a size field of 1 gives the size in the 64 bits after the
  // type (a 16-byte header), 0 a box that runs to the end of the walked
  // bytes, and 2 to 7 an empty body after the 8-byte header.
  kAll,
  // Sizes given in full only: a 32-bit size of 8 or more, or a size field
  // of 1 and a 64-bit size of 16 or more; any other size is refused with
  // "Invalid box size" (the live processor's walks, which take no box that
  // runs to the end).
  kExplicit,
  // As kAll, but a size smaller than its header is refused with "Invalid
  // box size" (the key-frame search, which meets 64-bit sizes in large and
  // camera-made files).
  kSized,
};

// What a walk does with a box that runs past the end of the walked bytes.
enum class Overrun : std::uint8_t {
  kRefuse,  // "Box size {} exceeds available data"
  kEnd,     // the walk ends quietly before it
  kCut,     // the box is the last one, its body cut at the end
};

// The boxes of a byte range one after another, from its first byte until
// fewer than 8 bytes remain.
class BoxWalk {
 public:
  BoxWalk(ByteView range, BoxHeaders headers, Overrun overrun)
      : range_(range), headers_(headers), overrun_(overrun) {}
  // The next box; nothing at the end; the error for a box the walk
  // refuses (and the same error again after).
  Result<std::optional<Mp4Box>> next() {
    const std::uint64_t left = range_.size() - pos_;
    if (left < 8) return std::optional<Mp4Box>{};
    const std::uint8_t* p = range_.data() + pos_;
    const std::uint32_t size_field = load_be32(p);
    std::uint64_t size = size_field;
    std::uint8_t header_length = 8;
    if (headers_ == BoxHeaders::kExplicit && size_field < 8 && size_field != 1) {
      return refusal(Refusal::kInvalidSize, size);
    }
    if (size_field == 1) {
      if (left < 16) return refusal(Refusal::kShortHeader, size);
      size = load_be64(p + 8);
      header_length = 16;
    } else if (size_field == 0) {
      size = left;
    }
    if (headers_ != BoxHeaders::kAll && size < header_length) return refusal(Refusal::kInvalidSize, size);
    std::uint64_t body_length = size > header_length ? size - header_length : 0;
    const std::uint64_t room = left - header_length;
    if (body_length > room) {
      if (overrun_ == Overrun::kRefuse) return refusal(Refusal::kOverrun, size);
      if (overrun_ == Overrun::kEnd) {
        pos_ = range_.size();
        return std::optional<Mp4Box>{};
      }
      body_length = room;
    }
    pos_ += header_length + body_length;
    return std::optional<Mp4Box>{Mp4Box{FourCC{{p[4], p[5], p[6], p[7]}}, ByteView(p + header_length, body_length),
                                        header_length}};
  }
  // Where in the range the next box starts.
  std::uint64_t position() const { return pos_; }

 private:
  enum class Refusal : std::uint8_t { kInvalidSize, kShortHeader, kOverrun };
  static Error refusal(Refusal why, std::uint64_t size);

  ByteView range_;
  std::uint64_t pos_ = 0;
  BoxHeaders headers_;
  Overrun overrun_;
};

// One top-level box: an ordinary box, or an mdat located by its body's place
// in the input (its bytes are only ever read where they lie).
struct BoxInfo {
  struct Regular {
    Mp4Box box;
  };
  struct Mdat {
    std::uint64_t data_offset = 0;  // input position of the first body byte
    std::uint64_t data_size = 0;
  };
  std::variant<Regular, Mdat> form;
  std::uint64_t start = 0;  // input position of the box's first header byte

  const Mp4Box* regular() const {
    const Regular* r = std::get_if<Regular>(&form);
    return r ? &r->box : nullptr;
  }
  const Mdat* mdat() const { return std::get_if<Mdat>(&form); }
  // A Regular box of this type (an mdat is never one).
  bool is(FourCC type) const {
    const Mp4Box* b = regular();
    return b && b->box_type == type;
  }
  std::uint64_t body_length() const;
};

// The top-level boxes of a file one at a time, read as parse_mp4 reads
// them, for callers that may stop long before the end.
class TopLevelBoxes {
 public:
  explicit TopLevelBoxes(ByteView data) : walk_(data, BoxHeaders::kAll, Overrun::kRefuse) {}
  // The next box; nothing once fewer than 8 bytes remain; the error
  // parse_mp4 gives for a box it refuses (and the same error again after).
  Result<std::optional<BoxInfo>> next();

 private:
  BoxWalk walk_;
};

struct Mp4File {
  std::vector<BoxInfo> box_infos;  // every top-level box in file order
  std::optional<Mp4Box> moov;      // the last top-level moov

  // A top-level box is a Regular box of this type (moof: the file is fragmented).
  bool holds(FourCC type) const {
    for (const BoxInfo& b : box_infos) {
      if (b.is(type)) return true;
    }
    return false;
  }
};

// Top level of a whole file. A body running past the end of the input is an
// error; fewer than 8 trailing bytes are ignored.
Result<Mp4File> parse_mp4(ByteView data);

// Direct children of a container body. A child running past the end of the
// body ends the list without an error.
Result<std::vector<Mp4Box>> parse_container_box(ByteView body);

// The first box of the type in a list of children; null where there is none.
const Mp4Box* first_child(const std::vector<Mp4Box>& children, FourCC type);

// Calls visit(children) with the children of each trak of a moov body, in
// order, passing over a trak whose children cannot be read; nothing is
// visited where the moov body itself cannot be read.
template <class Visit>
void for_each_trak(ByteView moov_body, Visit&& visit) {
  Result<std::vector<Mp4Box>> moov = parse_container_box(moov_body);
  if (!moov.ok()) return;
  for (const Mp4Box& trak : moov.value()) {
    if (trak.box_type != box_types::trak) continue;
    Result<std::vector<Mp4Box>> children = parse_container_box(trak.data);
    if (children.ok()) visit(children.value());
  }
}

}  // namespace quaver
