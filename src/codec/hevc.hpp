// The fields of an HEVC sequence parameter set that the decoder
// configuration record and the picture size need.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "core/bytes.hpp"

namespace quaver::hevc {

// NAL unit types of the parameter sets, as the decoder configuration record
// names its arrays (the NAL syntax of the access-unit split is kHevcSyntax).
constexpr std::uint8_t kVps = 32;
constexpr std::uint8_t kSps = 33;
constexpr std::uint8_t kPps = 34;

struct SpsInfo {
  // general_profile_space, tier and profile_idc; the 32 compatibility flags;
  // the 48 constraint flags; general_level_idc: the first 12 bytes of the
  // profile_tier_level, as the decoder configuration record repeats them.
  std::array<std::uint8_t, 12> general_profile{};
  std::uint8_t chroma_format_idc = 1;
  std::uint8_t bit_depth_luma_minus8 = 0;
  std::uint8_t bit_depth_chroma_minus8 = 0;
  std::uint8_t max_sub_layers = 1;  // sps_max_sub_layers_minus1 + 1
  bool temporal_id_nested = false;
  std::uint16_t width = 0;   // pixels, conformance window applied (low 16 bits)
  std::uint16_t height = 0;
};

// Reads an SPS NAL unit (two header bytes first, escaped as stored); nothing
// when it ends before its bit depths or declares a chroma format above 3.
std::optional<SpsInfo> read_sps(ByteView nal);

}  // namespace quaver::hevc
