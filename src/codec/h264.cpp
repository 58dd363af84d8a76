// H.264: NAL units, SPS, avc1 and avcC.
//
// The picture size is read from an unescaped copy of the SPS: emulation-
// prevention bytes inside the Exp-Golomb fields would otherwise shift every
// later field. Cropping uses the H.264 crop units, so 4:2:2, 4:4:4, monochrome and
// interlaced streams get their true size (an interlaced 1080-line stream
// crops by four lines per unit, not two).
#include "codec/h264.hpp"

#include "codec/bit_reader.hpp"
#include "core/annexb.hpp"

namespace quaver::h264 {

namespace {

std::uint8_t type_of(std::uint8_t first) { return first & 0x1F; }
bool left_out(std::uint8_t type) { return type == 7 || type == 8 || type == 9; }  // SPS, PPS, AUD
bool is_key(std::uint8_t type) { return type == 5; }                              // IDR slice
ParameterSet parameter_set(std::uint8_t type) {
  return type == 7 ? ParameterSet::kSequence : type == 8 ? ParameterSet::kPicture : ParameterSet::kNone;
}

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

const NalSyntax kSyntax{1, type_of, 9, 12, left_out, is_key, parameter_set};

std::optional<PictureSize> read_picture_size(ByteView stored) {
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

void write_sample_entry(ByteBuilder& b, PictureSize size, const ParameterSets& sets) {
  const std::size_t avc1 = b.open_box(fourcc("avc1"));
  write_visual_entry_fields(b, size);
  // The length fields are 16 bits: a longer "parameter set" cannot be a real
  // one, and writing it would corrupt the box, so no configuration is written.
  if (sets.sps && sets.pps && sets.sps->size() <= 0xFFFF && sets.pps->size() <= 0xFFFF) {
    const auto& sps = *sets.sps;
    const auto& pps = *sets.pps;
    const std::size_t avcc = b.open_box(fourcc("avcC"));
    b.u8(1);
    if (sps.size() >= 4) {
      b.bytes(sps.data() + 1, 3);  // profile, compatibility, level
    } else {
      b.u8(0x64);
      b.u8(0x00);
      b.u8(0x1F);
    }
    b.u8(0xFF);  // 4-byte NAL lengths
    b.u8(0xE1);  // one SPS
    b.u16(static_cast<std::uint16_t>(sps.size()));
    b.bytes(sps.data(), sps.size());
    b.u8(1);
    b.u16(static_cast<std::uint16_t>(pps.size()));
    b.bytes(pps.data(), pps.size());
    b.close_box(avcc);
  }
  b.close_box(avc1);
}

NalConfigRecord read_avcc(ByteView body) {
  NalConfigRecord record;
  // version, profile, compatibility, level, then lengthSizeMinusOne in the
  // low two bits of byte 4 (4 where the body ends before it).
  if (body.size() > 4) record.length_size = (body[4] & 3) + 1;
  // Then the SPS count (five bits), the SPS, the PPS count and the PPS.
  std::size_t p = 5;
  const auto take_list = [&](std::uint8_t count_mask) {
    if (p + 1 > body.size()) return false;
    const unsigned count = body[p++] & count_mask;
    for (unsigned i = 0; i < count; ++i) {
      if (p + 2 > body.size()) return false;
      const std::size_t len = load_be16(&body[p]);
      if (p + 2 + len > body.size()) return false;
      record.parameter_sets.push_back(body.subspan(p + 2, len));
      p += 2 + len;
    }
    return true;
  };
  if (take_list(0x1F)) take_list(0xFF);
  return record;
}

}  // namespace quaver::h264
