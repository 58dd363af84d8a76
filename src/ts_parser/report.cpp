#include "ts_parser/report.hpp"

#include <cerrno>
#include <string>
#include <system_error>
#include <unistd.h>

namespace quaver {

namespace {

// Writes every byte of `text` to descriptor 1. A closed descriptor drops
// the text; any other failure throws.
void write_stdout(std::string_view text) {
  const char* p = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    ssize_t n = ::write(1, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EBADF) return;
      throw std::system_error(errno, std::generic_category(), "writing the report to stdout");
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

class StdoutReport final : public Report {
 public:
  void line(std::string_view text) override {
    std::string buf(text);
    buf.push_back('\n');
    write_stdout(buf);
  }
  void lines(std::string_view text) override { write_stdout(text); }
};

class NullReport final : public Report {
 public:
  void line(std::string_view) override {}
  void lines(std::string_view) override {}
};

}  // namespace

void Report::lines(std::string_view text) {
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    line(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
  }
}

Report& stdout_report() {
  static StdoutReport instance;
  return instance;
}

Report& null_report() {
  static NullReport instance;
  return instance;
}

}  // namespace quaver
