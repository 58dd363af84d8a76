#include "core/annexb.hpp"

namespace quaver::annexb {

std::vector<std::uint8_t> unescape_rbsp(const std::uint8_t* p, std::size_t n) {
  std::vector<std::uint8_t> out;
  out.reserve(n);
  int zeros = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (zeros >= 2 && p[i] == 0x03) {
      zeros = 0;
      continue;
    }
    zeros = p[i] == 0 ? zeros + 1 : 0;
    out.push_back(p[i]);
  }
  return out;
}

}  // namespace quaver::annexb
