// What each track of an MP4 is, read from the moov and, for a fragmented
// file, from its fragments: the facts a probe reports and a track choice
// is checked against. Sample counts and durations cover the samples of the
// moov's tables and those of every fragment.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/bytes.hpp"
#include "core/result.hpp"

namespace quaver {

struct Mp4TrackFacts {
  std::uint32_t track_id = 0;
  FourCC handler{};              // the hdlr handler type: "vide", "soun", ...; zeros when there is none
  FourCC entry{};                // the type of the first sample entry; zeros when there is none
  std::uint8_t object_type = 0;  // the esds object type of an mp4a or mp4v entry; 0 when there is none
  std::uint16_t width = 0;       // pixels, from a visual sample entry
  std::uint16_t height = 0;
  std::uint16_t channels = 0;    // from an audio sample entry
  std::uint32_t sample_rate = 0; // Hz, the integer part of an audio sample entry's 16.16 field
  std::array<char, 3> language{};  // the mdhd's ISO 639-2 code; zeros for "und" or none
  std::uint32_t timescale = 0;   // media units a second
  std::uint64_t duration = 0;    // media units: the moov's own samples (its mdhd) and every fragment's
  std::uint64_t samples = 0;
  std::uint64_t sync_samples = 0;  // samples that decode on their own (every one where nothing says otherwise)
};

// The tracks in trak order. Refused: what the box layer refuses, and a
// fragmented file whose fragments cannot be collected.
Result<std::vector<Mp4TrackFacts>> list_tracks(ByteView data);

// The track ID and handler type of a trak body (zeros where they cannot be read).
struct TrakIdentity {
  std::uint32_t track_id = 0;
  FourCC handler{};
};
TrakIdentity identify_trak(ByteView trak_body);

}  // namespace quaver
