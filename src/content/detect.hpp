// What an input is, judged from its bytes alone.
//
// A transport stream has a sync byte every 188 bytes; an MP4 starts with a
// top-level box of a type that may open a file, and is fragmented when a
// top-level moof follows. Anything else is refused with a message saying
// what the bytes were recognised as (another container, a raw stream, a
// playlist, ...) and what to do about it.
#pragma once

#include <string_view>

#include "core/bytes.hpp"
#include "core/result.hpp"

namespace quaver {

enum class InputKind {
  kTransportStream,  // 188-byte packets
  kFragmentedMp4,    // moov, then moof/mdat fragments
  kMediaSegment,     // moof/mdat fragments without the moov that describes them
  kRegularMp4,       // moov without fragments (an initialisation segment alone too)
};

// The short name the package layer uses: "ts", "fmp4", "segment", "mp4".
std::string_view kind_name(InputKind kind);

Result<InputKind> detect_input_kind(ByteView data);

}  // namespace quaver
