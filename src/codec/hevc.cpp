// HEVC sequence parameter set, read as far as the bit depths.
//
// The fields are read from an unescaped copy: emulation-prevention bytes are
// common inside the zero-filled constraint flags and would shift every later
// field. Only the head of the unit is copied, so a hostile multi-megabyte
// "SPS" costs no more than a real one.
#include <algorithm>

#include "core/annexb.hpp"
#include "ts_parser/bit_reader.hpp"
#include "ts_parser/hevc.hpp"

namespace quaver::hevc {

namespace {

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

}  // namespace

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

}  // namespace quaver::hevc
