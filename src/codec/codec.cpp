#include "codec/codec.hpp"

#include <type_traits>

namespace quaver {

namespace {

// on(c) for the configuration c that a track's frames declared: the
// overloads of format() and write_sample_entry() in the namespace of its
// codec are found by its type.
template <class On>
auto with_recorded(const AudioConfig& config, On&& on) {
  using Out = std::invoke_result_t<On&, const aac::AdtsConfig&>;
  return std::visit(
      [&](const auto& c) -> Out {
        if constexpr (std::is_same_v<std::decay_t<decltype(c)>, std::monostate>) {
          fault("audio frames without the configuration of their first frame");
        } else {
          return on(c);
        }
      },
      config);
}

}  // namespace

const NalSyntax* nal_syntax(VideoCodec codec) {
  switch (codec) {
    case VideoCodec::kH264: return &h264::kSyntax;
    case VideoCodec::kHevc: return &hevc::kSyntax;
    case VideoCodec::kMpeg2Video: return nullptr;
  }
  fault("unknown video codec");
}

void write_video_sample_entry(ByteBuilder& b, VideoCodec codec, PictureSize size, const ParameterSets& sets) {
  switch (codec) {
    case VideoCodec::kH264: return h264::write_sample_entry(b, size, sets);
    case VideoCodec::kHevc: return hevc::write_sample_entry(b, size, sets);
    case VideoCodec::kMpeg2Video: return mpeg2_video::write_sample_entry(b, size, sets);
  }
  fault("unknown video codec");
}

AudioFormat audio_format(const AudioConfig& config) {
  return with_recorded(config, [](const auto& c) { return format(c); });
}

void write_audio_sample_entry(ByteBuilder& b, const AudioConfig& config) {
  with_recorded(config, [&](const auto& c) { write_sample_entry(b, c); });
}

}  // namespace quaver
