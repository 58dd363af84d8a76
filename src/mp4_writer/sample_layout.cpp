// Access units and samples.
//
// Every access-unit delimiter opens a new unit; NAL units before the first
// delimiter form a unit of their own. A stream without any delimiter (some
// cameras and encoders write none) is cut where its PES packets start
// instead: muxers put one picture in each PES, and otherwise the whole
// stream would become one sample. Each unit becomes one sample of
// length-prefixed NAL units, without the parameter sets and delimiters that
// the sample description already carries or that MP4 does not use. A unit
// left with no NAL unit yields no sample.
#include "core/annexb.hpp"
#include "mp4_writer/mp4_writer.hpp"

namespace quaver {

namespace {

// One NAL unit as the split scan found it.
struct ScannedNal {
  std::size_t header;  // position of the header byte
  std::size_t end;
  std::uint8_t type;
};

}  // namespace

SampleLayout layout_video_samples(const ChunkedBytes& v, const std::vector<std::size_t>& pes_starts,
                                  const NalSyntax& syntax) {
  // One pass over the bytes; the units are then formed from the records.
  std::vector<ScannedNal> scanned;
  bool has_delimiter = false;
  const std::size_t n = v.size();
  for (std::size_t i = 0;;) {
    annexb::StartCode sc = annexb::find_start_code(v, i);
    if (sc.pos == annexb::npos) break;
    const std::size_t header = sc.pos + sc.length;
    if (header >= n) break;
    const std::size_t end = annexb::unit_end(v, header, annexb::EndRule::kSplit);
    const std::uint8_t type = syntax.type_of(v.at(header));
    has_delimiter |= type == syntax.delimiter;
    scanned.push_back(ScannedNal{header, end, type});
    if (end == n) break;
    i = end;
  }

  SampleLayout layout;
  layout.nals.reserve(scanned.size());
  VideoSample current{0, 0, 0, false};
  bool unit_open = false;
  const auto close_unit = [&] {
    if (current.nal_count > 0) {
      layout.video.push_back(current);
      layout.video_bytes += current.size;
    }
    current = VideoSample{layout.nals.size(), 0, 0, false};
    unit_open = false;
  };

  std::size_t next_start = 0;  // index into pes_starts
  for (const ScannedNal& nal : scanned) {
    bool cut;
    if (has_delimiter) {
      cut = nal.type == syntax.delimiter;
    } else {
      // The first unit whose header lies at or after a PES start opens a new
      // unit; PES starts passed over without such a unit open none.
      cut = false;
      while (next_start < pes_starts.size() && pes_starts[next_start] <= nal.header) {
        cut = true;
        ++next_start;
      }
    }
    if (cut && unit_open) close_unit();
    unit_open = true;
    if (!syntax.left_out(nal.type)) {
      layout.nals.push_back(VideoNal{nal.header, nal.end - nal.header});
      ++current.nal_count;
      current.size += 4 + (nal.end - nal.header);
      current.key = current.key || syntax.is_key(nal.type);
    }
  }
  if (unit_open) close_unit();
  return layout;
}

}  // namespace quaver
