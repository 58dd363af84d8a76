#include "content/jobs.hpp"

#include <algorithm>
#include <string>

#include "content/detect.hpp"
#include "content/samples.hpp"
#include "mp4_parser/defragment.hpp"
#include "mp4_parser/mux.hpp"
#include "mp4_parser/rebase.hpp"
#include "mp4_parser/track_list.hpp"
#include "mp4_parser/track_selection.hpp"
#include "mp4_writer/mp4_writer.hpp"
#include "thumbnail/thumbnail.hpp"
#include "ts_parser/ts_parser.hpp"

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

// Why a transport stream gives nothing to write, in the package's words;
// success where there is something, or where the writer's own refusal
// says it ("No video data found").
Result<void> check_written(const MediaData& media) {
  if (!media.video_data.empty() || !written_audio(media).empty()) return {};
  if (media.inventory.every_video_scrambled) {
    return Error{"every program with video is scrambled", ErrorKind::kUnsupported};
  }
  if (!media.video_pid && media.carried_audio > 0) {
    return Error{"no video in the input, and no frame of its audio could be read", ErrorKind::kNothingToDo};
  }
  return {};
}

std::string kind_word(FourCC handler) { return handler == fourcc("vide") ? "video" : "audio"; }

}  // namespace

Result<void> check_named_tracks(ByteView data, const StreamRequest& request) {
  Result<std::vector<Mp4TrackFacts>> tracks = list_tracks(data);
  if (!tracks.ok()) return tracks.error();
  const auto check = [&](std::uint32_t id, FourCC handler) -> Result<void> {
    std::string have;
    for (const Mp4TrackFacts& t : tracks.value()) {
      if (t.track_id == id && t.handler == handler) return {};
      if (t.handler == handler) have += (have.empty() ? "" : ", ") + std::to_string(t.track_id);
    }
    const std::string kind = kind_word(handler);
    return Error{"no " + kind + " track with ID " + std::to_string(id) + " in the input (" +
                     (have.empty() ? "it has no " + kind : "its " + kind + " tracks: " + have) + ")",
                 ErrorKind::kNothingToDo};
  };
  if (request.video) {
    if (Result<void> named = check(*request.video, fourcc("vide")); !named.ok()) return named;
  }
  for (std::uint32_t id : request.audio.value_or(std::vector<std::uint32_t>{})) {
    if (Result<void> named = check(id, fourcc("soun")); !named.ok()) return named;
  }
  return {};
}

namespace {

// The tracks of an MP4 a request keeps.
TrakFilter keeping(const StreamRequest& request) {
  return [request](const TrakIdentity& t) {
    if (t.handler == fourcc("vide") && request.video) return t.track_id == *request.video;
    if (t.handler == fourcc("soun") && request.audio) {
      return std::find(request.audio->begin(), request.audio->end(), t.track_id) != request.audio->end();
    }
    return true;
  };
}

Result<OutBuffer> remux_mp4(ByteView data, InputKind kind, OutputAllocator& alloc, const StreamRequest& request) {
  const bool named = request.video || request.audio;
  if (named) {
    if (Result<void> tracks = check_named_tracks(data, request); !tracks.ok()) return tracks.error();
  }
  // Not the unfold-or-rebase choice for a fragmented file: one that cannot
  // be unfolded must fail rather than come back still fragmented.
  Result<OutBuffer> result = kind == InputKind::kFragmentedMp4
                                 ? defragment_mp4(data, alloc, named ? keeping(request) : TrakFilter())
                                 : convert_mp4_reset_timestamps(data, alloc);
  if (result.ok() && named) {
    const std::span<std::uint8_t> file(result.value().data(), result.value().size());
    if (kind != InputKind::kFragmentedMp4) leave_out_traks(file, keeping(request));
    if (request.audio && request.audio->size() > 1) make_alternates(file, *request.audio);
  }
  return refuse_empty(std::move(result));
}

}  // namespace

Result<MediaData> demultiplex(ByteView ts, Report& report, const StreamRequest& request, bool every_audio) {
  DemuxOptions options;
  options.request = request;
  options.audio_only = true;
  options.left_out_lines = true;
  options.every_audio = every_audio;
  return parse_ts_packets(ts, report, options);
}

Result<OutBuffer> refuse_empty(Result<OutBuffer> result) {
  if (result.ok() && !holds_samples(result.value().view())) {
    return Error{"nothing to write: the result would hold no samples (an initialisation segment alone?)",
                 ErrorKind::kNothingToDo};
  }
  return result;
}

Result<OutBuffer> remux(ByteView data, OutputAllocator& alloc, Report& report) {
  return remux_streams(data, alloc, report, {});
}

Result<OutBuffer> remux_streams(ByteView data, OutputAllocator& alloc, Report& report, const StreamRequest& request) {
  Result<DetectedInput> detected = detect_input(data);
  if (!detected.ok()) return detected.error();
  const ByteView input = detected.value().data;
  switch (detected.value().kind) {
    case InputKind::kTransportStream: {
      Result<MediaData> media = demultiplex(input, report, request);
      if (!media.ok()) return media.error();
      if (Result<void> written = check_written(media.value()); !written.ok()) return written.error();
      return refuse_empty(write_mp4(media.take(), alloc, true));
    }
    case InputKind::kFragmentedMp4:
    case InputKind::kRegularMp4:
      return remux_mp4(input, detected.value().kind, alloc, request);
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
    case InputKind::kTransportStream: {
      DemuxOptions options;
      options.audio_only = true;  // to say that the input has audio only
      Result<MediaData> media = parse_ts_packets(input, report, options);
      if (!media.ok()) return media.error();
      if (Result<void> written = check_written(media.value()); !written.ok()) return written.error();
      if (media.value().video_data.empty() && !written_audio(media.value()).empty()) {
        return Error{"no video: a key frame is taken from video, and the input holds audio only",
                     ErrorKind::kNothingToDo};
      }
      return key_frame_of(media.value(), alloc, codec);
    }
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
