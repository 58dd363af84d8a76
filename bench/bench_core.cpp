// Times the core jobs without Python.
//
//   quaver_bench FILE [REPEAT] [ROUNDS]        TS -> MP4 on FILE concatenated REPEAT times
//   quaver_bench JOB FILE [FILE2] [ROUNDS]     one job on the bench inputs, best of ROUNDS (10)
//
// JOB is ts (TS -> MP4), unfold, rebase (FILE a fragmented MP4), merge
// (FILE the video fMP4, FILE2 the audio fMP4) or live (FILE a fragmented
// MP4, fed to one live processor as its initialisation segment, everything
// before the first moof, then one segment per moof with the boxes up to the
// next moof, in turn).
//
// Beside TS -> MP4 on a repeated file, the floor of any conversion whose
// result starts with a moov: every sample size is known before the first
// sample byte is written, so the input is read once and then copied once
// into fresh memory. The floor times a read of every input byte and a copy
// into a result allocated as the conversion allocates its own.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "core/output.hpp"
#include "fmp4_processor/fmp4_processor.hpp"
#include "mp4_parser/box.hpp"
#include "mp4_parser/defragment.hpp"
#include "mp4_parser/mux.hpp"
#include "mp4_parser/rebase.hpp"
#include "mp4_writer/mp4_writer.hpp"

namespace {

using quaver::ByteView;
using Bytes = std::vector<std::uint8_t>;

Bytes read_file(const char* path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

ByteView view(const Bytes& b) { return ByteView(b.data(), b.size()); }

// The best time of `rounds` runs of job(), which returns the output size
// or -1 after printing its error.
int time_job(const char* name, std::size_t input_size, int rounds, const std::function<long long()>& job) {
  double best = 1e9;
  long long out_size = 0;
  for (int r = 0; r < rounds; ++r) {
    const auto t0 = std::chrono::steady_clock::now();
    out_size = job();
    const auto t1 = std::chrono::steady_clock::now();
    if (out_size < 0) return 1;
    best = std::min(best, std::chrono::duration<double>(t1 - t0).count());
  }
  std::printf("%s: input %.1f MB, output %.1f MB, best of %d: %.2f ms, %.0f MB/s\n", name, input_size / 1e6,
              out_size / 1e6, rounds, best * 1e3, input_size / 1e6 / best);
  return 0;
}

long long size_or_error(const quaver::Result<quaver::OutBuffer>& result) {
  if (result.ok()) return static_cast<long long>(result.value().size());
  std::fprintf(stderr, "error: %s\n", result.message().c_str());
  return -1;
}

// The initialisation segment and one segment per moof, as the live case of
// bench.py splits the file.
bool split_fragments(const Bytes& file, Bytes& init, std::vector<Bytes>& segments) {
  std::vector<std::uint64_t> starts;
  std::uint64_t end = file.size();
  quaver::TopLevelBoxes boxes(view(file));
  for (;;) {
    quaver::Result<std::optional<quaver::BoxInfo>> box = boxes.next();
    if (!box.ok() || !box.value()) break;
    if (box.value()->is(quaver::box_types::moof)) starts.push_back(box.value()->start);
    if (box.value()->is(quaver::fourcc("mfra"))) end = std::min(end, box.value()->start);
  }
  if (starts.empty()) return false;
  init.assign(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(starts[0]));
  starts.push_back(end);
  for (std::size_t i = 0; i + 1 < starts.size(); ++i) {
    segments.emplace_back(file.begin() + static_cast<std::ptrdiff_t>(starts[i]),
                          file.begin() + static_cast<std::ptrdiff_t>(starts[i + 1]));
  }
  return true;
}

int run_job(const std::string& job, int argc, char** argv) {
  const bool two_inputs = job == "merge";
  if (argc < (two_inputs ? 4 : 3)) {
    std::fprintf(stderr, "usage: %s %s FILE%s [ROUNDS]\n", argv[0], job.c_str(), two_inputs ? " FILE2" : "");
    return 2;
  }
  const Bytes input = read_file(argv[2]);
  const Bytes second = two_inputs ? read_file(argv[3]) : Bytes{};
  const int rounds_at = two_inputs ? 4 : 3;
  const int rounds = argc > rounds_at ? std::stoi(argv[rounds_at]) : 10;
  quaver::OutputAllocator& alloc = quaver::heap_allocator();
  if (job == "ts") {
    return time_job("ts", input.size(), rounds, [&] {
      return size_or_error(quaver::convert_ts_to_mp4(view(input), false, alloc, quaver::null_report()));
    });
  }
  if (job == "unfold") {
    return time_job("unfold", input.size(), rounds,
                    [&] { return size_or_error(quaver::defragment_mp4(view(input), alloc)); });
  }
  if (job == "rebase") {
    return time_job("rebase", input.size(), rounds,
                    [&] { return size_or_error(quaver::reset_mp4_timestamps(view(input), alloc)); });
  }
  if (job == "merge") {
    return time_job("merge", input.size() + second.size(), rounds,
                    [&] { return size_or_error(quaver::mux_fmp4_tracks(view(input), view(second), alloc)); });
  }
  if (job == "live") {
    Bytes init;
    std::vector<Bytes> segments;
    if (!split_fragments(input, init, segments)) {
      std::fprintf(stderr, "error: no moof in %s\n", argv[2]);
      return 1;
    }
    std::size_t size = 0;
    for (const Bytes& s : segments) size += s.size();
    return time_job("live", size, rounds, [&] {
      quaver::FragmentedMP4Processor processor;
      processor.set_init_segment(view(init));
      long long total = 0;
      for (const Bytes& s : segments) {
        const long long n = size_or_error(processor.process_segment(view(s), alloc));
        if (n < 0) return n;
        total += n;
      }
      return total;
    });
  }
  std::fprintf(stderr, "unknown job %s: ts, unfold, rebase, merge or live\n", job.c_str());
  return 2;
}

// TS -> MP4 on a long input, and the fresh-memory floor beside it.
int ts_with_floor(int argc, char** argv) {
  const Bytes one = read_file(argv[1]);
  const int repeat = argc > 2 ? std::stoi(argv[2]) : 100;
  const int rounds = argc > 3 ? std::stoi(argv[3]) : 5;
  Bytes input;
  for (int i = 0; i < repeat; ++i) input.insert(input.end(), one.begin(), one.end());

  double best = 1e9;
  std::size_t out_size = 0;
  for (int r = 0; r < rounds; ++r) {
    auto t0 = std::chrono::steady_clock::now();
    auto result = quaver::convert_ts_to_mp4(view(input), false, quaver::heap_allocator(), quaver::null_report());
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

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE [REPEAT] [ROUNDS]\n       %s ts|unfold|rebase|merge|live FILE [FILE2] [ROUNDS]\n",
                 argv[0], argv[0]);
    return 2;
  }
  const std::string first = argv[1];
  for (const char* job : {"ts", "unfold", "rebase", "merge", "live"}) {
    if (first == job) return run_job(first, argc, argv);
  }
  return ts_with_floor(argc, argv);
}
