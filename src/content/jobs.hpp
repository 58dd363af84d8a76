// The jobs of the package layer, each chosen by what its input is.
//
// remux: a transport stream is converted, a fragmented MP4 unfolded, a
// regular MP4 rebased to 0, all to a regular MP4. A transport stream without
// video gives an audio-only file, and the report says what the result leaves
// out. The caller may name the streams to keep (TS PIDs, MP4 track IDs).
// key_frame: the first key frame of a transport stream or an MP4,
// fragmented or not, as Annex B.
// merge: a video fMP4 and an audio fMP4 into one regular MP4. Refused:
// whatever detect_input refuses, a media segment without the moov that
// describes its samples, an input of the wrong kind for its job, and any
// result that would hold no sample at all.
#pragma once

#include <string_view>

#include "core/bytes.hpp"
#include "core/output.hpp"
#include "core/result.hpp"
#include "ts_parser/media_data.hpp"
#include "ts_parser/report.hpp"
#include "ts_parser/stream_choice.hpp"

namespace quaver {

// For MP4 inputs, naming video keeps that video track and no other video
// track, naming audio likewise; tracks of other kinds stay. Two or more
// audio streams named become alternatives of one group, the first enabled.
Result<OutBuffer> remux_streams(ByteView data, OutputAllocator& alloc, Report& report, const StreamRequest& request);
// The same with today's choice of streams (every track of an MP4).
Result<OutBuffer> remux(ByteView data, OutputAllocator& alloc, Report& report);

// Success when an MP4 has every track named by ID as a track of its kind
// (video: handler "vide", audio: "soun"); else the refusal naming the first
// one it does not have.
Result<void> check_named_tracks(ByteView mp4, const StreamRequest& request);

// A transport stream demultiplexed as the package's jobs read it: an
// audio-only programme may be taken, and what is left out is reported.
Result<MediaData> demultiplex(ByteView ts, Report& report, const StreamRequest& request = {},
                              bool every_audio = false);

// Where a key frame is looked for: the container detected from the content,
// or the one the caller names (the exact routines, without detection).
enum class KeyFrameSource { kDetect, kTransportStream, kMp4 };

// `codec`, when given, receives the coding format of the key frame.
Result<OutBuffer> key_frame(ByteView data, OutputAllocator& alloc, Report& report,
                            KeyFrameSource source = KeyFrameSource::kDetect, VideoCodec* codec = nullptr);

// The names stand for the inputs in messages ("the video input", a path).
// A clashing audio track ID is renumbered.
Result<OutBuffer> merge(ByteView video, ByteView audio, OutputAllocator& alloc,
                        std::string_view video_name = "the video input",
                        std::string_view audio_name = "the audio input");

// A result refused when it holds no sample (see content/samples.hpp).
Result<OutBuffer> refuse_empty(Result<OutBuffer> result);

// Inputs of the live processor: a segment must be fragmented and hold a
// sample; an initialisation segment must hold a moov. Success when it may go on.
Result<void> check_live_segment(ByteView segment);
Result<void> check_init_segment(ByteView init);

}  // namespace quaver
