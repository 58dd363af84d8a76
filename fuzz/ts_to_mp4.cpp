// Transport stream to MP4. The smallest access unit (a delimiter and one
// one-byte NAL unit, 8 bytes) costs 21 bytes of sample and tables, so an
// output never exceeds three bytes per input byte plus the fixed boxes.
#include "fuzz_target.hpp"
#include "mp4_writer/mp4_writer.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto r = quaver::convert_ts_to_mp4(quaver::ByteView(data, size), false, quaver::heap_allocator(),
                                     quaver::null_report());
  quaver::fuzz::expect_at_most(r, 3 * size + 4096, "MP4 larger than the stream can back");
  quaver::fuzz::expect_box_sequence(r, "MP4 that does not read back");
  return 0;
}
