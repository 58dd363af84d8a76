#include "codec/latm.hpp"

#include <iterator>

#include "codec/aac.hpp"
#include "codec/bit_reader.hpp"

namespace quaver::latm {

namespace {

// LatmGetValue: a count of bytes (2 bits), then that many bytes and one.
std::optional<std::uint32_t> latm_value(BitReader& r) {
  auto bytes = r.read_bits(2);
  if (!bytes) return std::nullopt;
  std::uint32_t v = 0;
  for (std::uint32_t i = 0; i <= *bytes; ++i) {
    auto b = r.read_bits(8);
    if (!b) return std::nullopt;
    v = v << 8 | *b;
  }
  return v;
}

std::optional<std::uint32_t> object_type(BitReader& r) {
  auto t = r.read_bits(5);
  if (t && *t == 31) {
    auto e = r.read_bits(6);
    return e ? std::optional<std::uint32_t>(32 + *e) : std::nullopt;
  }
  return t;
}

// A sample rate index, or the 24-bit rate that index 15 escapes to.
std::optional<std::uint32_t> sample_rate(BitReader& r) {
  auto index = r.read_bits(4);
  if (!index) return std::nullopt;
  if (*index == 15) return r.read_bits(24);
  if (*index >= std::size(aac::kSampleRates)) return std::nullopt;
  return aac::kSampleRates[*index];
}

// Reads an AudioSpecificConfig of the general audio coding types (AAC
// Main, LC, SSR, LTP, scalable, and their error-resilient forms, with or
// without explicit SBR or PS); nothing for the others, whose configuration
// quaver does not read, and for a channel configuration given in the
// stream (0), whose program config element it does not read either.
std::optional<LatmConfig> read_asc(BitReader& r) {
  LatmConfig c;
  auto type = object_type(r);
  auto rate = sample_rate(r);
  auto channels = r.read_bits(4);
  if (!type || !rate || !channels || *channels == 0 || *rate == 0) return std::nullopt;
  c.sample_rate = *rate;
  c.channels = static_cast<std::uint16_t>(*channels == 7 ? 8 : *channels);
  if (*type == 5 || *type == 29) {  // SBR (or PS): the extension's rate, then the core's type
    auto extension_rate = sample_rate(r);
    type = object_type(r);
    if (!extension_rate || !type) return std::nullopt;
    if (*extension_rate != c.sample_rate) c.frame_samples = 2048;
    c.sample_rate = *extension_rate;
    if (*type == 22 && !r.skip_bits(4)) return std::nullopt;
  }
  switch (*type) {
    case 1: case 2: case 3: case 4: case 6: case 7: case 17: case 19: case 20: case 21: case 22: case 23: break;
    default: return std::nullopt;
  }
  auto frame_length_flag = r.read_bit();
  auto core_coder = r.read_bit();
  if (!frame_length_flag || !core_coder || (*core_coder && !r.skip_bits(14))) return std::nullopt;
  if (*frame_length_flag) c.frame_samples = c.frame_samples / 1024 * 960;
  auto extension = r.read_bit();
  if (!extension) return std::nullopt;
  if ((*type == 6 || *type == 20) && !r.skip_bits(3)) return std::nullopt;  // layerNr
  if (*extension) {
    if (*type == 22 && !r.skip_bits(16)) return std::nullopt;
    if ((*type == 17 || *type == 19 || *type == 20 || *type == 23) && !r.skip_bits(3)) return std::nullopt;
    if (!r.skip_bits(1)) return std::nullopt;  // extensionFlag3
  }
  if (*type >= 17) {  // error-resilient types: epConfig 0 or 1 only
    auto ep = r.read_bits(2);
    if (!ep || *ep > 1) return std::nullopt;
  }
  return c;
}

// `bits` bits of `data` from bit `from` on, into bytes (the last padded with zero bits).
void copy_bits(ByteView data, std::size_t from, std::size_t bits, std::uint8_t* out) {
  const std::size_t shift = from % 8;
  const std::uint8_t* p = data.data() + from / 8;
  const std::size_t bytes = (bits + 7) / 8;
  const std::size_t end = (from + bits + 7) / 8 - from / 8;  // source bytes touched
  for (std::size_t i = 0; i < bytes; ++i) {
    unsigned v = p[i] << shift;
    if (shift && i + 1 < end) v |= p[i + 1] >> (8 - shift);
    out[i] = static_cast<std::uint8_t>(v);
  }
  if (bits % 8) out[bytes - 1] &= static_cast<std::uint8_t>(0xFF << (8 - bits % 8));
}

}  // namespace

SampleStep LoasFrames::add(ByteView frame) {
  const SampleStep drop{SampleStep::Kind::kDrop, {}};
  ends_.clear();
  handed_ = 0;
  const ByteView element = frame.subspan(3);
  BitReader r(element);
  auto same_mux = r.read_bit();
  if (!same_mux) return drop;
  if (!*same_mux) {
    // StreamMuxConfig.
    mux_.reset();
    MuxConfig m;
    auto version = r.read_bit();
    if (!version) return drop;
    const bool version1 = *version;
    if (version1) {
      auto version_a = r.read_bit();
      if (!version_a || *version_a || !latm_value(r)) return drop;  // taraBufferFullness
    }
    auto same_framing = r.read_bit();
    auto sub_frames = r.read_bits(6);
    auto programs = r.read_bits(4);
    auto layers = r.read_bits(3);
    if (!same_framing || !*same_framing || !sub_frames || !programs || *programs != 0 || !layers || *layers != 0) {
      return drop;
    }
    m.sub_frames = static_cast<std::uint8_t>(*sub_frames);
    std::optional<std::uint32_t> asc_bits;
    if (version1 && !(asc_bits = latm_value(r))) return drop;
    const std::size_t asc_from = r.bit_pos();
    std::optional<LatmConfig> config = read_asc(r);
    if (!config) return drop;
    const std::size_t read = r.bit_pos() - asc_from;
    if (asc_bits) {  // fill bits up to the length given
      if (*asc_bits < read || !r.skip_bits(*asc_bits - read)) return drop;
    }
    if (read > 8 * config->asc.size()) return drop;
    auto length_type = r.read_bits(3);
    if (!length_type || *length_type != 0 || !r.skip_bits(8)) return drop;  // latmBufferFullness
    // Other data follows the payloads; only its length field is read here.
    auto other = r.read_bit();
    if (!other) return drop;
    if (*other && version1 && !latm_value(r)) return drop;
    for (std::optional<std::uint32_t> escape = *other && !version1; escape && *escape;) {
      escape = r.read_bit();
      if (!escape || !r.skip_bits(8)) return drop;
    }
    auto crc = r.read_bit();
    if (!crc || (*crc && !r.skip_bits(8))) return drop;
    if (!config_) {
      config->asc_size = static_cast<std::uint8_t>((read + 7) / 8);
      copy_bits(element, asc_from, read, config->asc.data());
      config_ = *config;
    }
    mux_ = m;
  }
  if (!mux_) return drop;
  // Each sub-frame: its PayloadLengthInfo (bytes, in runs of 255 ended by a
  // smaller value), then its payload. A frame cut short gives nothing, and
  // so does one of several payloads of which one is shorter than any AAC
  // frame an encoder writes: otherwise every 2 bytes of a hostile frame
  // could make a sample, whose size alone takes 4 in the file.
  const std::size_t least = mux_->sub_frames ? kLeastOfSeveral : 1;
  payload_.clear();
  for (unsigned k = 0; k <= mux_->sub_frames; ++k) {
    std::size_t length = 0;
    for (std::optional<std::uint32_t> b; !b || *b == 255;) {
      b = r.read_bits(8);
      if (!b) break;
      length += *b;
    }
    const std::size_t from = r.bit_pos();
    if (length < least || from + 8 * length > 8 * element.size()) {
      ends_.clear();
      return drop;
    }
    payload_.resize(payload_.size() + length);
    copy_bits(element, from, 8 * length, payload_.data() + payload_.size() - length);
    ends_.push_back(payload_.size());
    r.skip_bits(8 * length);
  }
  return *next();
}

std::optional<SampleStep> LoasFrames::next() {
  if (handed_ >= ends_.size()) return std::nullopt;
  const std::size_t begin = handed_ ? ends_[handed_ - 1] : 0;
  const std::size_t end = ends_[handed_++];
  return SampleStep{SampleStep::Kind::kOpen, ByteView(payload_.data() + begin, end - begin)};
}

AudioFormat format(const LatmConfig& c) { return AudioFormat{c.sample_rate, c.frame_samples, c.channels}; }

void write_sample_entry(ByteBuilder& b, const LatmConfig& c) {
  aac::write_sample_entry(b, format(c), ByteView(c.asc.data(), c.asc_size));
}

}  // namespace quaver::latm
