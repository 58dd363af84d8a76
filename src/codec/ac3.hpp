// AC-3 and E-AC-3: where their syncframes start, how long they are, what the
// first ones declare, how E-AC-3 frames gather into 1536-sample units, and
// their MP4 sample entries (ac-3 with a dac3, ec-3 with a dec3).
//
// Both syntaxes open with the sync word 0B 77 and carry their bsid in the top
// five bits of byte 5: AC-3 uses bsid 0..8, E-AC-3 bsid 16. A frame is kept
// whole (sync word included): that is how both are stored in MP4 samples.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "codec/framing.hpp"
#include "codec/sample_entry.hpp"
#include "core/bytes.hpp"
#include "core/output.hpp"

namespace quaver::ac3 {

// Where a frame of either syntax may start, and how much of it tells its
// length (see framing.hpp).
struct SyncFrame {
  static constexpr std::size_t kHeaderBytes = 6;
  static constexpr std::uint8_t kSyncByte = 0x0B;
};

// What the dac3 box carries, read from the first AC-3 frame.
struct Ac3Config {
  std::uint8_t fscod;          // 0 48 kHz, 1 44.1 kHz, 2 32 kHz
  std::uint8_t bsid;
  std::uint8_t bsmod;
  std::uint8_t acmod;          // audio coding mode: which full-range channels
  std::uint8_t lfeon;          // 1 when a low-frequency channel is present
  std::uint8_t bit_rate_code;  // frmsizecod >> 1
  std::uint32_t sample_rate;   // Hz
  std::uint16_t channels;      // full-range channels + LFE
};

// Nothing when the frame is too short for its bit stream information.
std::optional<Ac3Config> read_ac3_config(ByteView frame);

// AC-3 frames, each one MP4 sample (see framing.hpp). Frame size from fscod
// (2 bits) and frmsizecod (6 bits) of byte 4; fscod 3 (reserved),
// frmsizecod above 37 or a bsid above 8 is a false sync. The configuration
// is the first frame's.
class Ac3Frames : public SyncFrame, public FramerConfig<Ac3Config> {
 public:
  static std::size_t frame_length(const std::uint8_t* q);
  SampleStep add(ByteView frame);

 private:
  bool first_ = true;
};

// The fixed-position fields of an E-AC-3 frame (the header is complete).
struct Eac3Frame {
  std::uint8_t strmtyp;      // 0 independent, 1 dependent, 2 independent (converted from AC-3)
  std::uint8_t substreamid;  // 0..7
  std::uint8_t blocks;       // audio blocks of 256 samples: 1, 2, 3 or 6
  std::uint8_t fscod;        // as coded; 3 means a reduced rate given by fscod2
  std::uint32_t sample_rate; // Hz
  bool independent() const { return strmtyp != 1; }
};
Eac3Frame read_eac3_frame(const std::uint8_t* q);

// One independent substream as the dec3 box describes it.
struct Eac3Substream {
  std::uint8_t fscod = 0;
  std::uint8_t bsid = 16;
  std::uint8_t bsmod = 0;        // 0 when the frame carries no informational metadata
  std::uint8_t acmod = 0;
  std::uint8_t lfeon = 0;
  std::uint8_t num_dep_sub = 0;  // dependent substreams that follow it
  std::uint16_t chan_loc = 0;    // 9 bits: channel locations its dependents add
};

// What the dec3 box carries, read from the frames of the first sample.
struct Eac3Config {
  std::uint32_t sample_rate = 0;  // Hz
  std::uint16_t data_rate = 0;    // kbit/s of the first 1536 samples, all substreams
  std::uint16_t channels = 0;     // independent substream 0 with what its dependents add
  std::array<Eac3Substream, 8> substreams{};
  std::uint8_t substream_count = 0;
};

// E-AC-3 frames, gathered into MP4 samples of six blocks (1536 audio
// samples), with the dec3 configuration read from the frames of the first
// sample (see framing.hpp). Frame size (frmsiz + 1) x 2 bytes; a reserved
// stream type, a reserved sample rate or a bsid other than 16 is a false
// sync.
//
// A sample opens with an independent frame of substream 0 once the current
// sample holds six blocks of it; the other substreams' frames (independent
// ones with another id, and every dependent one) join the current sample. A
// frame before the first independent frame of substream 0 has no sample to
// join and is dropped.
class Eac3Frames : public SyncFrame, public FramerConfig<Eac3Config> {
 public:
  static std::size_t frame_length(const std::uint8_t* q);
  // Where the frame goes; updates the configuration while the first sample is read.
  SampleStep add(ByteView frame);

 private:
  void describe(ByteView frame, const Eac3Frame& f);
  unsigned blocks_ = 0;        // blocks of substream 0 in the current sample
  unsigned samples_ = 0;       // samples opened so far
  bool first_group_ = true;    // still in the first block group of the first sample
  std::uint64_t first_bytes_ = 0;  // bytes of the first sample
};

// Channels that a 9-bit chan_loc adds: pairs count twice.
unsigned chan_loc_channels(std::uint16_t chan_loc);

// Full-range channels of an acmod value (1+1 dual mono counts two).
unsigned acmod_channels(std::uint8_t acmod);

// The tracks' format: at the stream's sample rate, 1536 samples a frame.
AudioFormat format(const Ac3Config& c);
AudioFormat format(const Eac3Config& c);

void write_sample_entry(ByteBuilder& b, const Ac3Config& c);
void write_sample_entry(ByteBuilder& b, const Eac3Config& c);

}  // namespace quaver::ac3
