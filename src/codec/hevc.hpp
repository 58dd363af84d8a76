// HEVC: its NAL units, the fields of its sequence parameter set that the
// decoder configuration record and the picture size need, and its MP4
// sample entry (hvc1 with its hvcC), written from the stream's parameter
// sets and read back from a file's hvcC and lhvC.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "codec/nal.hpp"
#include "codec/sample_entry.hpp"
#include "core/bytes.hpp"
#include "core/output.hpp"

namespace quaver::hevc {

// Two header bytes, type in bits 1..6 of the first; key pictures are the
// intra random access points (types 16 to 23).
extern const NalSyntax kSyntax;

// NAL unit types of the parameter sets, as the decoder configuration record
// names its arrays.
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

// The arrays of an hvcC: NAL header first, start code excluded; empty ones
// are left out.
struct ConfigArrays {
  ByteView vps;
  ByteView sps;
  ByteView pps;
};
// An hvcC box: the profile, chroma format, bit depths and temporal layers from
// the SPS fields (zeros, 4:2:0 and 8 bits when they could not be read), 4-byte
// NAL lengths, then one complete array for each parameter set present.
// Nothing is written when a set does not fit its 16-bit length field.
void write_hvcc(ByteBuilder& b, const std::optional<SpsInfo>& sps, const ConfigArrays& arrays);

// hvc1 with the picture size; the parameter sets live in its hvcC only
// (samples leave them out), written when the stream has an SPS.
void write_sample_entry(ByteBuilder& b, PictureSize size, const ParameterSets& sets);

// The VPS, SPS and PPS units of an hvcC body, in the order of its arrays, as
// far as they are whole (arrays of other units, SEI, are passed over), and
// its length field size.
NalConfigRecord read_hvcc(ByteView hvcc_body);
// Appends the parameter sets of an lhvC body: the configuration of the
// further layers of a multi-layer stream, such as the second view of
// MV-HEVC, whose units a key frame needs too.
void read_lhvc(ByteView lhvc_body, NalConfigRecord& record);

}  // namespace quaver::hevc
