#include "mp4_parser/track_selection.hpp"

#include <algorithm>

#include "mp4_parser/box.hpp"
#include "mp4_parser/box_fields.hpp"

namespace quaver {

namespace {

// The moov of a written file, where its boxes can be changed in place.
template <class Visit>
void for_each_trak(std::span<std::uint8_t> file, Visit&& visit) {
  const ByteView view(file.data(), file.size());
  TopLevelBoxes boxes(view);
  for (;;) {
    Result<std::optional<BoxInfo>> next = boxes.next();
    if (!next.ok() || !next.value()) return;
    if (!next.value()->is(box_types::moov)) continue;
    Result<std::vector<Mp4Box>> children = parse_container_box(next.value()->regular()->data);
    if (!children.ok()) return;
    for (const Mp4Box& c : children.value()) {
      if (c.box_type != box_types::trak) continue;
      const std::size_t body = static_cast<std::size_t>(c.data.data() - view.data());
      visit(c, std::span<std::uint8_t>(file.data() + body, c.data.size()), body - c.header_length);
    }
  }
}

}  // namespace

std::vector<std::uint8_t> moov_keeping(ByteView moov_body, const TrakFilter& keep) {
  ByteBuilder out;
  Result<std::vector<Mp4Box>> children = parse_container_box(moov_body);
  if (!children.ok()) return {moov_body.begin(), moov_body.end()};
  for (const Mp4Box& c : children.value()) {
    if (c.box_type == box_types::trak && !keep(identify_trak(c.data))) continue;
    out.box(c.box_type, c.data, c.header_length);
  }
  return std::move(out.data());
}

void leave_out_traks(std::span<std::uint8_t> file, const TrakFilter& keep) {
  for_each_trak(file, [&](const Mp4Box& trak, std::span<std::uint8_t>, std::size_t start) {
    if (keep(identify_trak(trak.data))) return;
    const FourCC free = fourcc("free");
    std::copy_n(free.c, 4, file.data() + start + 4);
  });
}

void make_alternates(std::span<std::uint8_t> file, const std::vector<std::uint32_t>& track_ids) {
  // The group: one past every group the other tracks use.
  std::uint32_t group = 1;
  std::vector<std::pair<std::uint32_t, std::span<std::uint8_t>>> headers;  // tkhd bodies of the tracks named
  for_each_trak(file, [&](const Mp4Box&, std::span<std::uint8_t> body, std::size_t) {
    Result<std::vector<Mp4Box>> children = parse_container_box(ByteView(body.data(), body.size()));
    if (!children.ok()) return;
    const Mp4Box* tkhd = first_child(children.value(), box_types::tkhd);
    if (!tkhd) return;
    const TrackHeader header(tkhd->data);
    const std::span<std::uint8_t> writable(body.data() + (tkhd->data.data() - body.data()), tkhd->data.size());
    const std::uint32_t id = header.track_id().value_or(0);
    if (std::find(track_ids.begin(), track_ids.end(), id) != track_ids.end()) {
      headers.emplace_back(id, writable);
    } else if (const std::optional<std::uint16_t> other = header.alternate_group()) {
      group = std::clamp<std::uint32_t>(*other + 1u, group, 0xFFFFu);
    }
  });
  for (auto& [id, header] : headers) {
    TrackHeader(ByteView(header.data(), header.size()))
        .set_alternative(header, static_cast<std::uint16_t>(group), id == track_ids.front());
  }
}

}  // namespace quaver
