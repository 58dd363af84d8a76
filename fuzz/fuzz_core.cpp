// libFuzzer entry point for the core: the first input byte picks the routine.
//   clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -Isrc fuzz/fuzz_core.cpp \
//     $(ls src/*/*.cpp | grep -v src/python) -o fuzz_core
//   ./fuzz_core -max_len=200000 corpus/
// A corpus entry is one selector byte followed by a file (for example a byte
// 0 in front of each tests/data/*.ts file): 0 TS conversion, 1 and 2 key
// frames from TS and MP4, 3 live segments, 4 unfolding, 5 rebasing, 6 the
// choice of the two, 7 merging the two halves of the input, 8 the AC-3,
// E-AC-3 and MPEG audio frame cutters and sample entries over the input as
// an audio elementary stream, 9 the HEVC SPS reader and hvcC writer over the
// input as an SPS, 10 to 12 TS conversion and key frame of a stream whose
// programme map names HEVC + AC-3, HEVC + E-AC-3 and H.264 + MPEG audio and
// whose video and audio PES carry the two halves of the input.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fmp4_processor/fmp4_processor.hpp"
#include "mp4_parser/defragment.hpp"
#include "mp4_parser/mux.hpp"
#include "mp4_parser/rebase.hpp"
#include "mp4_writer/mp4_writer.hpp"
#include "mp4_writer/sample_entries.hpp"
#include "thumbnail/thumbnail.hpp"
#include "ts_parser/ac3.hpp"
#include "ts_parser/frame_cutter.hpp"
#include "ts_parser/hevc.hpp"
#include "ts_parser/mpeg_audio.hpp"

namespace {

using quaver::ByteView;

// Every frame each audio syntax finds, with what its first frames declare
// written into a sample entry; returns the bytes of all frames.
std::size_t cut_audio(ByteView input) {
  quaver::ByteBuilder b;
  std::size_t total = 0;
  quaver::FrameCutter<quaver::Ac3Syntax> ac3;
  ac3.cut(input, [&](ByteView f) {
    total += f.size();
    if (auto c = quaver::read_ac3_config(f)) quaver::write_ac3_entry(b, *c);
  });
  quaver::FrameCutter<quaver::Eac3Syntax> eac3;
  quaver::Eac3Gatherer samples;
  eac3.cut(input, [&](ByteView f) {
    total += f.size();
    samples.add(f);
  });
  if (samples.config()) quaver::write_eac3_entry(b, *samples.config());
  quaver::FrameCutter<quaver::MpegAudioSyntax> mpeg;
  mpeg.cut(input, [&](ByteView f) {
    total += f.size();
    if (auto h = quaver::read_mpeg_audio_header(f.data())) quaver::write_mpeg_audio_entry(b, *h);
  });
  if (total > 3 * input.size()) __builtin_trap();
  return total;
}

// PAT, a PMT naming the two stream types, then the halves of the input as one
// video and one audio PES, packetised.
std::vector<std::uint8_t> wrap_in_ts(ByteView input, std::uint8_t video_type, std::uint8_t audio_type) {
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
  const std::uint8_t pat[] = {0, 0x00, 0xB0, 13, 0, 1, 0xC1, 0, 0, 0, 1, 0xF0, 0x00, 0, 0, 0, 0};
  const std::uint8_t pmt[] = {0,    0x02, 0xB0, 23, 0, 1,    0xC1, 0, 0, 0xE1, 0x00, 0xF0, 0,
                              video_type, 0xE1, 0x00, 0xF0, 0, audio_type, 0xE1, 0x01, 0xF0, 0, 0, 0, 0, 0};
  packet(0, true, ByteView(pat, sizeof pat));
  packet(0x1000, true, ByteView(pmt, sizeof pmt));
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
  const quaver::ByteView input(data + 1, size - 1);
  quaver::OutputAllocator& heap = quaver::heap_allocator();
  std::size_t out = 0;
  switch (data[0] % 13) {
    case 0: {
      auto r = quaver::convert_ts_to_mp4(input, false, heap, quaver::null_report());
      out = r.ok() ? r.value().size() : 0;
      break;
    }
    case 1: {
      auto r = quaver::extract_thumbnail_from_ts(input, heap, quaver::null_report());
      out = r.ok() ? r.value().size() : 0;
      break;
    }
    case 2: {
      auto r = quaver::extract_thumbnail_from_mp4(input, heap);
      out = r.ok() ? r.value().size() : 0;
      break;
    }
    case 4: {
      auto r = quaver::defragment_mp4(input, heap);
      out = r.ok() ? r.value().size() / 20 : 0;  // tables may cost up to ~40 bytes a sample
      break;
    }
    case 5: {
      auto r = quaver::reset_mp4_timestamps(input, heap);
      out = r.ok() ? r.value().size() : 0;
      break;
    }
    case 6: {
      auto r = quaver::convert_mp4_reset_timestamps(input, heap);
      out = r.ok() ? r.value().size() / 20 : 0;
      break;
    }
    case 7: {
      const std::size_t half = input.size() / 2;
      auto r = quaver::mux_fmp4_tracks(input.subspan(0, half), input.subspan(half), heap);
      out = r.ok() ? r.value().size() / 20 : 0;
      break;
    }
    case 8:
      out = cut_audio(input) / 3;
      break;
    case 9: {
      quaver::ByteBuilder b;
      const auto sps = quaver::hevc::read_sps(input);
      quaver::write_hvcc(b, sps, quaver::HevcParameterSets{input.first(input.size() / 3), input, {}});
      out = b.size() / 2;
      break;
    }
    case 10:
    case 11:
    case 12: {
      static constexpr std::uint8_t kTypes[3][2] = {{0x24, 0x81}, {0x24, 0x87}, {0x1B, 0x03}};
      const auto& types = kTypes[data[0] % 13 - 10];
      const std::vector<std::uint8_t> ts = wrap_in_ts(input, types[0], types[1]);
      const ByteView stream(ts.data(), ts.size());
      auto r = quaver::convert_ts_to_mp4(stream, false, heap, quaver::null_report());
      auto k = quaver::extract_thumbnail_from_ts(stream, heap, quaver::null_report());
      out = (r.ok() ? r.value().size() : 0) + (k.ok() ? k.value().size() : 0);
      out = out > ts.size() ? out - ts.size() : 0;
      break;
    }
    default: {
      quaver::FragmentedMP4Processor p;
      for (int i = 0; i < 2; ++i) {
        auto r = p.process_segment(input, heap);
        if (r.ok() && r.value().size() > input.size()) __builtin_trap();
      }
    }
  }
  if (out > 2 * input.size() + 4096) __builtin_trap();
  return 0;
}
