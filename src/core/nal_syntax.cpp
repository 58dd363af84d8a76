#include "core/nal_syntax.hpp"

namespace quaver {

namespace {

std::uint8_t h264_type(std::uint8_t first) { return first & 0x1F; }
bool h264_left_out(std::uint8_t type) { return type == 7 || type == 8 || type == 9; }  // SPS, PPS, AUD
bool h264_is_key(std::uint8_t type) { return type == 5; }                              // IDR slice
ParameterSet h264_parameter_set(std::uint8_t type) {
  return type == 7 ? ParameterSet::kSequence : type == 8 ? ParameterSet::kPicture : ParameterSet::kNone;
}

std::uint8_t hevc_type(std::uint8_t first) { return (first >> 1) & 0x3F; }
bool hevc_left_out(std::uint8_t type) { return type >= 32 && type <= 35; }  // VPS, SPS, PPS, AUD
bool hevc_is_key(std::uint8_t type) { return type >= 16 && type <= 23; }    // BLA, IDR, CRA, reserved IRAP
ParameterSet hevc_parameter_set(std::uint8_t type) {
  switch (type) {
    case 32: return ParameterSet::kVideo;
    case 33: return ParameterSet::kSequence;
    case 34: return ParameterSet::kPicture;
    default: return ParameterSet::kNone;
  }
}

}  // namespace

const NalSyntax kH264Syntax{1, h264_type, 9, 12, h264_left_out, h264_is_key, h264_parameter_set};
const NalSyntax kHevcSyntax{2, hevc_type, 35, 38, hevc_left_out, hevc_is_key, hevc_parameter_set};

}  // namespace quaver
