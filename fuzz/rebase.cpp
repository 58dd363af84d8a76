// Rebasing: the boxes go back out in their order with no body growing, so
// the output is never longer than the input.
#include "fuzz_target.hpp"
#include "mp4_parser/rebase.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto r = quaver::reset_mp4_timestamps(quaver::ByteView(data, size), quaver::heap_allocator());
  quaver::fuzz::expect_at_most(r, size, "rebased file longer than the input");
  quaver::fuzz::expect_box_sequence(r, "rebased file that does not read back");
  return 0;
}
