// The _quaver extension module: initialisation and attribute order.
#include "python/functions.hpp"

namespace quaver::py {

namespace {

// In the order the module lists them.
PyMethodDef kFunctions[] = {
    {"convert_ts_to_mp4", with_keywords<convert_ts_to_mp4>(), METH_VARARGS | METH_KEYWORDS,
     "convert_ts_to_mp4(data, reset_timestamps=False)\n--\n\nMPEG-TS 를 MP4 로 변환한다."},
    {"defragment_mp4", with_keywords<defragment_mp4>(), METH_VARARGS | METH_KEYWORDS,
     "defragment_mp4(data)\n--\n\nfragmented MP4 를 일반 MP4 로 펼친다."},
    {"reset_mp4_timestamps", with_keywords<reset_mp4_timestamps>(), METH_VARARGS | METH_KEYWORDS,
     "reset_mp4_timestamps(data)\n--\n\nMP4 타임스탬프를 0 부터 시작하도록 되돌린다."},
    {"convert_mp4_reset_timestamps", with_keywords<convert_mp4_reset_timestamps>(), METH_VARARGS | METH_KEYWORDS,
     "convert_mp4_reset_timestamps(data)\n--\n\nfMP4 면 펼치고, 일반 MP4 면 타임스탬프만 되돌린다."},
    {"mux_fmp4_tracks", with_keywords<mux_fmp4_tracks>(), METH_VARARGS | METH_KEYWORDS,
     "mux_fmp4_tracks(video, audio)\n--\n\n따로 전송된 영상 fMP4 와 소리 fMP4 를 트랙 두 개짜리 MP4 로 합친다."},
    {"extract_thumbnail_from_ts", with_keywords<extract_thumbnail_from_ts>(), METH_VARARGS | METH_KEYWORDS,
     "extract_thumbnail_from_ts(data)\n--\n\nTS 의 첫 키프레임을 뽑는다."},
    {"extract_thumbnail_from_mp4", with_keywords<extract_thumbnail_from_mp4>(), METH_VARARGS | METH_KEYWORDS,
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
