// libFuzzer entry point for the core: the first input byte picks the routine.
//   clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -Isrc fuzz/fuzz_core.cpp \
//     $(ls src/*/*.cpp | grep -v src/python) -o fuzz_core
//   ./fuzz_core -max_len=200000 corpus/
// A corpus entry is one selector byte followed by a file (for example a byte
// 0 in front of each tests/data/*.ts file): 0 TS conversion, 1 and 2 key
// frames from TS and MP4, 3 live segments, 4 unfolding, 5 rebasing, 6 the
// choice of the two, 7 merging the two halves of the input.
#include <cstddef>
#include <cstdint>

#include "fmp4_processor/fmp4_processor.hpp"
#include "mp4_parser/defragment.hpp"
#include "mp4_parser/mux.hpp"
#include "mp4_parser/rebase.hpp"
#include "mp4_writer/mp4_writer.hpp"
#include "thumbnail/thumbnail.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const quaver::ByteView input(data + 1, size - 1);
  quaver::OutputAllocator& heap = quaver::heap_allocator();
  std::size_t out = 0;
  switch (data[0] % 8) {
    case 0: {
      auto r = quaver::convert_ts_to_mp4(input, false, heap, quaver::null_report());
      out = r.ok() ? r.value().size() : 0;
      break;
    }
    case 1: {
      auto r = quaver::extract_thumbnail_from_ts(input, heap, quaver::null_report());
      out = r.ok() ? r.value().size() : 0;
      break;
    }
    case 2: {
      auto r = quaver::extract_thumbnail_from_mp4(input, heap);
      out = r.ok() ? r.value().size() : 0;
      break;
    }
    case 4: {
      auto r = quaver::defragment_mp4(input, heap);
      out = r.ok() ? r.value().size() / 20 : 0;  // tables may cost up to ~40 bytes a sample
      break;
    }
    case 5: {
      auto r = quaver::reset_mp4_timestamps(input, heap);
      out = r.ok() ? r.value().size() : 0;
      break;
    }
    case 6: {
      auto r = quaver::convert_mp4_reset_timestamps(input, heap);
      out = r.ok() ? r.value().size() / 20 : 0;
      break;
    }
    case 7: {
      const std::size_t half = input.size() / 2;
      auto r = quaver::mux_fmp4_tracks(input.subspan(0, half), input.subspan(half), heap);
      out = r.ok() ? r.value().size() / 20 : 0;
      break;
    }
    default: {
      quaver::FragmentedMP4Processor p;
      for (int i = 0; i < 2; ++i) {
        auto r = p.process_segment(input, heap);
        if (r.ok() && r.value().size() > input.size()) __builtin_trap();
      }
    }
  }
  if (out > 2 * input.size() + 4096) __builtin_trap();
  return 0;
}
