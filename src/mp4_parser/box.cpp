#include "mp4_parser/box.hpp"

#include <string>

namespace quaver {

Error BoxWalk::refusal(Refusal why, std::uint64_t size) {
  switch (why) {
    case Refusal::kInvalidSize:
      return Error{"Invalid box size"};
    case Refusal::kShortHeader:
      return Error{"Not enough data"};
    case Refusal::kOverrun:
      break;
  }
  return Error{"Box size " + std::to_string(size) + " exceeds available data"};
}

std::uint64_t BoxInfo::body_length() const {
  if (const Mp4Box* b = regular()) return b->data.size();
  return mdat()->data_size;
}

Result<std::optional<BoxInfo>> TopLevelBoxes::next() {
  const std::uint64_t start = walk_.position();
  Result<std::optional<Mp4Box>> next = walk_.next();
  if (!next.ok()) return next.error();
  if (!next.value()) return std::optional<BoxInfo>{};
  const Mp4Box& b = *next.value();
  if (b.box_type == box_types::mdat) {
    return std::optional<BoxInfo>{BoxInfo{BoxInfo::Mdat{start + b.header_length, b.data.size()}, start}};
  }
  return std::optional<BoxInfo>{BoxInfo{BoxInfo::Regular{b}, start}};
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
  BoxWalk walk(body, BoxHeaders::kAll, Overrun::kEnd);
  for (;;) {
    Result<std::optional<Mp4Box>> next = walk.next();
    if (!next.ok()) return next.error();
    if (!next.value()) return children;
    children.push_back(*next.value());
  }
}

const Mp4Box* first_child(const std::vector<Mp4Box>& children, FourCC type) {
  for (const Mp4Box& b : children) {
    if (b.box_type == type) return &b;
  }
  return nullptr;
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
