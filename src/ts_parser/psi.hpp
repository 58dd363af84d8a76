// Programme-specific information: PAT and PMT sections, put back together
// over the packets they span and checked by their CRC.
//
// A section opens in a packet whose payload_unit_start_indicator is set, at
// the place its pointer_field names, and may continue through the payloads
// of the PID's next packets. Only a whole section whose CRC_32 checks is
// handed on: a damaged copy is dropped, and the table's next copy is used.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/bytes.hpp"

namespace quaver {

// CRC-32/MPEG-2 (polynomial 0x04C11DB7, initial value all ones, no
// reflection, no final xor). Over a section including its CRC_32 it is 0.
std::uint32_t crc32_mpeg2(ByteView data);

// The sections of one PID, as its packets arrive.
class SectionAssembler {
 public:
  // Takes one packet's payload; calls on_section(section) for each whole
  // section it completes (table_id through CRC_32) whose CRC checks.
  template <class OnSection>
  void feed(ByteView payload, bool unit_start, OnSection&& on_section);

 private:
  // Appends bytes to the open section; true when it is complete, and then
  // closes it.
  bool grow(ByteView bytes);
  std::size_t wanted() const;  // bytes of the open section once its length is known, else 0

  std::vector<std::uint8_t> open_;
  bool active_ = false;
};

// A PAT or PMT section can hold at most 1021 bytes after its length field.
inline constexpr std::size_t kMaxSectionLength = 1021;

inline std::size_t SectionAssembler::wanted() const {
  if (open_.size() < 3) return 0;
  return 3 + (((std::size_t{open_[1]} & 0x0F) << 8) | open_[2]);
}

template <class OnSection>
void SectionAssembler::feed(ByteView payload, bool unit_start, OnSection&& on_section) {
  const auto deliver = [&] {
    const ByteView section(open_.data(), open_.size());
    if (section.size() >= 12 && (section[1] & 0x80) && crc32_mpeg2(section) == 0) on_section(section);
    open_.clear();
  };
  if (!unit_start) {
    if (active_ && grow(payload)) deliver();
    return;
  }
  if (payload.empty()) return;
  const std::size_t pointer = payload[0];
  ByteView rest = payload.subspan(1);
  if (pointer > rest.size()) {  // a damaged pointer: nothing here can be placed
    active_ = false;
    open_.clear();
    return;
  }
  if (active_ && grow(rest.first(pointer))) deliver();
  active_ = false;
  open_.clear();
  rest = rest.subspan(pointer);
  // Sections follow each other until stuffing (0xFF) or the end of the payload.
  while (!rest.empty() && rest[0] != 0xFF) {
    active_ = true;
    if (!grow(rest)) return;  // continues in the next packet (or was refused)
    const std::size_t used = open_.size();
    deliver();
    rest = rest.subspan(used);
  }
}

}  // namespace quaver
