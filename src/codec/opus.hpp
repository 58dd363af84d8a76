// Opus as a transport stream carries it: each packet behind a control header
// (the 11-bit prefix 0x3FF, flags, the packet's size in bytes as a run of
// 255s ended by a smaller value, and the optional start trim, end trim and
// extension), and its MP4 sample entry (Opus with a dOps). A packet's length
// in time is read from its TOC byte: frames of 2.5 to 60 ms at 48 kHz, one,
// two or the number its third byte gives.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "codec/framing.hpp"
#include "codec/sample_entry.hpp"
#include "core/bytes.hpp"
#include "core/output.hpp"

namespace quaver::opus {

// What the dOps box carries.
struct OpusConfig {
  std::uint16_t channels = 2;
  std::uint16_t pre_skip = 0;       // 48 kHz samples: the first packet's start trim
  std::uint32_t frame_samples = 960;  // 48 kHz samples of the first packet
};

// 48 kHz samples that a packet (TOC byte first) decodes to; 0 when it is
// empty, or says more than 120 ms, which no packet may hold.
std::uint32_t packet_samples(ByteView packet);

// The channels an Opus audio descriptor's channel_config_code declares (a
// DVB extension descriptor, 0x7F, with the extension tag 0x80): 1 to 8; 0
// where there is no such descriptor or the code is one quaver does not
// read (dual mono, and the codes that give a mapping table of their own).
std::uint8_t declared_channels(ByteView descriptors);

// Control-header-framed packets, each one MP4 sample without its header
// (see framing.hpp), lasting what its TOC byte says. A packet of fewer than
// kTimedBytes bytes (silence, a lost frame's stand-in) lasts as long as the
// one before it: it does in any stream an encoder writes, and otherwise a
// hostile stream could make every 4 bytes a duration entry of 8. The configuration: the channels the map declared (else
// those the first packet's TOC says: mono or stereo), and the first
// packet's start trim as the pre-skip.
class Packets : public FramerConfig<OpusConfig> {
 public:
  explicit Packets(std::uint8_t declared_channels = 0) : declared_(declared_channels) {}
  // The header's fields (prefix, flags and up to ten size bytes) are judged
  // in one look: a packet is at most a few kilobytes.
  static constexpr std::size_t kHeaderBytes = 12;
  static constexpr std::size_t kShortestFrame = 4;  // header, size and TOC byte
  static constexpr std::uint8_t kSyncByte = 0x7F;
  static std::size_t frame_length(const std::uint8_t* q);

  static constexpr std::size_t kTimedBytes = 8;

  SampleStep add(ByteView frame);

 private:
  std::uint8_t declared_;
  std::uint32_t last_duration_ = 0;  // of the packet before, as add gave it
};

AudioFormat format(const OpusConfig& c);

// Opus with a dOps: channel mapping family 0 for one or two channels, else
// family 1 with the stream counts and order of its Vorbis layouts.
void write_sample_entry(ByteBuilder& b, const OpusConfig& c);

}  // namespace quaver::opus
