#include "mp4_parser/regular_file.hpp"

#include "mp4_parser/box.hpp"

namespace quaver {

namespace {

constexpr std::uint8_t kFtyp[32] = {0x00, 0x00, 0x00, 0x20, 'f', 't', 'y', 'p', 'i', 's', 'o', 'm', 0x00, 0x00, 0x00, 0x02,
                                    'i',  's',  'o',  'm',  'i', 's', 'o', '2', 'a', 'v', 'c', '1', 'm',  'p',  '4',  '1'};

std::uint64_t mdat_length(const std::vector<const TrackFragments*>& tracks) {
  std::uint64_t total = 0;
  for (const TrackFragments* t : tracks) total += t->data_size;
  return total;
}

// The mdat's header: 16 bytes where its size does not fit 32 bits.
std::uint8_t mdat_header(std::uint64_t body_length) { return fits_32_bits(body_length + 8) ? 8 : 16; }

// The first sample byte follows the ftyp, the moov and the mdat header.
std::uint64_t first_sample(std::uint64_t moov_body_length, std::uint64_t mdat_body_length) {
  return sizeof kFtyp + box_size(moov_body_length) + mdat_header(mdat_body_length);
}

}  // namespace

Result<std::uint64_t> place_tracks(std::uint64_t moov_body_length, const std::vector<const TrackFragments*>& tracks,
                                   ChunkPlan& plan) {
  const std::uint64_t samples = mdat_length(tracks);
  std::uint64_t next = first_sample(moov_body_length, samples);
  std::uint64_t length = moov_body_length;
  for (std::size_t k = 0; k < tracks.size(); ++k) {
    // The sample bytes lie in the inputs; only sizes without bytes behind
    // them can carry an offset past what 64 bits hold.
    const std::uint64_t last = last_chunk_offset(*tracks[k], next);
    if (last == UINT64_MAX) {
      return Error{"Output too large: chunk offset does not fit 64 bits", ErrorKind::kUnsupported};
    }
    plan[k].wide = !fits_32_bits(last);
    if (!plan[k].wide) length -= 4 * plan[k].entries;
    plan[k].entries = 0;
    next += tracks[k]->data_size;
  }
  next = first_sample(length, samples);
  for (std::size_t k = 0; k < tracks.size(); ++k) {
    plan[k].offset = next;
    next += tracks[k]->data_size;
  }
  return length;
}

OutBuffer write_regular_file(const std::vector<std::uint8_t>& moov_body,
                             const std::vector<const TrackFragments*>& tracks, OutputAllocator& alloc) {
  const std::uint64_t samples = mdat_length(tracks);
  const std::uint8_t header = mdat_header(samples);
  OutBuffer out = OutBuffer::allocate(sizeof kFtyp + box_size(moov_body.size()) + box_size(samples, header), alloc);
  FixedWriter w(out);
  w.bytes(kFtyp, sizeof kFtyp);
  write_box_header(w, fourcc("moov"), moov_body.size());
  w.bytes(moov_body.data(), moov_body.size());
  write_box_header(w, fourcc("mdat"), samples, header);
  for (const TrackFragments* t : tracks) {
    for (ByteView range : t->data) w.bytes(range);
  }
  w.finish();
  return out;
}

}  // namespace quaver
