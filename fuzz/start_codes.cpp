// The start-code index of a stream assembled from slices, against the same
// rules over the stream in one piece: every search, every unit of the split
// and of the parameter-set capture, and every byte asked for agree. The
// first input byte chooses how the rest is cut into slices (empty ones too).
#include <vector>

#include "core/annexb.hpp"
#include "core/chunked_bytes.hpp"
#include "fuzz_target.hpp"

namespace {

using quaver::annexb::npos;

// Everything the readers of a stream ask it, in the order they ask.
template <class Bytes>
std::vector<std::size_t> answers(const Bytes& v) {
  namespace annexb = quaver::annexb;
  std::vector<std::size_t> out;
  for (std::size_t i = 0;;) {  // the access-unit split
    const annexb::StartCode sc = annexb::find_start_code(v, i);
    if (sc.pos == npos) break;
    const std::size_t header = sc.pos + sc.length;
    if (header >= v.size()) break;
    const std::uint8_t type = v.nal_header(header);
    const std::size_t end = annexb::unit_end(v, header, annexb::EndRule::kSplit);
    out.insert(out.end(), {sc.pos, sc.length, end, type});
    if (end == v.size()) break;
    i = end;
  }
  out.push_back(npos);
  annexb::for_each_captured_unit(v, [&](annexb::CapturedUnit u) {
    out.insert(out.end(), {u.start, u.end, u.header});
    return true;
  });
  out.push_back(npos);
  for (std::size_t from = 0; from <= v.size(); ++from) {  // searches from every position
    const std::size_t q = v.find_start3(from);
    out.push_back(q);
    if (q < v.size()) out.push_back(v.zero_before(q));
    if (q + 3 < v.size()) out.push_back(v.nal_header(q + 3));
  }
  for (std::size_t pos = 0; pos < v.size(); ++pos) out.insert(out.end(), {v.zero_before(pos), v.nal_header(pos)});
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0 || size > 4096) return 0;  // the checks ask about every position
  const std::uint8_t* stream = data + 1;
  const std::size_t n = size - 1;
  const std::size_t longest = data[0] % 40 + 1;  // slice lengths 0..longest
  std::uint32_t state = 0x9E3779B9u ^ data[0];
  quaver::ChunkedBytes chunked;
  for (std::size_t pos = 0; pos < n;) {
    state = state * 1664525u + 1013904223u;
    const std::size_t len = std::min<std::size_t>(n - pos, (state >> 16) % (longest + 1));  // empty ones too
    chunked.append(stream + pos, len);
    pos += len;
  }
  if (chunked.size() != n) quaver::fuzz::broken("slices lost bytes", chunked.size(), n);
  const quaver::FlatBytes flat(quaver::ByteView(stream, n));
  if (answers(chunked) != answers(flat)) quaver::fuzz::broken("sliced and whole streams disagree", n, data[0]);
  return 0;
}
