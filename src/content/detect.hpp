// What an input is, judged from its bytes alone.
//
// A transport stream has a sync byte every 188 bytes (every 192 in M2TS,
// where a 4-byte timestamp precedes each packet), possibly behind junk
// (a capture that started mid-packet, a padded file); an MP4 starts with a
// top-level box of a type that may open a file, and is fragmented when a
// top-level moof follows. Anything else is refused with a message saying
// what the bytes were recognised as (another container, a raw stream, a
// playlist, ...) and what to do about it.
#pragma once

#include <optional>
#include <string>
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

// The input as its job reads it: a transport stream from the sync byte of
// its first packet (a view into the input, after any junk), anything else
// whole. The demultiplexer finds the packet size itself.
struct DetectedInput {
  InputKind kind;
  ByteView data;
};

Result<DetectedInput> detect_input(ByteView data);
Result<InputKind> detect_input_kind(ByteView data);

// What the bytes are, in words that finish "the input is ...": "an MPEG-TS",
// "a regular MP4 ...", or what detection refuses them as.
std::string describe_input(ByteView data);

// What the first bytes of a file look like, for deciding whether a file is
// media before reading it whole: "ts", "m2ts", "mp4", or nothing. `head` is
// the file's first kSniffLength bytes, or all of it when it is shorter.
inline constexpr std::size_t kSniffLength = 64 * 1024 + 188 * 6;
std::optional<std::string_view> sniff_container(ByteView head);

}  // namespace quaver
