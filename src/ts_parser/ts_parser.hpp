// MPEG transport stream demultiplexer.
//
// In: a whole transport stream in memory. Out: the elementary stream of the
// programme's H.264 or HEVC video (one timestamp pair per PES start), the
// frames of its AAC, AC-3, E-AC-3 or MPEG audio with the PES each begins in
// (see stream_choice.hpp for which streams are taken), the first parameter sets
// and the picture size. Damaged packets are skipped or
// resynchronised; the only failure is an input without any sync byte. A
// short report is written to the given sink when the walk is done.
#pragma once

#include "core/bytes.hpp"
#include "core/result.hpp"
#include "ts_parser/media_data.hpp"
#include "ts_parser/report.hpp"

namespace quaver {

// The returned record refers to `data`, which must outlive it.
Result<MediaData> parse_ts_packets(ByteView data, Report& report = stdout_report());

// (PTS, DTS) of the PES header at the start of `pes`, as the 33-bit values
// stored there.
TimestampPair extract_pes_timestamps(ByteView pes);

}  // namespace quaver
