// First key frame of an MP4: a sample and parameter sets that lie in the
// file, each 2- or 4-byte length turned into a 4-byte start code.
#include "fuzz_target.hpp"
#include "thumbnail/thumbnail.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto r = quaver::extract_thumbnail_from_mp4(quaver::ByteView(data, size), quaver::heap_allocator());
  quaver::fuzz::expect_at_most(r, 3 * size + 4096, "key frame larger than the file can back");
  return 0;
}
