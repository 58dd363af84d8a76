// H.264: its NAL units, the picture size its sequence parameter set
// declares, and its MP4 sample entry (avc1 with its avcC), written from the
// stream's parameter sets and read back from a file's avcC. Its NalSyntax
// also reads what random access and field pictures need: the recovery point
// message of an SEI, and the head of a slice (type, frame_num, field flags).
#pragma once

#include <optional>

#include "codec/nal.hpp"
#include "codec/sample_entry.hpp"
#include "core/bytes.hpp"
#include "core/output.hpp"

namespace quaver::h264 {

// One header byte, type in its low five bits; key slices are IDR slices,
// and SEI units may mark a recovery point.
extern const NalSyntax kSyntax;

// Picture size from an SPS NAL unit (header byte first, escaped as stored);
// nothing when the SPS ends before its cropping fields.
std::optional<PictureSize> read_picture_size(ByteView sps);

// avc1 with the picture size, and an avcC holding the SPS and the PPS with
// 4-byte NAL lengths when both are there and fit their 16-bit length fields.
void write_sample_entry(ByteBuilder& b, PictureSize size, const ParameterSets& sets);

// The SPS then the PPS units of an avcC body, and its length field size.
NalConfigRecord read_avcc(ByteView avcc_body);

}  // namespace quaver::h264
