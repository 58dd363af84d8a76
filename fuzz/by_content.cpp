// The package layer's jobs: what an input is, its remux and its key frame,
// each chosen by content; the checks of live and initialisation segments;
// and merging a pair whose track IDs collide, the audio renumbered. Each job
// is one of the core's, so its output keeps that job's bound and structure,
// and a result that exists holds a sample.
#include "content/detect.hpp"
#include "content/jobs.hpp"
#include "content/samples.hpp"
#include "fuzz_target.hpp"

namespace {

void expect_samples(const quaver::Result<quaver::OutBuffer>& r, const char* what) {
  if (r.ok() && !quaver::holds_samples(r.value().view())) quaver::fuzz::broken(what);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const quaver::ByteView input(data, size);
  (void)quaver::detect_input_kind(input);
  (void)quaver::sniff_container(input);
  (void)quaver::check_live_segment(input);
  (void)quaver::check_init_segment(input);
  auto remuxed = quaver::remux(input, quaver::heap_allocator(), quaver::null_report());
  quaver::fuzz::expect_at_most(remuxed, 40 * size + 4096, "remux larger than the input can back");
  quaver::fuzz::expect_box_sequence(remuxed, "remux that does not read back");
  expect_samples(remuxed, "remux without a sample");
  auto key = quaver::key_frame(input, quaver::heap_allocator(), quaver::null_report());
  quaver::fuzz::expect_at_most(key, 3 * size + 4096, "key frame larger than the input can back");

  quaver::fuzz::Frames frames(input);
  const quaver::ByteView video = frames.next();
  const quaver::ByteView audio = frames.rest();
  auto merged = quaver::merge(video, audio, quaver::heap_allocator());
  quaver::fuzz::expect_at_most(merged, 40 * size + 4096, "merged file larger than the inputs can back");
  quaver::fuzz::expect_box_sequence(merged, "merged file that does not read back");
  expect_samples(merged, "merged file without a sample");
  return 0;
}
