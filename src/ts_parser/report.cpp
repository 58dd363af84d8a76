#include "ts_parser/report.hpp"

#include <cerrno>
#include <string>
#include <system_error>
#include <unistd.h>

namespace quaver {

namespace {

class StdoutReport final : public Report {
 public:
  void line(std::string_view text) override {
    std::string buf(text);
    buf.push_back('\n');
    const char* p = buf.data();
    std::size_t left = buf.size();
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
};

class NullReport final : public Report {
 public:
  void line(std::string_view) override {}
};

}  // namespace

Report& stdout_report() {
  static StdoutReport instance;
  return instance;
}

Report& null_report() {
  static NullReport instance;
  return instance;
}

}  // namespace quaver
