// What quaver sees in an input, as a JSON object: the container, the
// programmes of a transport stream, and each track with its codec, its
// size or rate, its length, its sample and key-frame counts, and whether
// the remux keeps it (and why not). It reads the input with the same
// parsers the jobs use, with the same choice of streams; fields that do not
// apply to a track, or that the input does not tell, are left out.
#pragma once

#include <string>

#include "core/bytes.hpp"
#include "core/result.hpp"
#include "ts_parser/stream_choice.hpp"

namespace quaver {

Result<std::string> probe(ByteView data, const StreamRequest& request = {});

}  // namespace quaver
