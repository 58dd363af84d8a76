#include "content/jobs.hpp"

#include <string>

#include "content/detect.hpp"
#include "content/samples.hpp"
#include "mp4_parser/defragment.hpp"
#include "mp4_parser/mux.hpp"
#include "mp4_parser/rebase.hpp"
#include "mp4_writer/mp4_writer.hpp"
#include "thumbnail/thumbnail.hpp"

namespace quaver {

namespace {

const Error kLoneSegment{
    "a fragmented MP4 media segment without its initialisation segment (moof boxes but no moov): put the "
    "initialisation segment in front of it",
    ErrorKind::kUnsupported};

// A merge input must be a fragmented file holding samples of the kind of
// track it stands for.
Result<void> check_merge_input(ByteView data, std::string_view name, FourCC handler, std::string_view track_kind) {
  Result<InputKind> kind = detect_input_kind(data);
  if (!kind.ok() || kind.value() != InputKind::kFragmentedMp4) {
    const ErrorKind why = kind.ok() ? ErrorKind::kUnsupported : kind.error().kind;
    return Error{"merge needs fragmented MP4 inputs; " + std::string(name) + " is " + describe_input(data), why};
  }
  if (!holds_samples(data, handler)) {
    return Error{"merge takes the " + std::string(track_kind) + " from " + std::string(name) + ", which holds no " +
                     std::string(track_kind) + " samples",
                 ErrorKind::kNothingToDo};
  }
  return {};
}

}  // namespace

Result<OutBuffer> refuse_empty(Result<OutBuffer> result) {
  if (result.ok() && !holds_samples(result.value().view())) {
    return Error{"nothing to write: the result would hold no samples (an initialisation segment alone?)",
                 ErrorKind::kNothingToDo};
  }
  return result;
}

Result<OutBuffer> remux(ByteView data, OutputAllocator& alloc, Report& report) {
  Result<DetectedInput> detected = detect_input(data);
  if (!detected.ok()) return detected.error();
  const ByteView input = detected.value().data;
  switch (detected.value().kind) {
    case InputKind::kTransportStream:
      return refuse_empty(convert_ts_to_mp4(input, false, alloc, report));
    case InputKind::kFragmentedMp4:
      // Not the unfold-or-rebase choice: a fragmented file that cannot be
      // unfolded must fail rather than come back still fragmented.
      return refuse_empty(defragment_mp4(input, alloc));
    case InputKind::kRegularMp4:
      return refuse_empty(convert_mp4_reset_timestamps(input, alloc));
    case InputKind::kMediaSegment:
      return kLoneSegment;
  }
  fault("unknown input kind");
}

Result<OutBuffer> key_frame(ByteView data, OutputAllocator& alloc, Report& report, KeyFrameSource source,
                            VideoCodec* codec) {
  if (source == KeyFrameSource::kTransportStream) return extract_thumbnail_from_ts(data, alloc, report, codec);
  if (source == KeyFrameSource::kMp4) return extract_thumbnail_from_mp4(data, alloc, codec);
  Result<DetectedInput> detected = detect_input(data);
  if (!detected.ok()) return detected.error();
  const ByteView input = detected.value().data;
  switch (detected.value().kind) {
    case InputKind::kTransportStream:
      return extract_thumbnail_from_ts(input, alloc, report, codec);
    case InputKind::kRegularMp4:
    case InputKind::kFragmentedMp4:
      // The exact routine falls back on the first track; by content, an
      // input without video is refused rather than read as if it had some.
      if (!holds_video_track(input)) {
        return Error{"no video track: a key frame is taken from video, and the input has none",
                     ErrorKind::kNothingToDo};
      }
      return extract_thumbnail_from_mp4(input, alloc, codec);
    case InputKind::kMediaSegment:
      return kLoneSegment;
  }
  fault("unknown input kind");
}

Result<OutBuffer> merge(ByteView video, ByteView audio, OutputAllocator& alloc, std::string_view video_name,
                        std::string_view audio_name) {
  Result<void> input = check_merge_input(video, video_name, fourcc("vide"), "video");
  if (input.ok()) input = check_merge_input(audio, audio_name, fourcc("soun"), "audio");
  if (!input.ok()) return input.error();
  return mux_fmp4_tracks(video, audio, alloc, RepeatedTrackIds::kRenumberAudio);
}

Result<void> check_live_segment(ByteView segment) {
  Result<InputKind> kind = detect_input_kind(segment);
  if (!kind.ok() || (kind.value() != InputKind::kMediaSegment && kind.value() != InputKind::kFragmentedMp4)) {
    const ErrorKind why = kind.ok() ? ErrorKind::kUnsupported : kind.error().kind;
    return Error{"a live segment must be a fragmented MP4 media segment (moof and mdat); the input is " +
                     describe_input(segment),
                 why};
  }
  if (!holds_samples(segment)) return Error{"the segment holds no samples", ErrorKind::kNothingToDo};
  return {};
}

Result<void> check_init_segment(ByteView init) {
  Result<InputKind> kind = detect_input_kind(init);
  if (!kind.ok() || (kind.value() != InputKind::kRegularMp4 && kind.value() != InputKind::kFragmentedMp4)) {
    const ErrorKind why = kind.ok() ? ErrorKind::kUnsupported : kind.error().kind;
    return Error{"an initialisation segment must be an MP4 with a moov box; the input is " + describe_input(init),
                 why};
  }
  return {};
}

}  // namespace quaver
