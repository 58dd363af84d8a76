#include "mp4_parser/edit_list.hpp"

#include "mp4_parser/box_fields.hpp"

namespace quaver {

namespace {

bool fits_version_0(const Edit& e) {
  return e.segment_duration <= 0xFFFFFFFFu && e.media_time >= INT32_MIN && e.media_time <= INT32_MAX;
}

}  // namespace

std::optional<EditList> read_elst(ByteView body) {
  if (body.size() < 8) return std::nullopt;
  const FullBox box(body);
  EditList list;
  list.version = body[0];
  list.flags = box.flags();
  const bool v1 = box.version1();
  const std::size_t entry = v1 ? 20 : 12;
  const std::uint32_t count = load_be32(body.data() + 4);
  if ((body.size() - 8) / entry < count) return std::nullopt;
  list.edits.reserve(count);
  const std::uint8_t* p = body.data() + 8;
  for (std::uint32_t i = 0; i < count; ++i, p += entry) {
    Edit e;
    if (v1) {
      e.segment_duration = load_be64(p);
      e.media_time = static_cast<std::int64_t>(load_be64(p + 8));
      e.rate = load_be32(p + 16);
    } else {
      e.segment_duration = load_be32(p);
      e.media_time = static_cast<std::int32_t>(load_be32(p + 4));
      e.rate = load_be32(p + 8);
    }
    list.edits.push_back(e);
  }
  list.trailing = body.subspan(8 + std::size_t{count} * entry);
  return list;
}

std::vector<std::uint8_t> elst_body(const EditList& list) {
  bool v1 = list.version == 1;
  for (const Edit& e : list.edits) v1 |= !fits_version_0(e);
  ByteBuilder out;
  out.u8(v1 ? 1 : list.version);
  out.u24(list.flags);
  out.u32(static_cast<std::uint32_t>(list.edits.size()));
  for (const Edit& e : list.edits) {
    if (v1) {
      out.u64(e.segment_duration);
      out.u64(static_cast<std::uint64_t>(e.media_time));
    } else {
      out.u32(static_cast<std::uint32_t>(e.segment_duration));
      out.u32(static_cast<std::uint32_t>(static_cast<std::int32_t>(e.media_time)));
    }
    out.u32(e.rate);
  }
  out.bytes(list.trailing);
  return std::move(out.data());
}

std::uint64_t leading_empty_edit(ByteView edts_body) {
  Result<std::vector<Mp4Box>> children = parse_container_box(edts_body);
  if (!children.ok()) return 0;
  for (const Mp4Box& c : children.value()) {
    if (c.box_type != box_types::elst) continue;
    const std::optional<EditList> list = read_elst(c.data);
    return list && !list->edits.empty() && list->edits.front().empty() ? list->edits.front().segment_duration : 0;
  }
  return 0;
}

std::uint64_t leading_empty_edit(const std::vector<Mp4Box>& trak_children) {
  for (const Mp4Box& c : trak_children) {
    if (c.box_type == box_types::edts) return leading_empty_edit(c.data);
  }
  return 0;
}

void set_leading_empty_edit(EditList& list, std::uint64_t leading) {
  const bool has_one = !list.edits.empty() && list.edits.front().empty();
  if (leading == 0) {
    if (has_one) list.edits.erase(list.edits.begin());
  } else if (has_one) {
    list.edits.front().segment_duration = leading;
  } else {
    list.edits.insert(list.edits.begin(), Edit{leading, -1, 0x00010000});
  }
}

}  // namespace quaver
