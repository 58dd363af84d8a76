// TS conversion and key frame of a stream whose programme map names HEVC +
// AC-3, HEVC + E-AC-3, H.264 + MPEG audio, MPEG-2 video + LATM AAC or
// MPEG-2 video + Opus (the first input byte picks),
// with the two halves of the rest of the input as one video and one audio
// PES: the new codecs' paths through the demultiplexer and the writer,
// without having to find valid tables by mutation.
#include <algorithm>
#include <cstring>
#include <vector>

#include "fuzz_target.hpp"
#include "mp4_writer/mp4_writer.hpp"
#include "thumbnail/thumbnail.hpp"
#include "ts_parser/psi.hpp"

namespace {

using quaver::ByteView;

// PAT, a PMT naming the two stream types, then the halves of the input as one
// video and one audio PES, packetised.
std::vector<std::uint8_t> wrap_in_ts(ByteView input, std::uint8_t video_type, std::uint8_t audio_type,
                                     ByteView audio_info) {
  std::vector<std::uint8_t> ts;
  const auto packet = [&](std::uint16_t pid, bool start, ByteView payload) {
    std::uint8_t p[188];
    std::memset(p, 0xFF, sizeof p);
    p[0] = 0x47;
    p[1] = static_cast<std::uint8_t>((start ? 0x40 : 0) | (pid >> 8));
    p[2] = static_cast<std::uint8_t>(pid);
    p[3] = 0x10;
    std::memcpy(p + 4, payload.data(), std::min<std::size_t>(payload.size(), 184));
    ts.insert(ts.end(), p, p + 188);
  };
  std::uint8_t pat[] = {0, 0x00, 0xB0, 13, 0, 1, 0xC1, 0, 0, 0, 1, 0xF0, 0x00, 0, 0, 0, 0};
  std::vector<std::uint8_t> pmt = {0,          0x02, 0xB0, static_cast<std::uint8_t>(23 + audio_info.size()),
                                   0,          1,    0xC1, 0, 0, 0xE1, 0x00, 0xF0, 0,
                                   video_type, 0xE1, 0x00, 0xF0, 0, audio_type, 0xE1, 0x01, 0xF0,
                                   static_cast<std::uint8_t>(audio_info.size())};
  pmt.insert(pmt.end(), audio_info.begin(), audio_info.end());
  pmt.insert(pmt.end(), 4, 0);
  // Each section (after the pointer field) ends with its CRC_32, which the demultiplexer checks.
  for (auto* section : {static_cast<std::uint8_t*>(pat), pmt.data()}) {
    const std::size_t length = 3 + section[3];
    quaver::store_be32(section + 1 + length - 4, quaver::crc32_mpeg2(ByteView(section + 1, length - 4)));
  }
  packet(0, true, ByteView(pat, sizeof pat));
  packet(0x1000, true, ByteView(pmt.data(), pmt.size()));
  const std::size_t half = input.size() / 2;
  const ByteView parts[2] = {input.first(half), input.subspan(half)};
  for (int i = 0; i < 2; ++i) {
    const std::uint16_t pid = static_cast<std::uint16_t>(0x100 + i);
    std::vector<std::uint8_t> pes = {0, 0, 1, static_cast<std::uint8_t>(i ? 0xC0 : 0xE0), 0, 0, 0x80, 0x80, 5,
                                     0x21, 0, 0x05, 0xBF, 0x21};
    pes.insert(pes.end(), parts[i].begin(), parts[i].end());
    for (std::size_t at = 0; at < pes.size(); at += 184) {
      packet(pid, at == 0, ByteView(pes.data() + at, std::min<std::size_t>(184, pes.size() - at)));
    }
  }
  return ts;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  static constexpr std::uint8_t kTypes[5][2] = {{0x24, 0x81}, {0x24, 0x87}, {0x1B, 0x03}, {0x02, 0x11}, {0x02, 0x06}};
  // Private data is Opus by its registration, with two channels declared.
  static constexpr std::uint8_t kOpus[] = {0x05, 0x04, 'O', 'p', 'u', 's', 0x7F, 0x02, 0x80, 0x02};
  const auto& types = kTypes[data[0] % 5];
  const ByteView info = types[1] == 0x06 ? ByteView(kOpus, sizeof kOpus) : ByteView();
  const std::vector<std::uint8_t> ts = wrap_in_ts(ByteView(data + 1, size - 1), types[0], types[1], info);
  const ByteView stream(ts.data(), ts.size());
  auto r = quaver::convert_ts_to_mp4(stream, false, quaver::heap_allocator(), quaver::null_report());
  quaver::fuzz::expect_at_most(r, 3 * ts.size() + 4096, "MP4 larger than the stream can back");
  quaver::fuzz::expect_box_sequence(r, "MP4 that does not read back");
  auto k = quaver::extract_thumbnail_from_ts(stream, quaver::heap_allocator(), quaver::null_report());
  quaver::fuzz::expect_at_most(k, 3 * ts.size() + 4096, "key frame larger than the stream can back");
  return 0;
}
