// HEVC sequence parameter set, read as far as the bit depths.
//
// The fields are read from an unescaped copy: emulation-prevention bytes are
// common inside the zero-filled constraint flags and would shift every later
// field. Only the head of the unit is copied, so a hostile multi-megabyte
// "SPS" costs no more than a real one.
#include <algorithm>

#include "codec/hevc.hpp"

#include "codec/bit_reader.hpp"
#include "core/annexb.hpp"

namespace quaver::hevc {

namespace {

std::uint8_t type_of(std::uint8_t first) { return (first >> 1) & 0x3F; }
bool left_out(std::uint8_t type) { return type >= 32 && type <= 35; }  // VPS, SPS, PPS, AUD
bool is_key(std::uint8_t type) { return type >= 16 && type <= 23; }    // BLA, IDR, CRA, reserved IRAP
bool is_slice(std::uint8_t type) { return type < 32; }
ParameterSet parameter_set(std::uint8_t type) {
  switch (type) {
    case kVps: return ParameterSet::kVideo;
    case kSps: return ParameterSet::kSequence;
    case kPps: return ParameterSet::kPicture;
    default: return ParameterSet::kNone;
  }
}

// Every field this reader needs lies well inside this many stored bytes: the
// header, 13 bytes of general profile, at most 7 x 12 bytes of sub-layer
// profiles, and six Exp-Golomb codes of at most 8 bytes each.
constexpr std::size_t kHeadBytes = 256;

// Skips the sub-layer part of profile_tier_level.
bool skip_sub_layers(BitReader& r, unsigned sub_layers_minus1) {
  bool profile_present[8] = {};
  bool level_present[8] = {};
  for (unsigned i = 0; i < sub_layers_minus1; ++i) {
    auto p = r.read_bit();
    auto l = r.read_bit();
    if (!p || !l) return false;
    profile_present[i] = *p;
    level_present[i] = *l;
  }
  if (sub_layers_minus1 > 0 && !r.skip_bits(2 * (8 - std::size_t{sub_layers_minus1}))) return false;
  for (unsigned i = 0; i < sub_layers_minus1; ++i) {
    if (profile_present[i] && !r.skip_bits(88)) return false;
    if (level_present[i] && !r.skip_bits(8)) return false;
  }
  return true;
}

// Appends the VPS, SPS and PPS units of the arrays of a configuration
// record body whose array count stands at `count_at`.
void read_arrays(ByteView body, std::size_t count_at, std::vector<ByteView>& sets) {
  std::size_t p = count_at;
  if (p + 1 > body.size()) return;
  const unsigned arrays = body[p++];
  for (unsigned a = 0; a < arrays; ++a) {
    if (p + 3 > body.size()) return;
    const std::uint8_t type = body[p] & 0x3F;  // after array_completeness and a reserved bit
    const unsigned count = load_be16(&body[p + 1]);
    p += 3;
    for (unsigned i = 0; i < count; ++i) {
      if (p + 2 > body.size()) return;
      const std::size_t len = load_be16(&body[p]);
      if (p + 2 + len > body.size()) return;
      if (type >= kVps && type <= kPps) sets.push_back(body.subspan(p + 2, len));
      p += 2 + len;
    }
  }
}

}  // namespace

// Slices are the VCL units (types 0 to 31); an intra random access point is
// told by its type alone.
const NalSyntax kSyntax{2, type_of, 35, 38, left_out, is_key, parameter_set, is_slice, 0xFF, nullptr, nullptr, nullptr};

std::optional<SpsInfo> read_sps(ByteView stored) {
  const std::vector<std::uint8_t> rbsp =
      annexb::unescape_rbsp(stored.data(), std::min(stored.size(), kHeadBytes));
  // Two header bytes, one byte of ids and sub-layer count, 12 of general profile.
  if (rbsp.size() < 15) return std::nullopt;
  SpsInfo s;
  const std::uint8_t head = rbsp[2];  // vps id (4), max_sub_layers_minus1 (3), temporal_id_nesting (1)
  const unsigned sub_layers_minus1 = (head >> 1) & 7;
  s.max_sub_layers = static_cast<std::uint8_t>(sub_layers_minus1 + 1);
  s.temporal_id_nested = head & 1;
  std::copy_n(rbsp.begin() + 3, 12, s.general_profile.begin());

  BitReader r(ByteView(rbsp.data(), rbsp.size()), 15);
  if (!skip_sub_layers(r, sub_layers_minus1)) return std::nullopt;
  if (!r.read_ue()) return std::nullopt;  // sps_seq_parameter_set_id
  auto chroma = r.read_ue();
  if (!chroma || *chroma > 3) return std::nullopt;
  bool separate_planes = false;
  if (*chroma == 3) {
    auto b = r.read_bit();
    if (!b) return std::nullopt;
    separate_planes = *b;
  }
  auto width = r.read_ue();
  auto height = width ? r.read_ue() : std::nullopt;
  auto window = height ? r.read_bit() : std::nullopt;
  if (!window) return std::nullopt;
  const std::optional<Window> crop = read_window(r, *window);
  if (!crop) return std::nullopt;
  auto luma = r.read_ue();
  auto chroma_depth = luma ? r.read_ue() : std::nullopt;
  if (!chroma_depth) return std::nullopt;

  // The window is given in chroma sample units: two luma samples across for
  // 4:2:0 and 4:2:2, two down for 4:2:0 only.
  const std::uint32_t unit_x = !separate_planes && (*chroma == 1 || *chroma == 2) ? 2 : 1;
  const std::uint32_t unit_y = !separate_planes && *chroma == 1 ? 2 : 1;
  s.chroma_format_idc = static_cast<std::uint8_t>(*chroma);
  s.bit_depth_luma_minus8 = static_cast<std::uint8_t>(std::min<std::uint32_t>(*luma, 7));
  s.bit_depth_chroma_minus8 = static_cast<std::uint8_t>(std::min<std::uint32_t>(*chroma_depth, 7));
  s.width = static_cast<std::uint16_t>(*width - unit_x * (crop->left + crop->right));
  s.height = static_cast<std::uint16_t>(*height - unit_y * (crop->top + crop->bottom));
  return s;
}

void write_hvcc(ByteBuilder& b, const std::optional<SpsInfo>& sps, const ConfigArrays& sets) {
  const ByteView arrays[3] = {sets.vps, sets.sps, sets.pps};
  const std::uint8_t types[3] = {kVps, kSps, kPps};
  std::uint8_t count = 0;
  for (ByteView a : arrays) {
    if (a.size() > 0xFFFF) return;
    count += !a.empty();
  }
  const SpsInfo s = sps.value_or(SpsInfo{});
  const std::size_t box = b.open_box(fourcc("hvcC"));
  b.u8(1);  // configurationVersion
  b.bytes(s.general_profile.data(), s.general_profile.size());
  b.u16(0xF000);  // reserved bits, min_spatial_segmentation_idc 0
  b.u8(0xFC);     // reserved bits, parallelismType 0 (unknown)
  b.u8(static_cast<std::uint8_t>(0xFC | (s.chroma_format_idc & 3)));
  b.u8(static_cast<std::uint8_t>(0xF8 | (s.bit_depth_luma_minus8 & 7)));
  b.u8(static_cast<std::uint8_t>(0xF8 | (s.bit_depth_chroma_minus8 & 7)));
  b.u16(0);  // avgFrameRate unknown
  // constantFrameRate 0, numTemporalLayers, temporalIdNested, lengthSizeMinusOne 3.
  b.u8(static_cast<std::uint8_t>(((s.max_sub_layers & 7) << 3) | (s.temporal_id_nested ? 4 : 0) | 3));
  b.u8(count);
  for (int i = 0; i < 3; ++i) {
    if (arrays[i].empty()) continue;
    b.u8(static_cast<std::uint8_t>(0x80 | types[i]));  // array_completeness 1
    b.u16(1);
    b.u16(static_cast<std::uint16_t>(arrays[i].size()));
    b.bytes(arrays[i]);
  }
  b.close_box(box);
}

void write_sample_entry(ByteBuilder& b, PictureSize size, const ParameterSets& sets) {
  const std::size_t hvc1 = b.open_box(fourcc("hvc1"));
  write_visual_entry_fields(b, size);
  if (sets.sps) {
    write_hvcc(b, read_sps(bytes_of(sets.sps)), ConfigArrays{bytes_of(sets.vps), bytes_of(sets.sps), bytes_of(sets.pps)});
  }
  b.close_box(hvc1);
}

NalConfigRecord read_hvcc(ByteView body) {
  NalConfigRecord record;
  // 21 bytes of profile, format and timing fields, lengthSizeMinusOne in the
  // low two bits of the last (4 where the body ends before it), then the
  // array count.
  if (body.size() > 21) record.length_size = (body[21] & 3) + 1;
  read_arrays(body, 22, record.parameter_sets);
  return record;
}

void read_lhvc(ByteView body, NalConfigRecord& record) {
  // configurationVersion, min_spatial_segmentation_idc, parallelismType,
  // then the length size, the array count at byte 5.
  read_arrays(body, 5, record.parameter_sets);
}

}  // namespace quaver::hevc
