// Unfolding a fragmented MP4. Samples and sample bytes are each bounded by
// the input's length and a sample costs at most 28 bytes of tables, so the
// output stays within 40 bytes per input byte.
#include "fuzz_target.hpp"
#include "mp4_parser/defragment.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto r = quaver::defragment_mp4(quaver::ByteView(data, size), quaver::heap_allocator());
  quaver::fuzz::expect_at_most(r, 40 * size + 4096, "unfolded file larger than the input can back");
  quaver::fuzz::expect_box_sequence(r, "unfolded file that does not read back");
  return 0;
}
