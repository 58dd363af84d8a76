#include "codec/ac3.hpp"

#include "codec/bit_reader.hpp"

namespace quaver::ac3 {

namespace {

constexpr std::uint32_t kRates[3] = {48000, 44100, 32000};
// Nominal bit rates (kbit/s) of the frmsizecod pairs.
constexpr std::uint16_t kAc3Kbps[19] = {32, 40, 48, 56, 64, 80, 96, 112, 128, 160,
                                        192, 224, 256, 320, 384, 448, 512, 576, 640};

// Bytes of an AC-3 frame: 1536 samples at the nominal bit rate, in 16-bit
// words; at 44.1 kHz the odd code of a pair adds the word that the rounding lost.
std::size_t ac3_frame_bytes(unsigned fscod, unsigned frmsizecod) {
  const std::uint32_t kbps = kAc3Kbps[frmsizecod >> 1];
  std::uint32_t words = 0;
  switch (fscod) {
    case 0: words = 2 * kbps; break;
    case 1: words = kbps * 320 / 147 + (frmsizecod & 1); break;
    default: words = 3 * kbps; break;
  }
  return 2 * std::size_t{words};
}

}  // namespace

unsigned acmod_channels(std::uint8_t acmod) {
  static constexpr std::uint8_t kChannels[8] = {2, 1, 2, 3, 3, 4, 4, 5};
  return kChannels[acmod & 7];
}

unsigned chan_loc_channels(std::uint16_t chan_loc) {
  // Bit 8 (first) to bit 0: Lc/Rc, Lrs/Rrs, Cs, Ts, Lsd/Rsd, Lw/Rw, Lvh/Rvh, Cvh, LFE2.
  static constexpr std::uint8_t kWidth[9] = {1, 1, 2, 2, 2, 1, 1, 2, 2};  // bit 0 upwards
  unsigned n = 0;
  for (unsigned bit = 0; bit < 9; ++bit) n += ((chan_loc >> bit) & 1) * kWidth[bit];
  return n;
}

std::size_t Ac3Frames::frame_length(const std::uint8_t* q) {
  if (q[0] != 0x0B || q[1] != 0x77) return 0;
  const unsigned fscod = q[4] >> 6;
  const unsigned frmsizecod = q[4] & 0x3F;
  const unsigned bsid = q[5] >> 3;
  if (fscod == 3 || frmsizecod > 37 || bsid > 8) return 0;
  return ac3_frame_bytes(fscod, frmsizecod);
}

std::optional<Ac3Config> read_ac3_config(ByteView frame) {
  if (frame.size() < 6) return std::nullopt;
  BitReader r(frame, 5);
  auto bsid = r.read_bits(5);
  auto bsmod = r.read_bits(3);
  auto acmod = r.read_bits(3);
  if (!acmod) return std::nullopt;
  // Mix levels and the surround mode sit in front of lfeon for some modes.
  if ((*acmod & 1) && *acmod != 1 && !r.skip_bits(2)) return std::nullopt;  // cmixlev
  if ((*acmod & 4) && !r.skip_bits(2)) return std::nullopt;                 // surmixlev
  if (*acmod == 2 && !r.skip_bits(2)) return std::nullopt;                  // dsurmod
  auto lfeon = r.read_bit();
  if (!lfeon) return std::nullopt;
  Ac3Config c{};
  c.fscod = static_cast<std::uint8_t>(frame[4] >> 6);
  c.bsid = static_cast<std::uint8_t>(*bsid);
  c.bsmod = static_cast<std::uint8_t>(*bsmod);
  c.acmod = static_cast<std::uint8_t>(*acmod);
  c.lfeon = static_cast<std::uint8_t>(*lfeon);
  c.bit_rate_code = static_cast<std::uint8_t>((frame[4] & 0x3F) >> 1);
  c.sample_rate = kRates[c.fscod < 3 ? c.fscod : 0];
  c.channels = static_cast<std::uint16_t>(acmod_channels(c.acmod) + c.lfeon);
  return c;
}

SampleStep Ac3Frames::add(ByteView frame) {
  if (first_) {
    first_ = false;
    config_ = read_ac3_config(frame);
  }
  return {SampleStep::Kind::kOpen, frame};
}

std::size_t Eac3Frames::frame_length(const std::uint8_t* q) {
  if (q[0] != 0x0B || q[1] != 0x77) return 0;
  const unsigned strmtyp = q[2] >> 6;
  const unsigned fscod = q[4] >> 6;
  const unsigned fscod2 = (q[4] >> 4) & 3;
  const unsigned bsid = q[5] >> 3;
  if (strmtyp == 3 || (fscod == 3 && fscod2 == 3) || bsid != 16) return 0;
  const std::size_t length = 2 * ((std::size_t{q[2] & 0x07u} << 8 | q[3]) + 1);
  return length >= 8 ? length : 0;
}

Eac3Frame read_eac3_frame(const std::uint8_t* q) {
  static constexpr std::uint8_t kBlocks[4] = {1, 2, 3, 6};
  static constexpr std::uint32_t kReducedRates[3] = {24000, 22050, 16000};
  Eac3Frame f{};
  f.strmtyp = static_cast<std::uint8_t>(q[2] >> 6);
  f.substreamid = static_cast<std::uint8_t>((q[2] >> 3) & 7);
  f.fscod = static_cast<std::uint8_t>(q[4] >> 6);
  const unsigned second = (q[4] >> 4) & 3;  // numblkscod, or fscod2 at the reduced rates
  if (f.fscod == 3) {
    f.blocks = 6;
    f.sample_rate = kReducedRates[second < 3 ? second : 0];
  } else {
    f.blocks = kBlocks[second];
    f.sample_rate = kRates[f.fscod];
  }
  return f;
}

namespace {

// bsmod and the dependent substream's channel map, from the bit stream
// information after the fixed header. Fields that a damaged frame cuts short
// keep their defaults.
struct Eac3Details {
  std::uint8_t acmod = 0;
  std::uint8_t lfeon = 0;
  std::uint8_t bsmod = 0;
  std::optional<std::uint16_t> chanmap;
};

Eac3Details read_eac3_details(ByteView frame, const Eac3Frame& f) {
  Eac3Details d;
  d.acmod = static_cast<std::uint8_t>((frame[4] >> 1) & 7);
  d.lfeon = static_cast<std::uint8_t>(frame[4] & 1);
  BitReader r(frame, 5);
  const auto flag = [&] { return r.read_bit().value_or(0) == 1; };
  // Each step fails softly: a missing bit reads as 0 and stops nothing worse
  // than a default value.
  if (!r.skip_bits(5 + 5)) return d;  // bsid, dialnorm
  if (flag() && !r.skip_bits(8)) return d;  // compr
  if (d.acmod == 0) {
    if (!r.skip_bits(5)) return d;  // dialnorm2
    if (flag() && !r.skip_bits(8)) return d;  // compr2
  }
  if (f.strmtyp == 1 && flag()) {
    auto map = r.read_bits(16);
    if (!map) return d;
    d.chanmap = static_cast<std::uint16_t>(*map);
  }
  if (flag()) {  // mixing metadata
    if (d.acmod > 2 && !r.skip_bits(2)) return d;                 // dmixmod
    if (d.acmod > 2 && (d.acmod & 1) && !r.skip_bits(6)) return d;  // centre mix levels
    if ((d.acmod & 4) && !r.skip_bits(6)) return d;                 // surround mix levels
    if (d.lfeon && flag() && !r.skip_bits(5)) return d;             // lfemixlevcod
    if (f.strmtyp == 0) {
      for (int i = 0; i < (d.acmod == 0 ? 2 : 1); ++i) {
        if (flag() && !r.skip_bits(6)) return d;  // programme scale factor
      }
      if (flag() && !r.skip_bits(6)) return d;  // external programme scale factor
      auto mixdef = r.read_bits(2);
      if (!mixdef) return d;
      if (*mixdef == 1 && !r.skip_bits(5)) return d;
      if (*mixdef == 2 && !r.skip_bits(12)) return d;
      if (*mixdef == 3) {
        auto len = r.read_bits(5);
        if (!len || !r.skip_bits(8 * (std::size_t{*len} + 2))) return d;
      }
      if (d.acmod < 2) {
        for (int i = 0; i < (d.acmod == 0 ? 2 : 1); ++i) {
          if (flag() && !r.skip_bits(14)) return d;  // pan information
        }
      }
      if (flag()) {  // mixing configuration per frame or per block
        for (unsigned blk = 0; blk < f.blocks; ++blk) {
          if ((f.blocks == 1 || flag()) && !r.skip_bits(5)) return d;
        }
      }
    }
  }
  if (flag()) {  // informational metadata
    auto bsmod = r.read_bits(3);
    if (bsmod) d.bsmod = static_cast<std::uint8_t>(*bsmod);
  }
  return d;
}

// chanmap bit 15 (first) to bit 0: L, C, R, Ls, Rs, Lc/Rc, Lrs/Rrs, Cs, Ts,
// Lsd/Rsd, Lw/Rw, Lvh/Rvh, Cvh, reserved, LFE2, LFE. chan_loc keeps Lc/Rc to
// Cvh and LFE2.
std::uint16_t chan_loc_of(std::uint16_t chanmap) {
  return static_cast<std::uint16_t>(((chanmap >> 2) & 0x1FE) | ((chanmap >> 1) & 1));
}

}  // namespace

void Eac3Frames::describe(ByteView frame, const Eac3Frame& f) {
  Eac3Config& c = *config_;
  const Eac3Details d = read_eac3_details(frame, f);
  if (f.independent()) {
    if (c.substream_count == c.substreams.size()) return;
    Eac3Substream& s = c.substreams[c.substream_count++];
    s.fscod = f.fscod;
    s.bsid = static_cast<std::uint8_t>(frame[5] >> 3);
    s.bsmod = d.bsmod;
    s.acmod = d.acmod;
    s.lfeon = d.lfeon;
    return;
  }
  if (c.substream_count == 0) return;
  Eac3Substream& s = c.substreams[c.substream_count - 1];
  if (s.num_dep_sub < 15) ++s.num_dep_sub;
  if (d.chanmap) s.chan_loc = static_cast<std::uint16_t>(s.chan_loc | chan_loc_of(*d.chanmap));
}

SampleStep Eac3Frames::add(ByteView frame) {
  const Eac3Frame f = read_eac3_frame(frame.data());
  const bool opens = f.independent() && f.substreamid == 0 && (samples_ == 0 || blocks_ >= 6);
  if (samples_ == 0 && !opens) return {SampleStep::Kind::kDrop, {}};
  if (opens) {
    ++samples_;
    blocks_ = 0;
    if (samples_ == 1) {
      config_.emplace();
      config_->sample_rate = f.sample_rate;
    }
  }
  if (f.independent() && f.substreamid == 0) {
    // A second frame of substream 0 in the first sample ends its first block group.
    if (samples_ == 1 && blocks_ > 0) first_group_ = false;
    blocks_ += f.blocks;
  }
  if (samples_ == 1) {
    if (first_group_) describe(frame, f);
    first_bytes_ += frame.size();
    Eac3Config& c = *config_;
    c.data_rate = static_cast<std::uint16_t>(first_bytes_ * 8 * c.sample_rate / (1536 * 1000));
    const Eac3Substream& s0 = c.substreams[0];
    c.channels = static_cast<std::uint16_t>(acmod_channels(s0.acmod) + s0.lfeon + chan_loc_channels(s0.chan_loc));
  }
  return {opens ? SampleStep::Kind::kOpen : SampleStep::Kind::kJoin, frame};
}

AudioFormat format(const Ac3Config& c) { return AudioFormat{c.sample_rate, 1536, c.channels}; }

AudioFormat format(const Eac3Config& c) { return AudioFormat{c.sample_rate, 1536, c.channels}; }

void write_sample_entry(ByteBuilder& b, const Ac3Config& c) {
  const std::size_t entry = b.open_box(fourcc("ac-3"));
  write_audio_entry_fields(b, format(c));
  const std::size_t dac3 = b.open_box(fourcc("dac3"));
  b.u24((std::uint32_t{c.fscod} << 22) | (std::uint32_t{c.bsid & 0x1Fu} << 17) | (std::uint32_t{c.bsmod & 7u} << 14) |
        (std::uint32_t{c.acmod & 7u} << 11) | (std::uint32_t{c.lfeon & 1u} << 10) |
        (std::uint32_t{c.bit_rate_code & 0x1Fu} << 5));
  b.close_box(dac3);
  b.close_box(entry);
}

void write_sample_entry(ByteBuilder& b, const Eac3Config& c) {
  const std::size_t entry = b.open_box(fourcc("ec-3"));
  write_audio_entry_fields(b, format(c));
  const std::size_t dec3 = b.open_box(fourcc("dec3"));
  const unsigned count = c.substream_count ? c.substream_count : 1;
  b.u16(static_cast<std::uint16_t>(((c.data_rate & 0x1FFFu) << 3) | (count - 1)));
  for (unsigned i = 0; i < count; ++i) {
    const Eac3Substream& s = c.substreams[i];
    // fscod, bsid, reserved, asvc 0, bsmod, acmod, lfeon, reserved, num_dep_sub,
    // then chan_loc (9 bits) when there are dependents, else a reserved bit.
    std::uint32_t bits = (std::uint32_t{s.fscod & 3u} << 22) | (std::uint32_t{s.bsid & 0x1Fu} << 17) |
                         (std::uint32_t{s.bsmod & 7u} << 12) | (std::uint32_t{s.acmod & 7u} << 9) |
                         (std::uint32_t{s.lfeon & 1u} << 8) | (std::uint32_t{s.num_dep_sub & 0xFu} << 1);
    if (s.num_dep_sub > 0) bits |= (s.chan_loc >> 8) & 1;
    b.u24(bits);
    if (s.num_dep_sub > 0) b.u8(static_cast<std::uint8_t>(s.chan_loc));
  }
  b.close_box(dec3);
  b.close_box(entry);
}

}  // namespace quaver::ac3
