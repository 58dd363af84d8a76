// Runs a fuzz target once over every input given: files, and every file
// found below the directories given (missing paths are skipped, so an empty
// regression folder needs no placeholder). Built with any compiler, usually
// under the sanitizers, so CI replays the seeds and every past crash without
// libFuzzer:  fuzz_NAME [-v] PATH...
#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <unistd.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
// Present when the sanitizer runtime is linked in; called before it ends the process.
extern "C" void __sanitizer_set_death_callback(void (*callback)(void)) __attribute__((weak));

namespace {

namespace fs = std::filesystem;

// The input being run, named when the run dies on it.
char g_current[4096] = "";

void name_current_input() {
  if (g_current[0] == '\0') return;
  const char prefix[] = "replay: died on input ";
  [[maybe_unused]] auto a = write(2, prefix, sizeof prefix - 1);
  [[maybe_unused]] auto b = write(2, g_current, std::strlen(g_current));
  [[maybe_unused]] auto c = write(2, "\n", 1);
  g_current[0] = '\0';  // named once, by whichever of the two hooks runs first
}

void on_signal(int sig) {
  name_current_input();
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

void collect(const fs::path& path, std::vector<fs::path>& out) {
  std::error_code ec;
  if (fs::is_regular_file(path, ec)) {
    out.push_back(path);
  } else if (fs::is_directory(path, ec)) {
    for (const auto& entry : fs::recursive_directory_iterator(path, ec)) {
      if (entry.is_regular_file(ec)) out.push_back(entry.path());
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  bool verbose = false;
  std::vector<fs::path> inputs;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-v") == 0) {
      verbose = true;
    } else {
      collect(argv[i], inputs);
    }
  }
  std::sort(inputs.begin(), inputs.end());
  if (__sanitizer_set_death_callback) __sanitizer_set_death_callback(name_current_input);
  for (int sig : {SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL}) std::signal(sig, on_signal);

  std::size_t bytes = 0;
  for (const fs::path& path : inputs) {
    std::ifstream file(path, std::ios::binary);
    const std::vector<std::uint8_t> data((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::snprintf(g_current, sizeof g_current, "%s", path.c_str());
    if (verbose) std::fprintf(stderr, "replay: %s (%zu bytes)\n", g_current, data.size());
    LLVMFuzzerTestOneInput(data.data(), data.size());
    bytes += data.size();
  }
  g_current[0] = '\0';
  std::printf("%s: replayed %zu inputs, %zu bytes\n", fs::path(argv[0]).filename().c_str(), inputs.size(), bytes);
  return 0;
}
