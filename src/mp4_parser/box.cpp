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

}  // namespace quaver
