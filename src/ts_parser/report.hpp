// Where the demultiplexer's report lines go.
#pragma once

#include <string>
#include <string_view>
#include <vector>

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

// Keeps the lines, in order, for a caller that hands them on later: the
// package layer collects them while the interpreter lock is released and
// delivers them to the caller's sink once it holds the lock again, so
// concurrent conversions never share a sink mid-call.
class CollectingReport final : public Report {
 public:
  void line(std::string_view text) override { lines_.emplace_back(text); }
  const std::vector<std::string>& collected() const { return lines_; }

 private:
  std::vector<std::string> lines_;
};

}  // namespace quaver
