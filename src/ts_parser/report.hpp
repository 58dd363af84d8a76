// Where the demultiplexer's report lines go.
#pragma once

#include <string>
#include <string_view>

namespace quaver {

class Report {
 public:
  virtual ~Report() = default;
  virtual void line(std::string_view text) = 0;  // text without the newline
  // Several lines at once, each ending in a newline; by default line by line.
  virtual void lines(std::string_view text);
};

// Writes each line straight to file descriptor 1 (not through any buffered
// stream of the host). A closed descriptor drops the lines; any other write
// failure throws, because a report that silently vanished would hide it.
Report& stdout_report();

// Discards every line (fuzzers, benchmarks).
Report& null_report();

}  // namespace quaver
