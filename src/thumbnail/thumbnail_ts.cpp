#include "core/annexb.hpp"
#include "thumbnail/thumbnail.hpp"
#include "ts_parser/ts_parser.hpp"

namespace quaver {

namespace {

constexpr std::uint8_t kStartCode[4] = {0, 0, 0, 1};

struct IdrSlice {
  std::size_t begin;  // first byte of its start code
  std::size_t end;
};

// The first NAL unit of type 5 after a start code (the 3-byte form tested
// first at each position, each needing a byte after it), up to the next start code.
std::optional<IdrSlice> find_first_idr(const ChunkedBytes& v) {
  const std::size_t n = v.size();
  std::size_t pos = 0;
  for (;;) {
    const std::size_t q = v.find_start3(pos);
    if (q >= n || q + 3 >= n) return std::nullopt;
    const std::size_t header = q + 3;
    if ((v.at(header) & 0x1F) == 5) {
      const std::size_t begin = q > pos && v.at(q - 1) == 0 ? q - 1 : q;
      const std::size_t from = header + 1;
      std::size_t end = v.find_start3(from);
      if (end < n && end > from && v.at(end - 1) == 0) --end;
      return IdrSlice{begin, std::min(end, n)};
    }
    pos = q + 1;
  }
}

}  // namespace

Result<OutBuffer> extract_thumbnail_from_ts(ByteView data, OutputAllocator& alloc, Report& report) {
  Result<MediaData> parsed = parse_ts_packets(data, report);
  if (!parsed.ok()) return parsed.error();
  const MediaData& md = parsed.value();
  if (md.video_data.empty()) return Error{"No video data found"};
  const std::optional<IdrSlice> idr = find_first_idr(md.video_data);
  if (!idr) return Error{"No I-frame found in video stream"};

  const std::size_t slice = idr->end - idr->begin;
  const std::size_t total = (md.sps ? 4 + md.sps->size() : 0) + (md.pps ? 4 + md.pps->size() : 0) + slice;
  OutBuffer out = OutBuffer::allocate(total, alloc);
  FixedWriter w(out);
  for (const auto* set : {&md.sps, &md.pps}) {
    if (!*set) continue;
    w.bytes(kStartCode, 4);
    w.bytes((*set)->data(), (*set)->size());
  }
  md.video_data.copy_to(w.room(slice), idr->begin, slice);
  w.finish();
  return out;
}

}  // namespace quaver
