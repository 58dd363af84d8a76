// libFuzzer entry point for the transport stream conversion.
//   clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -Isrc \
//     fuzz/fuzz_convert.cpp src/core/*.cpp src/ts_parser/*.cpp src/mp4_writer/*.cpp -o fuzz_convert
//   ./fuzz_convert -max_len=200000 tests/data
#include <cstddef>
#include <cstdint>

#include "mp4_writer/mp4_writer.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto result = quaver::convert_ts_to_mp4(quaver::ByteView(data, size), false, quaver::heap_allocator(),
                                          quaver::null_report());
  if (result.ok() && result.value().size() > 2 * size + 4096) __builtin_trap();
  return 0;
}
