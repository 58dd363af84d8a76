// The choice between unfolding and rebasing, bounded as unfolding is.
#include "fuzz_target.hpp"
#include "mp4_parser/rebase.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto r = quaver::convert_mp4_reset_timestamps(quaver::ByteView(data, size), quaver::heap_allocator());
  quaver::fuzz::expect_at_most(r, 40 * size + 4096, "output larger than the input can back");
  quaver::fuzz::expect_box_sequence(r, "output that does not read back");
  return 0;
}
