// HEVC NAL units and the fields of the sequence parameter set that the
// decoder configuration record and the picture size need.
//
// An HEVC NAL unit header is two bytes: forbidden bit, 6-bit type, 6-bit
// layer id, 3-bit temporal id + 1.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "core/bytes.hpp"

namespace quaver::hevc {

constexpr std::uint8_t nal_type(std::uint8_t header_byte) { return (header_byte >> 1) & 0x3F; }

constexpr std::uint8_t kVps = 32;
constexpr std::uint8_t kSps = 33;
constexpr std::uint8_t kPps = 34;
constexpr std::uint8_t kAud = 35;
constexpr std::uint8_t kFiller = 38;

// Intra random access point pictures (BLA, IDR, CRA and the reserved IRAP types).
constexpr bool is_irap(std::uint8_t type) { return type >= 16 && type <= 23; }
// Slice segments: the video coding layer types.
constexpr bool is_slice(std::uint8_t type) { return type < 32; }

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
