// AAC in LATM inside LOAS (MPEG-4 audio's own transport, as DVB-T2 and ISDB
// broadcast it): where its frames are, the AudioSpecificConfig its
// StreamMuxConfig carries, and the raw AAC payload of each frame. Its MP4
// sample entry is AAC's (mp4a with an esds).
//
// A LOAS frame opens with the 11-bit sync word 0x2B7 and a 13-bit length of
// what follows: one AudioMuxElement, which may repeat the StreamMuxConfig or
// say that the previous one holds. Its fields are bit-packed, so the payload
// seldom starts on a byte and is copied out shifted.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "codec/framing.hpp"
#include "codec/sample_entry.hpp"
#include "core/bytes.hpp"
#include "core/output.hpp"

namespace quaver::latm {

// What the first StreamMuxConfig declares.
struct LatmConfig {
  std::array<std::uint8_t, 16> asc{};  // the AudioSpecificConfig, its last byte padded with zero bits
  std::uint8_t asc_size = 0;           // bytes
  std::uint32_t sample_rate = 48000;   // Hz: the output rate, with SBR the extension's
  std::uint32_t frame_samples = 1024;  // 2048 where SBR doubles the rate
  std::uint16_t channels = 2;
};

// The StreamMuxConfig a frame's payload is read by: one program of one
// layer, all streams on the same time framing, payload lengths in bytes.
struct MuxConfig {
  std::uint8_t sub_frames = 0;  // numSubFrames: payloads per frame, less one
};

// LOAS frames, each giving its AAC payloads (one per sub-frame) as MP4
// samples (see framing.hpp). A frame is dropped when it has no
// configuration to be read by (before the first StreamMuxConfig), or one
// quaver does not read: several programs or layers, payload lengths not in
// bytes, or an AudioSpecificConfig other than AAC's general one.
class LoasFrames : public FramerConfig<LatmConfig> {
 public:
  static constexpr std::size_t kHeaderBytes = 3;
  static constexpr std::uint8_t kSyncByte = 0x56;
  static std::size_t frame_length(const std::uint8_t* q) {
    if ((q[1] & 0xE0) != 0xE0) return 0;
    const std::size_t length = (std::size_t{q[1]} & 0x1F) << 8 | q[2];
    return length == 0 ? 0 : 3 + length;
  }

  // Bytes each payload of a frame of several has at least.
  static constexpr std::size_t kLeastOfSeveral = 4;

  SampleStep add(ByteView frame);
  std::optional<SampleStep> next();

 private:
  std::optional<MuxConfig> mux_;
  std::vector<std::uint8_t> payload_;  // the last frame's payloads, aligned, back to back
  std::vector<std::size_t> ends_;      // where each of them ends
  std::size_t handed_ = 0;             // payloads handed out
};

AudioFormat format(const LatmConfig& c);
void write_sample_entry(ByteBuilder& b, const LatmConfig& c);

}  // namespace quaver::latm
