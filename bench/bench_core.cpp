// Times the core conversion without Python: quaver_bench FILE [REPEAT] [ROUNDS]
// The input is FILE concatenated REPEAT times (a long, valid stream).
//
// Beside it, the floor of any conversion whose result starts with a moov:
// every sample size is known before the first sample byte is written, so the
// input is read once and then copied once into fresh memory. The floor times
// a read of every input byte and a copy into a result allocated as the
// conversion allocates its own.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/output.hpp"
#include "mp4_writer/mp4_writer.hpp"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE [REPEAT] [ROUNDS]\n", argv[0]);
    return 2;
  }
  std::ifstream f(argv[1], std::ios::binary);
  std::vector<std::uint8_t> one((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  const int repeat = argc > 2 ? std::stoi(argv[2]) : 100;
  const int rounds = argc > 3 ? std::stoi(argv[3]) : 5;
  std::vector<std::uint8_t> input;
  for (int i = 0; i < repeat; ++i) input.insert(input.end(), one.begin(), one.end());

  double best = 1e9;
  std::size_t out_size = 0;
  for (int r = 0; r < rounds; ++r) {
    auto t0 = std::chrono::steady_clock::now();
    auto result = quaver::convert_ts_to_mp4(quaver::ByteView(input.data(), input.size()), false,
                                            quaver::heap_allocator(), quaver::null_report());
    auto t1 = std::chrono::steady_clock::now();
    if (!result.ok()) {
      std::fprintf(stderr, "error: %s\n", result.message().c_str());
      return 1;
    }
    out_size = result.value().size();
    best = std::min(best, std::chrono::duration<double>(t1 - t0).count());
  }
  std::printf("input %.1f MB, output %.1f MB, best of %d: %.1f ms, %.0f MB/s\n", input.size() / 1e6,
              out_size / 1e6, rounds, best * 1e3, input.size() / 1e6 / best);

  double best_read = 1e9, best_write = 1e9;
  std::uint64_t sum = 0;
  for (int r = 0; r < rounds; ++r) {
    auto t0 = std::chrono::steady_clock::now();
    std::uint64_t s = 0;
    for (std::size_t i = 0; i + 8 <= input.size(); i += 8) {
      std::uint64_t w;
      std::memcpy(&w, input.data() + i, 8);
      s += w;
    }
    auto t1 = std::chrono::steady_clock::now();
    quaver::OutBuffer copy = quaver::OutBuffer::allocate(input.size(), quaver::heap_allocator());
    std::memcpy(copy.data(), input.data(), input.size());
    auto t2 = std::chrono::steady_clock::now();
    sum += s + copy.data()[input.size() / 2];
    best_read = std::min(best_read, std::chrono::duration<double>(t1 - t0).count());
    best_write = std::min(best_write, std::chrono::duration<double>(t2 - t1).count());
  }
  const double floor = best_read + best_write;
  std::printf("floor: read %.1f ms + copy into fresh memory %.1f ms = %.1f ms, %.0f MB/s (checksum %u)\n",
              best_read * 1e3, best_write * 1e3, floor * 1e3, input.size() / 1e6 / floor,
              static_cast<unsigned>(sum & 0xFF));
  return 0;
}
