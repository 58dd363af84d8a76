// The package layer's jobs: what an input is, its remux and its key frame,
// each chosen by content; and merging a pair whose track IDs collide, the
// audio renumbered. Each job is one of the core's, so its output keeps that
// job's bound and structure.
#include "content/detect.hpp"
#include "content/jobs.hpp"
#include "fuzz_target.hpp"
#include "mp4_parser/mux.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const quaver::ByteView input(data, size);
  (void)quaver::detect_input_kind(input);
  auto remuxed = quaver::remux(input, quaver::heap_allocator(), quaver::null_report());
  quaver::fuzz::expect_at_most(remuxed, 40 * size + 4096, "remux larger than the input can back");
  quaver::fuzz::expect_box_sequence(remuxed, "remux that does not read back");
  auto key = quaver::key_frame(input, quaver::heap_allocator(), quaver::null_report());
  quaver::fuzz::expect_at_most(key, 3 * size + 4096, "key frame larger than the input can back");

  quaver::fuzz::Frames frames(input);
  const quaver::ByteView video = frames.next();
  const quaver::ByteView audio = frames.rest();
  auto merged = quaver::mux_fmp4_tracks(video, audio, quaver::heap_allocator(),
                                        quaver::RepeatedTrackIds::kRenumberAudio);
  quaver::fuzz::expect_at_most(merged, 40 * size + 4096, "merged file larger than the inputs can back");
  quaver::fuzz::expect_box_sequence(merged, "merged file that does not read back");
  return 0;
}
