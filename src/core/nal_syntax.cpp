#include "core/nal_syntax.hpp"

namespace quaver {

namespace {

std::uint8_t h264_type(std::uint8_t first) { return first & 0x1F; }
bool h264_left_out(std::uint8_t type) { return type == 7 || type == 8 || type == 9; }  // SPS, PPS, AUD
bool h264_is_key(std::uint8_t type) { return type == 5; }                              // IDR slice

}  // namespace

const NalSyntax kH264Syntax{1, h264_type, 9, 12, h264_left_out, h264_is_key};

}  // namespace quaver
