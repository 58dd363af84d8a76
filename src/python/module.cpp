// The _quaver extension module: initialisation and the module functions.
#include "mp4_writer/mp4_writer.hpp"
#include "python/binding.hpp"

namespace quaver::py {

namespace {

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

PyMethodDef kFunctions[] = {
    {"convert_ts_to_mp4", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(convert_ts_to_mp4)),
     METH_VARARGS | METH_KEYWORDS,
     "convert_ts_to_mp4(data, reset_timestamps=False)\n--\n\nMPEG-TS 를 MP4 로 변환한다."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
  if (create_panic_exception() < 0) return -1;
  if (PyModule_AddStringConstant(module, "__version__", "0.4.0") < 0) return -1;
  if (PyModule_AddFunctions(module, kFunctions) < 0) return -1;
  return 0;
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "_quaver", "", 0, nullptr, kSlots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace quaver::py

PyMODINIT_FUNC PyInit__quaver(void) { return PyModuleDef_Init(&quaver::py::kModule); }
