// quaver._native: the package layer's entry points, on the same core and
// binding frame as _quaver, whose fixed attribute list has no room for them.
//
// Report lines never go to file descriptor 1 here: a call collects them
// while the interpreter lock is released and hands them to the caller's
// sink once it holds the lock again, so threads converting at once each see
// only their own lines.
#include "content/detect.hpp"
#include "content/jobs.hpp"
#include "mp4_parser/mux.hpp"
#include "python/native.hpp"

namespace quaver::py {

bool sink_arg(PyObject* obj, PyObject** sink) {
  *sink = nullptr;
  if (!obj || obj == Py_None) return true;
  if (!PyCallable_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument 'report': '%.200s' object is not callable", type_name(obj).c_str());
    return false;
  }
  *sink = obj;
  return true;
}

PyObject* deliver(PyObject* result, PyObject* sink, const CollectingReport& lines, PyObject* index) {
  if (!sink) return result;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  for (const std::string& line : lines.collected()) {
    PyObject* text = PyUnicode_DecodeUTF8(line.data(), static_cast<Py_ssize_t>(line.size()), "replace");
    PyObject* returned = !text   ? nullptr
                         : index ? PyObject_CallFunctionObjArgs(sink, index, text, nullptr)
                                 : PyObject_CallFunctionObjArgs(sink, text, nullptr);
    Py_XDECREF(text);
    if (!returned) {
      Py_XDECREF(type);
      Py_XDECREF(value);
      Py_XDECREF(traceback);
      Py_XDECREF(result);
      return nullptr;
    }
    Py_DECREF(returned);
  }
  PyErr_Restore(type, value, traceback);
  return result;
}

namespace {

// A function of (data, report=None): runs job(data, alloc, report) with the
// lock released, collecting lines only when there is a sink to take them.
template <class Job>
PyObject* reported_job(PyObject* args, PyObject* kwargs, const char* format, Job&& job) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"data", "report", nullptr};
    PyObject* data_obj = nullptr;
    PyObject* sink_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(kwlist), &data_obj, &sink_obj))
      return nullptr;
    Ref keep;
    ByteView data;
    PyObject* sink = nullptr;
    if (!bytes_arg(data_obj, "data", &data, keep) || !sink_arg(sink_obj, &sink)) return nullptr;
    CollectingReport lines;
    Report& report = sink ? static_cast<Report&>(lines) : null_report();
    PyObject* result = run_released([&](OutputAllocator& alloc) { return job(data, alloc, report); });
    return deliver(result, sink, lines);
  });
}

PyObject* remux(PyObject*, PyObject* args, PyObject* kwargs) {
  return reported_job(args, kwargs, "O|O:remux", [](ByteView d, OutputAllocator& a, Report& r) {
    return quaver::remux(d, a, r);
  });
}

PyObject* thumbnail(PyObject*, PyObject* args, PyObject* kwargs) {
  return reported_job(args, kwargs, "O|O:thumbnail", [](ByteView d, OutputAllocator& a, Report& r) {
    return quaver::key_frame(d, a, r);
  });
}

PyObject* merge(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"video", "audio", nullptr};
    PyObject* video_obj = nullptr;
    PyObject* audio_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:merge", const_cast<char**>(kwlist), &video_obj, &audio_obj))
      return nullptr;
    Ref keep_video, keep_audio;
    ByteView video, audio;
    if (!bytes_arg(video_obj, "video", &video, keep_video) || !bytes_arg(audio_obj, "audio", &audio, keep_audio))
      return nullptr;
    return run_released([&](OutputAllocator& alloc) {
      return mux_fmp4_tracks(video, audio, alloc, RepeatedTrackIds::kRenumberAudio);
    });
  });
}

// Detection reads a few headers, so it keeps the lock.
PyObject* detect_format(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"data", nullptr};
    PyObject* data_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:detect_format", const_cast<char**>(kwlist), &data_obj))
      return nullptr;
    Ref keep;
    ByteView data;
    if (!bytes_arg(data_obj, "data", &data, keep)) return nullptr;
    Result<InputKind> kind = detect_input_kind(data);
    if (!kind.ok()) {
      PyErr_SetString(PyExc_ValueError, kind.message().c_str());
      return nullptr;
    }
    const std::string_view name = kind_name(kind.value());
    return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
  });
}

PyMethodDef kFunctions[] = {
    {"remux", with_keywords<remux>(), METH_VARARGS | METH_KEYWORDS,
     "remux(data, report=None)\n--\n\nAny supported input to a regular MP4, the job chosen from its content."},
    {"thumbnail", with_keywords<thumbnail>(), METH_VARARGS | METH_KEYWORDS,
     "thumbnail(data, report=None)\n--\n\nThe first key frame of a TS or MP4 as Annex B (H.264 or HEVC)."},
    {"merge", with_keywords<merge>(), METH_VARARGS | METH_KEYWORDS,
     "merge(video, audio)\n--\n\nA video fMP4 and an audio fMP4 into one regular MP4, renumbering a clashing "
     "audio track ID."},
    {"detect_format", with_keywords<detect_format>(), METH_VARARGS | METH_KEYWORDS,
     "detect_format(data)\n--\n\n'ts', 'fmp4', 'segment' or 'mp4'; ValueError saying what else the bytes are."},
    {nullptr, nullptr, 0, nullptr},
};

// Faults raised here must be caught by the same class as _quaver's, which
// that module creates without exposing it: find it among BaseException's
// direct subclasses once _quaver is loaded.
int adopt_quaver_panic_exception() {
  PyObject* quaver = PyImport_ImportModule("_quaver");
  if (!quaver) return -1;
  Py_DECREF(quaver);
  PyObject* subclasses = PyObject_CallMethod(PyExc_BaseException, "__subclasses__", nullptr);
  if (!subclasses) return -1;
  PyObject* found = nullptr;
  for (Py_ssize_t i = 0, n = PyList_Size(subclasses); i < n && !found; ++i) {
    PyObject* cls = PyList_GetItem(subclasses, i);
    PyObject* module = PyObject_GetAttrString(cls, "__module__");
    PyObject* name = PyObject_GetAttrString(cls, "__name__");
    if (module && name && PyUnicode_Check(module) && PyUnicode_Check(name) &&
        PyUnicode_CompareWithASCIIString(module, "_quaver") == 0 &&
        PyUnicode_CompareWithASCIIString(name, "PanicException") == 0) {
      found = cls;
    }
    Py_XDECREF(module);
    Py_XDECREF(name);
    PyErr_Clear();
  }
  if (found) adopt_panic_exception(found);
  Py_DECREF(subclasses);
  if (!found) {
    PyErr_SetString(PyExc_ImportError, "_quaver.PanicException not found");
    return -1;
  }
  return 0;
}

int exec_module(PyObject* module) {
  if (adopt_quaver_panic_exception() < 0 || add_batch_functions(module) < 0) return -1;
  return PyModule_AddFunctions(module, kFunctions);
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "quaver._native",
    "Entry points of the quaver package that _quaver's fixed interface has no room for.",
    0,
    nullptr,
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace quaver::py

PyMODINIT_FUNC PyInit__native(void) { return PyModuleDef_Init(&quaver::py::kModule); }
