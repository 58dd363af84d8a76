// First key frame of a transport stream: its parameter sets and its slices
// are each taken from the stream, so together they stay within three times it.
#include "fuzz_target.hpp"
#include "thumbnail/thumbnail.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto r = quaver::extract_thumbnail_from_ts(quaver::ByteView(data, size), quaver::heap_allocator(),
                                             quaver::null_report());
  quaver::fuzz::expect_at_most(r, 3 * size + 4096, "key frame larger than the stream can back");
  return 0;
}
