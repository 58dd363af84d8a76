// Picture size from the sequence parameter set.
//
// The fields are read from an unescaped copy of the unit: emulation-prevention
// bytes inside the Exp-Golomb fields would otherwise shift every later field.
// Cropping uses the H.264 crop units, so 4:2:2, 4:4:4, monochrome and
// interlaced streams get their true size (an interlaced 1080-line stream
// crops by four lines per unit, not two).
#include "core/annexb.hpp"
#include "ts_parser/bit_reader.hpp"

namespace quaver {

namespace {

bool profile_has_chroma_format(std::uint8_t profile_idc) {
  switch (profile_idc) {
    case 100: case 110: case 122: case 244: case 44: case 83: case 86: case 118: case 128:
      return true;
    default:
      return false;
  }
}

bool skip_scaling_list(BitReader& r, int entries) {
  int last_scale = 8;
  int next_scale = 8;
  for (int j = 0; j < entries; ++j) {
    if (next_scale != 0) {
      auto delta = r.read_se();
      if (!delta) return false;
      next_scale = static_cast<int>((last_scale + static_cast<std::int64_t>(*delta) + 256) % 256);
      if (next_scale < 0) next_scale += 256;
    }
    if (next_scale != 0) last_scale = next_scale;
  }
  return true;
}

}  // namespace

std::optional<PictureSize> sps_picture_size(ByteView stored) {
  if (stored.size() < 4) return std::nullopt;
  std::vector<std::uint8_t> rbsp = annexb::unescape_rbsp(stored.data(), stored.size());
  if (rbsp.size() < 4) return std::nullopt;
  const std::uint8_t profile_idc = rbsp[1];
  BitReader r(ByteView(rbsp.data(), rbsp.size()), 4);

  if (!r.read_ue()) return std::nullopt;  // seq_parameter_set_id
  std::uint32_t chroma_format_idc = 1;
  std::uint32_t separate_colour_plane = 0;
  if (profile_has_chroma_format(profile_idc)) {
    auto cf = r.read_ue();
    if (!cf) return std::nullopt;
    chroma_format_idc = *cf;
    if (chroma_format_idc == 3) {
      auto b = r.read_bit();
      if (!b) return std::nullopt;
      separate_colour_plane = *b;
    }
    if (!r.read_ue() || !r.read_ue()) return std::nullopt;  // bit depths
    if (!r.read_bit()) return std::nullopt;                 // qpprime_y_zero_transform_bypass
    auto matrix = r.read_bit();
    if (!matrix) return std::nullopt;
    if (*matrix) {
      int lists = chroma_format_idc == 3 ? 12 : 8;
      for (int i = 0; i < lists; ++i) {
        auto present = r.read_bit();
        if (!present) return std::nullopt;
        if (*present && !skip_scaling_list(r, i < 6 ? 16 : 64)) return std::nullopt;
      }
    }
  }
  if (!r.read_ue()) return std::nullopt;  // log2_max_frame_num_minus4
  auto poc_type = r.read_ue();
  if (!poc_type) return std::nullopt;
  if (*poc_type == 0) {
    if (!r.read_ue()) return std::nullopt;
  } else if (*poc_type == 1) {
    if (!r.read_bit() || !r.read_se() || !r.read_se()) return std::nullopt;
    auto cycle = r.read_ue();
    if (!cycle) return std::nullopt;
    // Each code takes at least one bit, so a hostile count ends with the data.
    for (std::uint32_t i = 0; i < *cycle; ++i) {
      if (!r.read_se()) return std::nullopt;
    }
  }
  if (!r.read_ue() || !r.read_bit()) return std::nullopt;  // max_num_ref_frames, gaps flag
  auto w = r.read_ue();
  auto h = w ? r.read_ue() : std::nullopt;
  if (!h) return std::nullopt;
  auto frame_mbs_only = r.read_bit();
  if (!frame_mbs_only) return std::nullopt;
  if (*frame_mbs_only == 0 && !r.read_bit()) return std::nullopt;  // mb_adaptive_frame_field
  if (!r.read_bit()) return std::nullopt;                           // direct_8x8_inference
  auto cropping = r.read_bit();
  if (!cropping) return std::nullopt;
  const std::optional<Window> crop = read_window(r, *cropping);
  if (!crop) return std::nullopt;

  const std::uint32_t f = *frame_mbs_only;
  const bool no_chroma_subsampling_x =
      chroma_format_idc == 0 || chroma_format_idc == 3 || separate_colour_plane == 1;
  const std::uint32_t unit_x = no_chroma_subsampling_x ? 1 : 2;
  const std::uint32_t unit_y = (2 - f) * (chroma_format_idc == 1 ? 2 : 1);
  const std::uint32_t width = (*w + 1) * 16 - unit_x * (crop->left + crop->right);
  const std::uint32_t height = ((*h + 1) * (2 - f)) * 16 - unit_y * (crop->top + crop->bottom);
  return PictureSize{static_cast<std::uint16_t>(width), static_cast<std::uint16_t>(height)};
}

}  // namespace quaver
