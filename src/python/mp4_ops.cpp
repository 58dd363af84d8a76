#include "mp4_parser/defragment.hpp"
#include "mp4_parser/mux.hpp"
#include "mp4_parser/rebase.hpp"
#include "python/functions.hpp"

namespace quaver::py {

PyObject* defragment_mp4(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_with_data(args, kwargs, "O:defragment_mp4",
                        [](ByteView d, OutputAllocator& a) { return quaver::defragment_mp4(d, a); });
}

PyObject* reset_mp4_timestamps(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_with_data(args, kwargs, "O:reset_mp4_timestamps",
                        [](ByteView d, OutputAllocator& a) { return quaver::reset_mp4_timestamps(d, a); });
}

PyObject* convert_mp4_reset_timestamps(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_with_data(args, kwargs, "O:convert_mp4_reset_timestamps",
                        [](ByteView d, OutputAllocator& a) { return quaver::convert_mp4_reset_timestamps(d, a); });
}

PyObject* mux_fmp4_tracks(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"video", "audio", nullptr};
    PyObject* video_obj = nullptr;
    PyObject* audio_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:mux_fmp4_tracks", const_cast<char**>(kwlist), &video_obj,
                                     &audio_obj))
      return nullptr;
    Ref keep_video, keep_audio;
    ByteView video, audio;
    if (!bytes_arg(video_obj, "video", &video, keep_video)) return nullptr;
    if (!bytes_arg(audio_obj, "audio", &audio, keep_audio)) return nullptr;
    return run_released([&](OutputAllocator& alloc) { return quaver::mux_fmp4_tracks(video, audio, alloc); });
  });
}

}  // namespace quaver::py
