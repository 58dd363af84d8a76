// MPEG transport stream demultiplexer.
//
// In: a whole transport stream in memory. Out: the video elementary stream of
// the first H.264/MPEG-2 video PID of the programme (one timestamp pair per
// PES start), the AAC frames of its first ADTS audio PID (one PTS each), the
// first SPS and PPS and the picture size. Damaged packets are skipped or
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
