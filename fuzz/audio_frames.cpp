// The AC-3, E-AC-3 and MPEG audio frame cutters over the input as an audio
// elementary stream, with what the first frames declare written into each
// syntax's sample entry. Each cutter hands out disjoint ranges of the input.
#include "fuzz_target.hpp"
#include "mp4_writer/sample_entries.hpp"
#include "ts_parser/ac3.hpp"
#include "ts_parser/frame_cutter.hpp"
#include "ts_parser/mpeg_audio.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using quaver::ByteView;
  const ByteView input(data, size);
  quaver::ByteBuilder entries;
  std::size_t ac3 = 0, eac3 = 0, mpeg = 0;
  quaver::FrameCutter<quaver::Ac3Syntax> ac3_cutter;
  ac3_cutter.cut(input, [&](ByteView f) {
    ac3 += f.size();
    if (auto c = quaver::read_ac3_config(f)) quaver::write_ac3_entry(entries, *c);
  });
  quaver::FrameCutter<quaver::Eac3Syntax> eac3_cutter;
  quaver::Eac3Gatherer samples;
  eac3_cutter.cut(input, [&](ByteView f) {
    eac3 += f.size();
    samples.add(f);
  });
  if (samples.config()) quaver::write_eac3_entry(entries, *samples.config());
  quaver::FrameCutter<quaver::MpegAudioSyntax> mpeg_cutter;
  mpeg_cutter.cut(input, [&](ByteView f) {
    mpeg += f.size();
    if (auto h = quaver::read_mpeg_audio_header(f.data())) quaver::write_mpeg_audio_entry(entries, *h);
  });
  if (ac3 > size || eac3 > size || mpeg > size) quaver::fuzz::broken("frames beyond the stream", ac3 + eac3 + mpeg, size);
  return 0;
}
