#include "mp4_parser/regular_file.hpp"

#include "mp4_parser/box.hpp"
#include "mp4_parser/track_builder.hpp"

namespace quaver {

namespace {

constexpr std::uint8_t kFtyp[32] = {0x00, 0x00, 0x00, 0x20, 'f', 't', 'y', 'p', 'i', 's', 'o', 'm', 0x00, 0x00, 0x00, 0x02,
                                    'i',  's',  'o',  'm',  'i', 's', 'o', '2', 'a', 'v', 'c', '1', 'm',  'p',  '4',  '1'};
// The first sample byte follows the ftyp, the moov header and the mdat header.
constexpr std::uint64_t kSamplesAfterMoovBody = sizeof kFtyp + 8 + 8;
constexpr std::uint64_t kMaxCompactBody = 0xFFFFFFF7;

std::uint64_t mdat_length(const std::vector<const TrackFragments*>& tracks) {
  std::uint64_t total = 0;
  for (const TrackFragments* t : tracks) total += t->data_size;
  return total;
}

}  // namespace

Result<std::vector<std::uint64_t>> place_tracks(std::uint64_t moov_body_length,
                                                const std::vector<const TrackFragments*>& tracks) {
  // The offsets assume compact 8-byte moov and mdat headers and are written
  // as 32-bit stco entries: anything larger would point at the wrong bytes.
  if (moov_body_length > kMaxCompactBody || mdat_length(tracks) > kMaxCompactBody) {
    return Error{"Output too large: mdat does not fit a 32-bit box size", ErrorKind::kUnsupported};
  }
  std::vector<std::uint64_t> offsets;
  offsets.reserve(tracks.size());
  std::uint64_t next = kSamplesAfterMoovBody + moov_body_length;
  for (const TrackFragments* t : tracks) {
    if (!chunk_offsets_fit_32_bits(*t, next))
      return Error{"Output too large: chunk offset does not fit 32 bits", ErrorKind::kUnsupported};
    offsets.push_back(next);
    next += t->data_size;
  }
  return offsets;
}

OutBuffer write_regular_file(const std::vector<std::uint8_t>& moov_body,
                             const std::vector<const TrackFragments*>& tracks, OutputAllocator& alloc) {
  const std::uint64_t samples = mdat_length(tracks);
  OutBuffer out = OutBuffer::allocate(sizeof kFtyp + box_size(moov_body.size()) + box_size(samples), alloc);
  FixedWriter w(out);
  w.bytes(kFtyp, sizeof kFtyp);
  write_box_header(w, fourcc("moov"), moov_body.size());
  w.bytes(moov_body.data(), moov_body.size());
  write_box_header(w, fourcc("mdat"), samples);
  for (const TrackFragments* t : tracks) {
    for (ByteView range : t->data) w.bytes(range);
  }
  w.finish();
  return out;
}

}  // namespace quaver
