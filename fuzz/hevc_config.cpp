// The HEVC SPS reader over the input as an SPS NAL unit, and the hvcC written
// from what it read with parameter sets taken from the input: the box holds
// those sets and a bounded number of fixed fields.
#include "codec/hevc.hpp"
#include "fuzz_target.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const quaver::ByteView input(data, size);
  quaver::ByteBuilder b;
  const auto sps = quaver::hevc::read_sps(input);
  quaver::hevc::write_hvcc(b, sps, quaver::hevc::ConfigArrays{input.first(size / 3), input, {}});
  if (b.size() > 4 * size + 8192) quaver::fuzz::broken("hvcC larger than its parameter sets", b.size(), size);
  return 0;
}
