// MPEG transport stream demultiplexer.
//
// In: a whole transport stream in memory, of 188-byte packets or of 192-byte
// M2TS packets (a 4-byte timestamp in front of each), the stride decided by
// the packets after the first sync byte. Out: the elementary stream of the
// programme's H.264 or HEVC video (one timestamp pair per PES start), the
// frames of each audio stream taken (AAC, AC-3, E-AC-3 or MPEG audio) with
// the PES each begins in, the first parameter sets, the picture size, and
// the inventory of every programme and stream (see stream_choice.hpp for
// which streams are taken). PAT and PMT sections are read once whole and
// checked. Damaged packets are skipped or resynchronised; the failures are
// an input without any sync byte and streams asked for that cannot be
// taken. A short report is written to the given sink when the walk is done.
#pragma once

#include "core/bytes.hpp"
#include "core/result.hpp"
#include "ts_parser/media_data.hpp"
#include "ts_parser/report.hpp"
#include "ts_parser/stream_choice.hpp"

namespace quaver {

// The returned record refers to `data`, which must outlive it.
Result<MediaData> parse_ts_packets(ByteView data, Report& report = stdout_report(),
                                   const DemuxOptions& options = DemuxOptions());

// (PTS, DTS) of the PES header at the start of `pes`, as the 33-bit values
// stored there.
TimestampPair extract_pes_timestamps(ByteView pes);

}  // namespace quaver
