// Merging two fragmented files: the input is one frame holding the video
// file, then the audio file (fuzz_target.hpp describes the framing). Each
// input bounds its own samples, so the bound is unfolding's over both.
#include "fuzz_target.hpp"
#include "mp4_parser/mux.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quaver::fuzz::Frames frames(quaver::ByteView(data, size));
  const quaver::ByteView video = frames.next();
  const quaver::ByteView audio = frames.rest();
  auto r = quaver::mux_fmp4_tracks(video, audio, quaver::heap_allocator());
  quaver::fuzz::expect_at_most(r, 40 * size + 4096, "merged file larger than the inputs can back");
  quaver::fuzz::expect_box_sequence(r, "merged file that does not read back");
  return 0;
}
