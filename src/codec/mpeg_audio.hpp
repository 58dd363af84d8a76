// MPEG audio frames (layers I, II and III of MPEG-1, MPEG-2 and MPEG-2.5).
//
// A frame opens with an 11-bit sync word and a 4-byte header that gives its
// length: from the bit rate, the sample rate and the padding bit. Reserved
// versions, layers, bit rates and sample rates are false syncs, and so are
// free-format frames (bit rate index 0), whose length the header does not
// give. Frames are kept whole, header included, as MP4 samples store them,
// in an mp4a sample entry whose esds names MPEG-1 or MPEG-2 audio.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "codec/framing.hpp"
#include "codec/sample_entry.hpp"
#include "core/bytes.hpp"
#include "core/output.hpp"

namespace quaver::mpeg_audio {

struct Header {
  bool mpeg1;                    // false for MPEG-2 and MPEG-2.5 (the lower sample rates)
  std::uint8_t layer;            // 1, 2 or 3
  std::uint32_t sample_rate;     // Hz
  std::uint32_t bit_rate;        // bit/s
  std::uint16_t samples_per_frame;  // 384, 1152 or 576
  bool mono;                     // channel mode 3
  std::size_t frame_length;      // bytes, header included
};

// The header at q (4 readable bytes), or nothing for a false sync.
std::optional<Header> read_header(const std::uint8_t* q);

// MPEG audio frames, each one MP4 sample (see framing.hpp). The
// configuration is the first frame's header.
class Frames : public FramerConfig<Header> {
 public:
  static constexpr std::size_t kHeaderBytes = 4;
  static constexpr std::uint8_t kSyncByte = 0xFF;
  static std::size_t frame_length(const std::uint8_t* q) {
    auto h = read_header(q);
    return h ? h->frame_length : 0;
  }

  SampleStep add(ByteView frame) {
    if (!config_) config_ = read_header(frame.data());
    return {SampleStep::Kind::kOpen, frame};
  }
};

// The track's format: at the header's sample rate and samples per frame,
// mono or two channels.
AudioFormat format(const Header& first);

// mp4a with an esds whose object type names MPEG-1 (0x6B) or MPEG-2 (0x69)
// audio and that carries no decoder specific information.
void write_sample_entry(ByteBuilder& b, const Header& first);

}  // namespace quaver::mpeg_audio
