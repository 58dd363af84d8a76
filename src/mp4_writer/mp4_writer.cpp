#include "mp4_writer/mp4_writer.hpp"

#include <algorithm>

#include "ts_parser/ts_parser.hpp"

namespace quaver {

namespace {

constexpr std::uint8_t kFtyp[kFtypSize] = {0x00, 0x00, 0x00, 0x1C, 'f', 't', 'y', 'p', 'i', 's',
                                           'o',  'm',  0x00, 0x00, 0x02, 0x00, 'i', 's', 'o', 'm',
                                           'i',  's',  'o',  '2',  'm',  'p',  '4', '1'};

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
  if (layout.too_large) {
    return Error{"Output too large: a video sample does not fit a 32-bit sample size", ErrorKind::kUnsupported};
  }
  ChunkLayout chunks;
  chunks.mdat_header = fits_32_bits(payload + 8) ? 8 : 16;

  // The layout is decided with every track on co64: a track whose chunk
  // offset fits 32 bits there keeps an stco entry, 4 bytes shorter, which
  // only moves the samples closer. The timing serves both passes and is let
  // go before the output is written.
  const std::vector<std::uint8_t> moov = [&] {
    const MovieTiming timing = plan_timing(media, layout);
    std::uint64_t sized = build_moov(media, layout, timing, 0, video_bytes, chunks).size();
    std::uint64_t chunk = kFtypSize + sized + chunks.mdat_header;
    const auto place = [&](std::uint64_t bytes) {
      chunks.narrow_tracks.push_back(fits_32_bits(chunk));
      chunk += bytes;
    };
    if (has_video) place(video_bytes);
    for (const AudioTrack* track : audio) place(track->frame_bytes.size());
    for (bool narrow : chunks.narrow_tracks) sized -= narrow ? 4 : 0;
    std::vector<std::uint8_t> final_moov = build_moov(media, layout, timing, sized, video_bytes, chunks);
    if (final_moov.size() != sized) fault("moov size changed between passes");
    return final_moov;
  }();

  OutBuffer out = OutBuffer::allocate(sizeof kFtyp + moov.size() + chunks.mdat_header + payload, alloc);
  FixedWriter w(out);
  w.bytes(kFtyp, sizeof kFtyp);
  w.bytes(moov.data(), moov.size());
  write_box_header(w, fourcc("mdat"), payload, chunks.mdat_header);
  for (std::size_t k = 0; k < layout.nal_starts.size(); ++k) {
    const std::uint32_t size = layout.nal_sizes[k];
    if (layout.length_prefixed) w.u32(size);
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
