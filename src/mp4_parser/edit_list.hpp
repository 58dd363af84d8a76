// Edit lists: how a track's media is laid on the movie's timeline.
//
// The elst view of the field layer (box_fields.hpp): an elst is read into
// its entries (64-bit in version 1, 32-bit otherwise) and written back
// from them; a list read and written unchanged gives back its own bytes
// (version, flags and any bytes after the last entry included).
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "core/bytes.hpp"
#include "mp4_parser/box.hpp"

namespace quaver {

struct Edit {
  std::uint64_t segment_duration = 0;  // movie timescale; 0 in an init segment: to the end of the media
  std::int64_t media_time = 0;         // media timescale; -1: an empty edit, which shows nothing
  std::uint32_t rate = 0x00010000;     // media rate integer and fraction, as stored

  bool empty() const { return media_time == -1; }
};

struct EditList {
  std::uint8_t version = 0;
  std::uint32_t flags = 0;
  std::vector<Edit> edits;
  ByteView trailing;  // bytes after the last entry
};

// Nothing when the body is shorter than its entry count says.
std::optional<EditList> read_elst(ByteView body);

// The body of the list: in its own version, or in version 1 when a value
// does not fit the 32-bit fields of version 0.
std::vector<std::uint8_t> elst_body(const EditList& list);

// The empty edit the first elst of an edts body starts with, in the movie
// timescale; 0 when it starts otherwise or cannot be read.
std::uint64_t leading_empty_edit(ByteView edts_body);

// The same, from the children of a trak (its first edts).
std::uint64_t leading_empty_edit(const std::vector<Mp4Box>& trak_children);

// Makes `leading` the empty edit the list starts with: its first empty
// entry takes that duration, one is put in front where it starts
// otherwise, and an empty entry whose duration reaches 0 is dropped.
void set_leading_empty_edit(EditList& list, std::uint64_t leading);

}  // namespace quaver
