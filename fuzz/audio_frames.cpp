// The AC-3, E-AC-3, MPEG audio, LOAS and Opus frame cutters over the input
// as an audio elementary stream, with what the first frames declare written
// into each syntax's sample entry. Each cutter hands out disjoint ranges of
// the input, and a framer's samples lie within its frames.
#include "codec/ac3.hpp"
#include "codec/latm.hpp"
#include "codec/mpeg_audio.hpp"
#include "codec/opus.hpp"
#include "fuzz_target.hpp"
#include "ts_parser/frame_cutter.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using quaver::ByteView;
  const ByteView input(data, size);
  quaver::ByteBuilder entries;
  std::size_t ac3 = 0, eac3 = 0, mpeg = 0;
  quaver::FrameCutter<quaver::ac3::Ac3Frames> ac3_cutter;
  ac3_cutter.cut(input, [&](ByteView f) {
    ac3 += f.size();
    if (auto c = quaver::ac3::read_ac3_config(f)) quaver::ac3::write_sample_entry(entries, *c);
  });
  quaver::FrameCutter<quaver::ac3::Eac3Frames> eac3_cutter;
  quaver::ac3::Eac3Frames samples;
  eac3_cutter.cut(input, [&](ByteView f) {
    eac3 += f.size();
    samples.add(f);
  });
  if (samples.config()) quaver::ac3::write_sample_entry(entries, *samples.config());
  quaver::FrameCutter<quaver::mpeg_audio::Frames> mpeg_cutter;
  mpeg_cutter.cut(input, [&](ByteView f) {
    mpeg += f.size();
    if (auto h = quaver::mpeg_audio::read_header(f.data())) quaver::mpeg_audio::write_sample_entry(entries, *h);
  });
  if (ac3 > size || eac3 > size || mpeg > size) quaver::fuzz::broken("frames beyond the stream", ac3 + eac3 + mpeg, size);
  // Framers that hand out payloads: each is no larger than its frame.
  const auto framed = [&](auto frames) {
    quaver::FrameCutter<decltype(frames)> cutter;
    std::size_t total = 0;
    cutter.cut(input, [&](ByteView f) {
      total += f.size();
      std::size_t bytes = frames.add(f).bytes.size();
      if constexpr (requires { frames.next(); }) {
        while (const auto more = frames.next()) bytes += more->bytes.size();
      }
      if (bytes > f.size()) quaver::fuzz::broken("samples larger than their frame", bytes, f.size());
    });
    if (total > size) quaver::fuzz::broken("frames beyond the stream", total, size);
    if (frames.config()) write_sample_entry(entries, *frames.config());
  };
  framed(quaver::latm::LoasFrames());
  framed(quaver::opus::Packets(static_cast<std::uint8_t>(size % 10)));
  return 0;
}
