// H.264: NAL units, SPS, avc1 and avcC.
//
// The picture size is read from an unescaped copy of the SPS: emulation-
// prevention bytes inside the Exp-Golomb fields would otherwise shift every
// later field. Cropping uses the H.264 crop units, so 4:2:2, 4:4:4, monochrome and
// interlaced streams get their true size (an interlaced 1080-line stream
// crops by four lines per unit, not two). Slice heads and SEI messages are
// read from unescaped copies of their first bytes only.
#include "codec/h264.hpp"

#include <algorithm>

#include "codec/bit_reader.hpp"
#include "core/annexb.hpp"

namespace quaver::h264 {

namespace {

std::uint8_t type_of(std::uint8_t first) { return first & 0x1F; }
bool left_out(std::uint8_t type) { return type == 7 || type == 8 || type == 9; }  // SPS, PPS, AUD
bool is_key(std::uint8_t type) { return type == 5; }                              // IDR slice
bool is_slice(std::uint8_t type) { return type >= 1 && type <= 5; }
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

// The SPS fields both readers need, as far as the unit holds them.
struct SpsFields {
  SliceCoding coding;
  std::uint32_t chroma_format_idc = 1;
  std::uint32_t width_mbs = 0;   // pic_width_in_mbs_minus1
  std::uint32_t height_map = 0;  // pic_height_in_map_units_minus1
  Window crop;
};
enum class SpsRead { kNothing, kCoding, kWhole };

SpsRead read_sps(ByteView stored, SpsFields& f) {
  if (stored.size() < 4) return SpsRead::kNothing;
  std::vector<std::uint8_t> rbsp = annexb::unescape_rbsp(stored.data(), stored.size());
  if (rbsp.size() < 4) return SpsRead::kNothing;
  const std::uint8_t profile_idc = rbsp[1];
  BitReader r(ByteView(rbsp.data(), rbsp.size()), 4);

  if (!r.read_ue()) return SpsRead::kNothing;  // seq_parameter_set_id
  if (profile_has_chroma_format(profile_idc)) {
    auto cf = r.read_ue();
    if (!cf) return SpsRead::kNothing;
    f.chroma_format_idc = *cf;
    if (f.chroma_format_idc == 3) {
      auto b = r.read_bit();
      if (!b) return SpsRead::kNothing;
      f.coding.colour_planes = *b;
    }
    if (!r.read_ue() || !r.read_ue()) return SpsRead::kNothing;  // bit depths
    if (!r.read_bit()) return SpsRead::kNothing;                 // qpprime_y_zero_transform_bypass
    auto matrix = r.read_bit();
    if (!matrix) return SpsRead::kNothing;
    if (*matrix) {
      int lists = f.chroma_format_idc == 3 ? 12 : 8;
      for (int i = 0; i < lists; ++i) {
        auto present = r.read_bit();
        if (!present) return SpsRead::kNothing;
        if (*present && !skip_scaling_list(r, i < 6 ? 16 : 64)) return SpsRead::kNothing;
      }
    }
  }
  auto frame_num = r.read_ue();  // log2_max_frame_num_minus4
  if (!frame_num) return SpsRead::kNothing;
  f.coding.frame_num_bits = std::min<std::uint32_t>(*frame_num, 28) + 4;  // 16 at most in a valid stream
  auto poc_type = r.read_ue();
  if (!poc_type) return SpsRead::kNothing;
  if (*poc_type == 0) {
    if (!r.read_ue()) return SpsRead::kNothing;
  } else if (*poc_type == 1) {
    if (!r.read_bit() || !r.read_se() || !r.read_se()) return SpsRead::kNothing;
    auto cycle = r.read_ue();
    if (!cycle) return SpsRead::kNothing;
    // Each code takes at least one bit, so a hostile count ends with the data.
    for (std::uint32_t i = 0; i < *cycle; ++i) {
      if (!r.read_se()) return SpsRead::kNothing;
    }
  }
  if (!r.read_ue() || !r.read_bit()) return SpsRead::kNothing;  // max_num_ref_frames, gaps flag
  auto w = r.read_ue();
  auto h = w ? r.read_ue() : std::nullopt;
  if (!h) return SpsRead::kNothing;
  auto frame_mbs_only = r.read_bit();
  if (!frame_mbs_only) return SpsRead::kNothing;
  f.coding.frames_only = *frame_mbs_only;
  f.width_mbs = *w;
  f.height_map = *h;
  if (*frame_mbs_only == 0 && !r.read_bit()) return SpsRead::kCoding;  // mb_adaptive_frame_field
  if (!r.read_bit()) return SpsRead::kCoding;                           // direct_8x8_inference
  auto cropping = r.read_bit();
  if (!cropping) return SpsRead::kCoding;
  const std::optional<Window> crop = read_window(r, *cropping);
  if (!crop) return SpsRead::kCoding;
  f.crop = *crop;
  return SpsRead::kWhole;
}

std::optional<SliceCoding> slice_coding(ByteView sps) {
  SpsFields f;
  if (read_sps(sps, f) == SpsRead::kNothing) return std::nullopt;
  return f.coding;
}

// first_mb_in_slice, slice_type, pic_parameter_set_id, colour_plane_id,
// frame_num, then field_pic_flag and bottom_field_flag where fields exist.
std::optional<SliceHead> slice_head(ByteView slice, const SliceCoding& coding) {
  const std::vector<std::uint8_t> rbsp =
      annexb::unescape_rbsp(slice.data(), std::min(slice.size(), kSliceHeadBytes));
  BitReader r(ByteView(rbsp.data(), rbsp.size()), 1);
  auto first_mb = r.read_ue();
  auto type = first_mb ? r.read_ue() : std::nullopt;
  if (!type || !r.read_ue()) return std::nullopt;
  if (coding.colour_planes && !r.skip_bits(2)) return std::nullopt;
  auto frame_num = r.read_bits(coding.frame_num_bits);
  if (!frame_num) return std::nullopt;
  SliceHead head;
  head.first_in_picture = *first_mb == 0;
  head.intra = *type % 5 == 2 || *type % 5 == 4;  // I, SI
  head.frame_num = *frame_num;
  if (!coding.frames_only) {
    auto field = r.read_bit();
    if (!field) return std::nullopt;
    head.field = *field;
    if (head.field) {
      auto bottom = r.read_bit();
      if (!bottom) return std::nullopt;
      head.bottom = *bottom;
    }
  }
  return head;
}

// SEI messages, each a type and a size (runs of 0xFF bytes, then the last
// byte), then its payload; recovery_point is type 6. The message list ends
// at the trailing bits.
bool marks_random_access(ByteView sei) {
  const std::vector<std::uint8_t> rbsp = annexb::unescape_rbsp(sei.data(), std::min(sei.size(), kMarkerBytes));
  const std::size_t n = rbsp.size();
  const auto read_value = [&](std::size_t& p) -> std::optional<std::size_t> {
    std::size_t v = 0;
    while (p < n && rbsp[p] == 0xFF) v += rbsp[p++];
    if (p >= n) return std::nullopt;
    return v + rbsp[p++];
  };
  for (std::size_t p = 1; p < n && rbsp[p] != 0x80;) {
    const std::optional<std::size_t> type = read_value(p);
    const std::optional<std::size_t> size = type ? read_value(p) : std::nullopt;
    if (!size) return false;
    if (*type == 6) return true;
    p += *size;
  }
  return false;
}

}  // namespace

const NalSyntax kSyntax{1,         type_of, 9,    12, left_out, is_key, parameter_set, is_slice,
                        6 /* SEI */, marks_random_access, slice_coding, slice_head};

std::optional<PictureSize> read_picture_size(ByteView stored) {
  SpsFields f;
  if (read_sps(stored, f) != SpsRead::kWhole) return std::nullopt;
  const std::uint32_t frames = f.coding.frames_only;
  const bool no_chroma_subsampling_x = f.chroma_format_idc == 0 || f.chroma_format_idc == 3 || f.coding.colour_planes;
  const std::uint32_t unit_x = no_chroma_subsampling_x ? 1 : 2;
  const std::uint32_t unit_y = (2 - frames) * (f.chroma_format_idc == 1 ? 2 : 1);
  const std::uint32_t width = (f.width_mbs + 1) * 16 - unit_x * (f.crop.left + f.crop.right);
  const std::uint32_t height = ((f.height_map + 1) * (2 - frames)) * 16 - unit_y * (f.crop.top + f.crop.bottom);
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
