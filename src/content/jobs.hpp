// The jobs of the package layer, each chosen by what its input is.
//
// remux: a transport stream is converted, a fragmented MP4 unfolded, a
// regular MP4 rebased to 0, all to a regular MP4. key_frame: the first key
// frame of a transport stream or an MP4, fragmented or not, as Annex B.
// Refused: whatever detect_input_kind refuses, and a media segment without
// the moov that describes its samples.
#pragma once

#include "core/bytes.hpp"
#include "core/output.hpp"
#include "core/result.hpp"
#include "ts_parser/report.hpp"

namespace quaver {

Result<OutBuffer> remux(ByteView data, OutputAllocator& alloc, Report& report);

Result<OutBuffer> key_frame(ByteView data, OutputAllocator& alloc, Report& report);

}  // namespace quaver
