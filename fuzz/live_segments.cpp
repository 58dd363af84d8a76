// The live processor over a sequence of segments, one frame each
// (fuzz_target.hpp describes the framing). The first frame is also stored
// as the init segment, whose timescales the processor then reads. A segment
// comes out no longer than it went in, and once a base is set only a reset
// changes it.
#include <optional>

#include "fmp4_processor/fmp4_processor.hpp"
#include "fuzz_target.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quaver::fuzz::Frames frames(quaver::ByteView(data, size));
  quaver::FragmentedMP4Processor processor;
  bool first = true;
  while (!frames.done()) {
    const quaver::ByteView segment = frames.next();
    if (first) processor.set_init_segment(segment);
    first = false;
    const std::optional<std::uint64_t> before = processor.get_base_decode_time();
    auto r = processor.process_segment(segment, quaver::heap_allocator());
    quaver::fuzz::expect_at_most(r, segment.size(), "segment grew");
    if (before && processor.get_base_decode_time() != before) quaver::fuzz::broken("base changed without a reset");
  }
  return 0;
}
