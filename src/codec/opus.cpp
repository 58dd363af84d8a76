#include "codec/opus.hpp"

namespace quaver::opus {

namespace {

constexpr std::uint8_t kExtensionTag = 0x7F;
constexpr std::uint8_t kOpusExtension = 0x80;

// The control header in front of a packet: its bytes, and the packet's.
struct Control {
  std::size_t header;
  std::size_t size;
  std::optional<std::uint16_t> start_trim;
};

// Reads the header at q, of which `readable` bytes may be looked at;
// nothing when they do not hold all of it.
std::optional<Control> read_control(const std::uint8_t* q, std::size_t readable) {
  if (readable < 3 || q[0] != 0x7F || (q[1] & 0xE0) != 0xE0) return std::nullopt;
  const bool start_trim = q[1] & 0x10;
  const bool end_trim = q[1] & 0x08;
  const bool extension = q[1] & 0x04;
  Control c{2, 0, std::nullopt};
  for (;;) {
    if (c.header >= readable) return std::nullopt;
    const std::uint8_t b = q[c.header++];
    c.size += b;
    if (b != 255) break;
  }
  if (start_trim) {
    if (c.header + 2 > readable) return std::nullopt;
    c.start_trim = static_cast<std::uint16_t>((q[c.header] & 0x1F) << 8 | q[c.header + 1]);
    c.header += 2;
  }
  if (end_trim) c.header += 2;
  if (extension) {
    if (c.header >= readable) return std::nullopt;
    c.header += 1 + std::size_t{q[c.header]};
  }
  return c;
}

// The Vorbis channel layouts of 1 to 8 channels: streams, coupled streams,
// and the stream channel each output channel comes from (family 1 uses
// those of 3 channels and more).
struct Layout {
  std::uint8_t streams;
  std::uint8_t coupled;
  std::array<std::uint8_t, 8> mapping;
};
constexpr Layout kLayouts[8] = {
    {1, 0, {0}},
    {1, 1, {0, 1}},
    {2, 1, {0, 2, 1}},
    {2, 2, {0, 1, 2, 3}},
    {3, 2, {0, 4, 1, 2, 3}},
    {4, 2, {0, 4, 1, 2, 3, 5}},
    {5, 2, {0, 4, 1, 2, 3, 5, 6}},
    {5, 3, {0, 6, 1, 2, 3, 4, 5, 7}},
};

}  // namespace

std::uint32_t packet_samples(ByteView p) {
  if (p.empty()) return 0;
  const unsigned config = p[0] >> 3;
  static constexpr std::uint32_t kSilk[4] = {480, 960, 1920, 2880};
  static constexpr std::uint32_t kCelt[4] = {120, 240, 480, 960};
  const std::uint32_t frame =
      config < 12 ? kSilk[config & 3] : config < 16 ? (config & 1 ? 960 : 480) : kCelt[config & 3];
  std::uint32_t frames = 1;
  switch (p[0] & 3) {
    case 0: frames = 1; break;
    case 1: case 2: frames = 2; break;
    default: frames = p.size() >= 2 ? p[1] & 0x3F : 0; break;
  }
  const std::uint32_t samples = frame * frames;
  return samples <= 5760 ? samples : 0;
}

std::uint8_t declared_channels(ByteView d) {
  for (std::size_t i = 0; i + 2 <= d.size(); i += 2 + std::size_t{d[i + 1]}) {
    if (d[i] != kExtensionTag || d[i + 1] < 2 || i + 4 > d.size() || d[i + 2] != kOpusExtension) continue;
    const std::uint8_t code = d[i + 3];
    return code >= 1 && code <= 8 ? code : 0;
  }
  return 0;
}

std::size_t Packets::frame_length(const std::uint8_t* q) {
  const std::optional<Control> c = read_control(q, kHeaderBytes);
  return c ? c->header + c->size : 0;
}

SampleStep Packets::add(ByteView frame) {
  const std::optional<Control> c = read_control(frame.data(), frame.size());
  if (!c || c->size == 0) return {SampleStep::Kind::kDrop, {}};
  const ByteView packet = frame.subspan(c->header, c->size);
  if (!config_) {
    OpusConfig config;
    config.channels = declared_ ? declared_ : (packet[0] & 0x04) ? 2 : 1;
    config.pre_skip = c->start_trim.value_or(0);
    config.frame_samples = packet_samples(packet);
    if (config.frame_samples == 0) config.frame_samples = 960;
    config_ = config;
  }
  if (packet.size() >= kTimedBytes) last_duration_ = packet_samples(packet);
  return {SampleStep::Kind::kOpen, packet, last_duration_};
}

AudioFormat format(const OpusConfig& c) { return AudioFormat{48000, c.frame_samples, c.channels}; }

void write_sample_entry(ByteBuilder& b, const OpusConfig& c) {
  const std::size_t entry = b.open_box(fourcc("Opus"));
  write_audio_entry_fields(b, format(c));
  const std::size_t dops = b.open_box(fourcc("dOps"));
  const std::uint16_t channels = c.channels >= 1 && c.channels <= 8 ? c.channels : 2;
  b.u8(0);  // version
  b.u8(static_cast<std::uint8_t>(channels));
  b.u16(c.pre_skip);
  b.u32(48000);  // the input's rate, for a player's information
  b.u16(0);      // output gain
  if (channels <= 2) {
    b.u8(0);  // mapping family 0: mono or stereo in one stream
  } else {
    const Layout& l = kLayouts[channels - 1];
    b.u8(1);
    b.u8(l.streams);
    b.u8(l.coupled);
    for (std::uint16_t k = 0; k < channels; ++k) b.u8(l.mapping[k]);
  }
  b.close_box(dops);
  b.close_box(entry);
}

}  // namespace quaver::opus
