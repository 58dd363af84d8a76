#include "content/jobs.hpp"

#include "content/detect.hpp"
#include "mp4_parser/defragment.hpp"
#include "mp4_parser/rebase.hpp"
#include "mp4_writer/mp4_writer.hpp"
#include "thumbnail/thumbnail.hpp"

namespace quaver {

namespace {

const Error kLoneSegment{
    "a fragmented MP4 media segment without its initialisation segment (moof boxes but no moov): put the "
    "initialisation segment in front of it"};

}  // namespace

Result<OutBuffer> remux(ByteView data, OutputAllocator& alloc, Report& report) {
  Result<InputKind> kind = detect_input_kind(data);
  if (!kind.ok()) return kind.error();
  switch (kind.value()) {
    case InputKind::kTransportStream:
      return convert_ts_to_mp4(data, false, alloc, report);
    case InputKind::kFragmentedMp4:
      // Not the unfold-or-rebase choice: a fragmented file that cannot be
      // unfolded must fail rather than come back still fragmented.
      return defragment_mp4(data, alloc);
    case InputKind::kRegularMp4:
      return convert_mp4_reset_timestamps(data, alloc);
    case InputKind::kMediaSegment:
      return kLoneSegment;
  }
  fault("unknown input kind");
}

Result<OutBuffer> key_frame(ByteView data, OutputAllocator& alloc, Report& report) {
  Result<InputKind> kind = detect_input_kind(data);
  if (!kind.ok()) return kind.error();
  switch (kind.value()) {
    case InputKind::kTransportStream:
      return extract_thumbnail_from_ts(data, alloc, report);
    case InputKind::kRegularMp4:
    case InputKind::kFragmentedMp4:
      return extract_thumbnail_from_mp4(data, alloc);
    case InputKind::kMediaSegment:
      return kLoneSegment;
  }
  fault("unknown input kind");
}

}  // namespace quaver
