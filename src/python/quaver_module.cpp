// The _quaver extension module: its functions, in the order the module
// lists them, and its initialisation. FragmentedMP4Processor is bound in
// fragmented_mp4_processor.cpp.
#include "mp4_parser/defragment.hpp"
#include "mp4_parser/mux.hpp"
#include "mp4_parser/rebase.hpp"
#include "mp4_writer/mp4_writer.hpp"
#include "python/binding.hpp"
#include "python/fragmented_mp4_processor.hpp"
#include "thumbnail/thumbnail.hpp"

namespace quaver::py {

namespace {

using Routine = Result<OutBuffer> (*)(ByteView, OutputAllocator&);

// A function whose only parameter is the byte parameter `data`, running the
// core routine with the lock released; `Format` names it in argument errors.
template <const char* Format, Routine Core>
PyObject* data_function(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_with_data(args, kwargs, Format, Core);
}

PyObject* convert_ts_to_mp4(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"data", "reset_timestamps", nullptr};
    PyObject* data_obj = nullptr;
    PyObject* flag_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:convert_ts_to_mp4", const_cast<char**>(kwlist),
                                     &data_obj, &flag_obj))
      return nullptr;
    Ref keep;
    ByteView data;
    bool reset = false;
    if (!bytes_arg(data_obj, "data", &data, keep)) return nullptr;
    if (flag_obj && !flag_arg(flag_obj, "reset_timestamps", &reset)) return nullptr;
    return run_released([&](OutputAllocator& alloc) { return quaver::convert_ts_to_mp4(data, reset, alloc); });
  });
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

// The key-frame routines report to file descriptor 1, as every TS routine
// of this module does.
Result<OutBuffer> key_frame_of_ts(ByteView data, OutputAllocator& alloc) {
  return extract_thumbnail_from_ts(data, alloc);
}
Result<OutBuffer> key_frame_of_mp4(ByteView data, OutputAllocator& alloc) {
  return extract_thumbnail_from_mp4(data, alloc);
}

constexpr char kDefragment[] = "O:defragment_mp4";
constexpr char kReset[] = "O:reset_mp4_timestamps";
constexpr char kNormalize[] = "O:convert_mp4_reset_timestamps";
constexpr char kKeyFrameOfTs[] = "O:extract_thumbnail_from_ts";
constexpr char kKeyFrameOfMp4[] = "O:extract_thumbnail_from_mp4";

// In the order the module lists them.
PyMethodDef kFunctions[] = {
    {"convert_ts_to_mp4", with_keywords<convert_ts_to_mp4>(), METH_VARARGS | METH_KEYWORDS,
     "convert_ts_to_mp4(data, reset_timestamps=False)\n--\n\nMPEG-TS 를 MP4 로 변환한다."},
    {"defragment_mp4", with_keywords<data_function<kDefragment, quaver::defragment_mp4>>(), METH_VARARGS | METH_KEYWORDS,
     "defragment_mp4(data)\n--\n\nfragmented MP4 를 일반 MP4 로 펼친다."},
    {"reset_mp4_timestamps", with_keywords<data_function<kReset, quaver::reset_mp4_timestamps>>(),
     METH_VARARGS | METH_KEYWORDS,
     "reset_mp4_timestamps(data)\n--\n\nMP4 타임스탬프를 0 부터 시작하도록 되돌린다."},
    {"convert_mp4_reset_timestamps", with_keywords<data_function<kNormalize, quaver::convert_mp4_reset_timestamps>>(),
     METH_VARARGS | METH_KEYWORDS,
     "convert_mp4_reset_timestamps(data)\n--\n\nfMP4 면 펼치고, 일반 MP4 면 타임스탬프만 되돌린다."},
    {"mux_fmp4_tracks", with_keywords<mux_fmp4_tracks>(), METH_VARARGS | METH_KEYWORDS,
     "mux_fmp4_tracks(video, audio)\n--\n\n따로 전송된 영상 fMP4 와 소리 fMP4 를 트랙 두 개짜리 MP4 로 합친다."},
    {"extract_thumbnail_from_ts", with_keywords<data_function<kKeyFrameOfTs, key_frame_of_ts>>(),
     METH_VARARGS | METH_KEYWORDS,
     "extract_thumbnail_from_ts(data)\n--\n\nTS 의 첫 키프레임을 뽑는다."},
    {"extract_thumbnail_from_mp4", with_keywords<data_function<kKeyFrameOfMp4, key_frame_of_mp4>>(),
     METH_VARARGS | METH_KEYWORDS,
     "extract_thumbnail_from_mp4(data)\n--\n\nMP4 의 첫 키프레임을 뽑는다."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
  if (create_panic_exception() < 0) return -1;
  if (PyModule_AddStringConstant(module, "__version__", "0.4.0") < 0) return -1;
  if (PyModule_AddFunctions(module, kFunctions) < 0) return -1;
  PyObject* processor = create_processor_type();
  if (!processor) return -1;
  if (PyModule_AddObject(module, "FragmentedMP4Processor", processor) < 0) {
    Py_DECREF(processor);
    return -1;
  }
  return 0;
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

SharedModuleDef kModule = {
    {PyModuleDef_HEAD_INIT, "_quaver", "", 0, nullptr, kSlots, nullptr, nullptr, nullptr},
    SharedModuleDef::kTag,
    panic_exception,
};

}  // namespace

}  // namespace quaver::py

PyMODINIT_FUNC PyInit__quaver(void) { return PyModuleDef_Init(&quaver::py::kModule.def); }
