// Codecs: what quaver knows of each coding format it carries.
//
// In: the bytes of one codec's own structures: a parameter set, an audio
// frame, an MP4 decoder configuration record or sample entry. Out: the
// fields read from them, the MP4 sample entry of a track written from them
// (with its decoder configuration), and, for audio, how frames become
// samples and what their track's timing is. Refused: nothing; a structure
// that cannot be read reads as nothing, and the caller says what stands in.
//
// One pair of files per codec, each in its own namespace: h264 (NAL units,
// SPS, avc1/avcC), hevc (NAL units, SPS, hvc1/hvcC/lhvC), aac (ADTS,
// AudioSpecificConfig, mp4a/esds), ac3 (AC-3 and E-AC-3, ac-3/dac3,
// ec-3/dec3), mpeg_audio (layers I to III, mp4a/esds), mpeg2_video
// (pictures, sequence header, mp4v/esds), latm (LOAS/LATM AAC, mp4a/esds),
// opus (Opus in its transport-stream framing, Opus/dOps). What they share:
// bit_reader.hpp, nal.hpp (the NAL-based codecs), framing.hpp (audio frames
// into samples) and sample_entry.hpp (the fields every visual or audio
// entry opens with, and esds). A new codec adds its pair of files, its
// value to the enum here, and its case below; an audio codec adds its
// configuration type to AudioConfig, whose format() and
// write_sample_entry() in the codec's namespace are then found by it.
#pragma once

#include <cstdint>
#include <variant>

#include "codec/aac.hpp"
#include "codec/ac3.hpp"
#include "codec/h264.hpp"
#include "codec/hevc.hpp"
#include "codec/latm.hpp"
#include "codec/mpeg2_video.hpp"
#include "codec/mpeg_audio.hpp"
#include "codec/nal.hpp"
#include "codec/opus.hpp"
#include "codec/sample_entry.hpp"
#include "core/output.hpp"

namespace quaver {

enum class VideoCodec : std::uint8_t { kH264, kHevc, kMpeg2Video };
enum class AudioCodec : std::uint8_t { kAac, kAc3, kEac3, kMpegAudio, kLatmAac, kOpus };

// How the codec's stream is cut into NAL units; null for a codec whose
// stream is not made of them (MPEG-2 video), whose pictures and headers are
// found by its own syntax instead.
const NalSyntax* nal_syntax(VideoCodec codec);

// The video sample entry, written from the picture size and the stream's
// first parameter sets.
void write_video_sample_entry(ByteBuilder& b, VideoCodec codec, PictureSize size, const ParameterSets& sets);

// What the first frames of an audio stream declare, by its format: nothing
// until a frame has been read.
using AudioConfig = std::variant<std::monostate, aac::AdtsConfig, ac3::Ac3Config, ac3::Eac3Config, mpeg_audio::Header,
                                 latm::LatmConfig, opus::OpusConfig>;

// The format of a track whose frames declared `config`; an internal fault
// for a track of frames without it. Every track runs on its stream's own
// sample rate as its media timescale: readers built on ffmpeg count an
// audio edit's media time in samples, and so skip exactly the lead only
// then; and each declares its own configuration, so that it neither plays
// at the wrong speed nor decodes with the wrong channel layout.
AudioFormat audio_format(const AudioConfig& config);

// The audio sample entry of such a track.
void write_audio_sample_entry(ByteBuilder& b, const AudioConfig& config);

}  // namespace quaver
