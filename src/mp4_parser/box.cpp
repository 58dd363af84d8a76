#include "mp4_parser/box.hpp"

#include <string>

namespace quaver {

namespace {

const Error kNotEnoughData{"Not enough data"};

// One box of a buffer, located by its header.
struct LocatedBox {
  std::uint64_t start;  // first header byte
  FourCC type;
  std::uint64_t box_size;     // as declared (or implied by a size field of 0)
  std::uint64_t body_start;   // after the 8- or 16-byte header
  std::uint64_t body_length;  // 0 where the declared size is below the header
  bool fits;                  // the body ends within the buffer

  std::uint64_t end() const { return body_start + body_length; }
  std::uint8_t header_length() const { return static_cast<std::uint8_t>(body_start - start); }
};

// The box starting at `start`, where at least 8 bytes remain. A size field
// of 0 means the box runs to the end of `buf`.
Result<LocatedBox> locate(ByteView buf, std::uint64_t start) {
  Mp4Reader reader(buf, start);
  Result<std::uint32_t> size = reader.read_u32();
  if (!size.ok()) return size.error();
  if (reader.remaining() < 4) return kNotEnoughData;
  LocatedBox b{};
  b.start = start;
  std::memcpy(b.type.c, buf.data() + reader.pos(), 4);
  b.box_size = size.value();
  std::uint64_t header_length = 8;
  if (size.value() == 1) {
    Mp4Reader large(buf, start + 8);
    Result<std::uint64_t> large_size = large.read_u64();
    if (!large_size.ok()) return large_size.error();
    b.box_size = large_size.value();
    header_length = 16;
  } else if (size.value() == 0) {
    b.box_size = buf.size() - start;
  }
  b.body_start = start + header_length;
  b.body_length = b.box_size > header_length ? b.box_size - header_length : 0;
  b.fits = b.body_length <= buf.size() - b.body_start;
  return b;
}

}  // namespace

Result<std::uint32_t> Mp4Reader::read_u32() {
  if (remaining() < 4) return kNotEnoughData;
  const std::uint32_t v = load_be32(data_.data() + pos_);
  pos_ += 4;
  return v;
}

Result<std::uint64_t> Mp4Reader::read_u64() {
  if (remaining() < 8) return kNotEnoughData;
  const std::uint64_t v = load_be64(data_.data() + pos_);
  pos_ += 8;
  return v;
}

std::uint64_t BoxInfo::body_length() const {
  if (const Mp4Box* b = regular()) return b->data.size();
  return mdat()->data_size;
}

Result<std::optional<BoxInfo>> TopLevelBoxes::next() {
  if (data_.size() - pos_ < 8) return std::optional<BoxInfo>{};
  Result<LocatedBox> located = locate(data_, pos_);
  if (!located.ok()) return located.error();
  const LocatedBox& b = located.value();
  if (!b.fits) return Error{"Box size " + std::to_string(b.box_size) + " exceeds available data"};
  BoxInfo info{BoxInfo::Mdat{b.body_start, b.body_length}, pos_};
  if (b.type != box_types::mdat) {
    info.form = BoxInfo::Regular{Mp4Box{b.type, data_.subspan(b.body_start, b.body_length), b.header_length()}};
  }
  pos_ = b.end();
  return std::optional<BoxInfo>{info};
}

Result<Mp4File> parse_mp4(ByteView data) {
  Mp4File file;
  TopLevelBoxes boxes(data);
  for (;;) {
    Result<std::optional<BoxInfo>> next = boxes.next();
    if (!next.ok()) return next.error();
    if (!next.value()) return file;
    const BoxInfo& info = file.box_infos.emplace_back(*next.value());
    if (info.is(box_types::moov)) file.moov = *info.regular();
  }
}

Result<std::vector<Mp4Box>> parse_container_box(ByteView body) {
  std::vector<Mp4Box> children;
  std::uint64_t pos = 0;
  while (body.size() - pos >= 8) {
    Result<LocatedBox> located = locate(body, pos);
    if (!located.ok()) return located.error();
    const LocatedBox& b = located.value();
    if (!b.fits) break;
    children.push_back(Mp4Box{b.type, body.subspan(b.body_start, b.body_length), b.header_length()});
    pos = b.end();
  }
  return children;
}

std::uint64_t box_size(std::uint64_t body_length) {
  return body_length + (body_length <= 0xFFFFFFF7u ? 8 : 16);
}

void write_box(ByteBuilder& out, FourCC type, ByteView body) {
  write_box_header(out, type, body.size());
  out.bytes(body);
}

std::uint64_t box_size_like(std::uint64_t body_length, std::uint8_t header_length) {
  return header_length == 16 ? body_length + 16 : box_size(body_length);
}

void write_box_like(ByteBuilder& out, const Mp4Box& like, ByteView body) {
  write_box_header_like(out, like.box_type, body.size(), like.header_length);
  out.bytes(body);
}

std::size_t begin_box(ByteBuilder& out, FourCC type) {
  const std::size_t at = out.size();
  out.u32(0);
  out.fourcc(type);
  return at;
}

std::size_t begin_box_like(ByteBuilder& out, const Mp4Box& like) {
  if (like.header_length != 16) return begin_box(out, like.box_type);
  const std::size_t at = out.size();
  out.u32(1);
  out.fourcc(like.box_type);
  out.u64(0);
  return at;
}

void end_box(ByteBuilder& out, std::size_t at) {
  std::vector<std::uint8_t>& buf = out.data();
  if (load_be32(buf.data() + at) == 1) {  // a 64-bit header reserved by begin_box_like
    store_be64(buf.data() + at + 8, buf.size() - at);
    return;
  }
  const std::uint64_t body_length = buf.size() - at - 8;
  if (body_length <= 0xFFFFFFF7u) {
    store_be32(buf.data() + at, static_cast<std::uint32_t>(body_length + 8));
    return;
  }
  buf.insert(buf.begin() + static_cast<std::ptrdiff_t>(at + 8), 8, 0);
  store_be32(buf.data() + at, 1);
  store_be64(buf.data() + at + 8, body_length + 16);
}

}  // namespace quaver
