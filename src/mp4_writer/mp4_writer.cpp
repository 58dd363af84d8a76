#include "mp4_writer/mp4_writer.hpp"

#include <algorithm>

#include "ts_parser/ts_parser.hpp"

namespace quaver {

namespace {

constexpr std::uint8_t kFtyp[28] = {0x00, 0x00, 0x00, 0x1C, 'f', 't', 'y', 'p', 'i', 's', 'o', 'm', 0x00, 0x00,
                                    0x02, 0x00, 'i',  's',  'o',  'm', 'i', 's', 'o', '2', 'm', 'p', '4', '1'};
constexpr std::uint64_t kLimit32 = std::uint64_t{1} << 32;

}  // namespace

Result<OutBuffer> write_mp4(MediaData media, OutputAllocator& alloc, bool audio_only) {
  const std::vector<const AudioTrack*> audio = written_audio(media);
  const bool has_video = !media.video_data.empty();
  if (!has_video && !(audio_only && !audio.empty())) return Error{"No video data found", ErrorKind::kNothingToDo};

  const SampleLayout layout = layout_video(media);
  keep_sample_times(media.video_timestamps, layout);
  media.video_data.release_start_codes();  // the samples are found; only their bytes are read from here on
  const std::uint64_t video_bytes = layout.video_bytes;
  std::uint64_t audio_bytes = 0;
  for (const AudioTrack* track : audio) audio_bytes += track->frame_bytes.size();
  const std::uint64_t payload = video_bytes + audio_bytes;
  // Every size and offset of this layout is a 32-bit field; wrapped values
  // would produce a file that points at the wrong bytes.
  if (layout.too_large || payload >= kLimit32 - 8) {
    return Error{"Output too large: mdat payload does not fit a 32-bit box size", ErrorKind::kUnsupported};
  }

  // The timing serves both passes and is let go before the output is written.
  const std::vector<std::uint8_t> moov = [&] {
    const MovieTiming timing = plan_timing(media, layout);
    const std::uint64_t sized = build_moov(media, layout, timing, 0, video_bytes).size();
    std::vector<std::uint8_t> final_moov = build_moov(media, layout, timing, sized, video_bytes);
    if (final_moov.size() != sized) fault("moov size changed between passes");
    return final_moov;
  }();
  const std::uint64_t moov_size = moov.size();
  // The last chunk starts where the last track's samples do.
  const std::uint64_t last_chunk =
      moov_size + 36 + (audio.empty() ? 0 : video_bytes + audio_bytes - audio.back()->frame_bytes.size());
  if (last_chunk >= kLimit32)
    return Error{"Output too large: chunk offset does not fit 32 bits", ErrorKind::kUnsupported};

  OutBuffer out = OutBuffer::allocate(sizeof kFtyp + moov.size() + 8 + payload, alloc);
  FixedWriter w(out);
  w.bytes(kFtyp, sizeof kFtyp);
  w.bytes(moov.data(), moov.size());
  w.u32(static_cast<std::uint32_t>(payload + 8));
  w.bytes(reinterpret_cast<const std::uint8_t*>("mdat"), 4);
  for (std::size_t k = 0; k < layout.nal_starts.size(); ++k) {
    const std::uint32_t size = layout.nal_sizes[k];
    w.u32(size);
    media.video_data.copy_to(w.room(size), layout.nal_starts[k], size);
  }
  // In pieces, so that a result written to a file goes through its writer's buffer.
  constexpr std::size_t kPiece = std::size_t{1} << 20;
  for (const AudioTrack* track : audio) {
    const ChunkedBytes& bytes = track->frame_bytes;
    for (std::size_t at = 0; at < bytes.size(); at += kPiece) {
      const std::size_t n = std::min(kPiece, bytes.size() - at);
      bytes.copy_to(w.room(n), at, n);
    }
  }
  w.finish();
  return out;
}

Result<OutBuffer> create_mp4_with_options(MediaData media, bool /*reset_timestamps*/, OutputAllocator& alloc) {
  return write_mp4(std::move(media), alloc);
}

Result<OutBuffer> convert_ts_to_mp4(ByteView data, bool reset_timestamps, OutputAllocator& alloc,
                                    Report& report) {
  Result<MediaData> media = parse_ts_packets(data, report);
  if (!media.ok()) return media.error();
  return create_mp4_with_options(media.take(), reset_timestamps, alloc);
}

}  // namespace quaver
