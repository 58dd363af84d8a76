// Access units and samples.
//
// Every access-unit delimiter opens a new unit; NAL units before the first
// delimiter form a unit of their own, and a stream without delimiters is one
// unit. Each unit becomes one sample of length-prefixed NAL units, without the
// SPS, PPS and delimiters that the sample description already carries or
// that MP4 does not use. A unit left with no NAL unit yields no sample.
#include "core/annexb.hpp"
#include "mp4_writer/mp4_writer.hpp"

namespace quaver {

SampleLayout layout_video_samples(const ChunkedBytes& v) {
  SampleLayout layout;
  const std::size_t n = v.size();
  bool unit_open = false;
  VideoSample current{0, 0, 0, false};

  const auto close_unit = [&] {
    if (current.nal_count > 0) {
      layout.video.push_back(current);
      layout.video_bytes += current.size;
    }
    current = VideoSample{layout.nals.size(), 0, 0, false};
    unit_open = false;
  };

  std::size_t i = 0;
  for (;;) {
    annexb::StartCode sc = annexb::find_start_code(v, i);
    if (sc.pos == annexb::npos) break;
    const std::size_t header = sc.pos + sc.length;
    if (header >= n) break;
    const std::uint8_t type = v.at(header) & 0x1F;
    if (type == 9 && unit_open) close_unit();
    const std::size_t end = annexb::unit_end(v, header, annexb::EndRule::kSplit);
    unit_open = true;
    if (type != 7 && type != 8 && type != 9) {
      layout.nals.push_back(VideoNal{header, end - header});
      ++current.nal_count;
      current.size += 4 + (end - header);
      current.idr = current.idr || type == 5;
    }
    if (end == n) break;
    i = end;
  }
  if (unit_open) close_unit();
  return layout;
}

}  // namespace quaver
