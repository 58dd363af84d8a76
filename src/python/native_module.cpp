// quaver._native: the package layer's entry points, on the same core and
// binding frame as _quaver, whose fixed attribute list has no room for them.
//
// Core errors become the package's exception classes, one per error kind,
// all of them ValueError subclasses carrying the core message. Report lines
// never go to file descriptor 1 here: a call collects them while the
// interpreter lock is released and hands them to the caller's sink once it
// holds the lock again, so threads converting at once each see only their
// own lines.
#include <optional>
#include <string>

#include "content/detect.hpp"
#include "content/jobs.hpp"
#include "content/probe.hpp"
#include "content/samples.hpp"
#include "mp4_parser/defragment.hpp"
#include "mp4_parser/rebase.hpp"
#include "python/native.hpp"

namespace quaver::py {

namespace {

// ---- the package's exception classes --------------------------------------

struct ErrorClass {
  const char* name;
  const char* doc;
  PyObject* type;
};

// The base first; the others in the order of ErrorKind, after it.
ErrorClass g_errors[] = {
    {"quaver.Error",
     "Input quaver cannot use. A ValueError, so code that catches ValueError keeps working; the subclass says "
     "why.",
     nullptr},
    {"quaver.DamagedInput", "Bytes that contradict themselves: cut short, corrupted or damaged.", nullptr},
    {"quaver.UnsupportedInput", "A format, codec or layout quaver does not carry.", nullptr},
    {"quaver.NothingToDo", "No track or sample for the job: nothing would be written.", nullptr},
};
static_assert(static_cast<int>(ErrorKind::kDamaged) == 0 && static_cast<int>(ErrorKind::kUnsupported) == 1 &&
              static_cast<int>(ErrorKind::kNothingToDo) == 2);

PyObject* error_class(ErrorKind kind) { return g_errors[1 + static_cast<int>(kind)].type; }

// Created once per process, like the fault class, so that every import sees
// the same classes.
int create_error_classes() {
  for (ErrorClass& c : g_errors) {
    if (c.type) continue;
    PyObject* base = &c == &g_errors[0] ? PyExc_ValueError : g_errors[0].type;
    c.type = PyErr_NewExceptionWithDoc(c.name, c.doc, base, nullptr);
    if (!c.type) return -1;
  }
  return 0;
}

int add_type(PyObject* module, const char* name, PyObject* type) {
  Py_INCREF(type);
  if (PyModule_AddObject(module, name, type) < 0) {
    Py_DECREF(type);
    return -1;
  }
  return 0;
}

// ---- arguments --------------------------------------------------------------

// A str argument, or None (nothing) where it may be left out.
bool text_arg(PyObject* obj, const char* name, std::optional<std::string>* out) {
  out->reset();
  if (!obj || obj == Py_None) return true;
  if (!PyUnicode_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': '%.200s' object is not an instance of 'str'", name,
                 type_name(obj).c_str());
    return false;
  }
  PyObject* utf8 = PyUnicode_AsUTF8String(obj);
  if (!utf8) return false;
  out->emplace(PyBytes_AsString(utf8), static_cast<std::size_t>(PyBytes_Size(utf8)));
  Py_DECREF(utf8);
  return true;
}

// A PID or track ID: an int from 0 to 2^32 - 1.
bool id_arg(PyObject* obj, const char* name, std::uint32_t* out) {
  if (!PyLong_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': '%.200s' object is not an int", name, type_name(obj).c_str());
    return false;
  }
  const unsigned long long v = PyLong_AsUnsignedLongLong(obj);
  if (PyErr_Occurred() || v > 0xFFFFFFFFull) {
    PyErr_Clear();
    PyErr_Format(PyExc_ValueError, "argument '%s': a PID or track ID runs from 0 to 4294967295", name);
    return false;
  }
  *out = static_cast<std::uint32_t>(v);
  return true;
}

}  // namespace

// ---- shared with the batch functions (native.hpp) ---------------------------

bool request_args(PyObject* video, PyObject* audio, StreamRequest* out) {
  if (video && video != Py_None) {
    std::uint32_t id = 0;
    if (!id_arg(video, "video", &id)) return false;
    out->video = id;
  }
  if (!audio || audio == Py_None) return true;
  PyObject* items = PyObject_GetIter(audio);
  if (!items) return false;
  out->audio.emplace();
  while (PyObject* item = PyIter_Next(items)) {
    std::uint32_t id = 0;
    const bool ok = id_arg(item, "audio", &id);
    Py_DECREF(item);
    if (!ok) {
      Py_DECREF(items);
      return false;
    }
    out->audio->push_back(id);
  }
  Py_DECREF(items);
  return !PyErr_Occurred();
}

void raise_kinded(const Error& error) { PyErr_SetString(error_class(error.kind), error.message.c_str()); }

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
    PyObject* returned = !text ? nullptr : index ? call_python(sink, index, text) : call_python(sink, text);
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

// The arguments of a job on one input and the streams asked for: `data`,
// then (where `reported`) a report sink, then `video` and `audio`.
struct StreamJobArgs {
  Ref keep;
  ByteView data;
  PyObject* sink = nullptr;
  StreamRequest request;
};

bool stream_job_args(PyObject* args, PyObject* kwargs, const char* format, const char* const* kwlist, bool reported,
                     StreamJobArgs* out) {
  PyObject *data_obj = nullptr, *sink_obj = nullptr, *video_obj = nullptr, *audio_obj = nullptr;
  char** const kw = const_cast<char**>(kwlist);
  const bool parsed = reported ? PyArg_ParseTupleAndKeywords(args, kwargs, format, kw, &data_obj, &sink_obj,
                                                             &video_obj, &audio_obj)
                               : PyArg_ParseTupleAndKeywords(args, kwargs, format, kw, &data_obj, &video_obj,
                                                             &audio_obj);
  return parsed && bytes_arg(data_obj, "data", &out->data, out->keep) && sink_arg(sink_obj, &out->sink) &&
         request_args(video_obj, audio_obj, &out->request);
}

// A function of (data, report=None) and at most one more optional argument,
// as `format` and `kwlist` say: binds them, then returns job(data, report,
// extra), where extra is the last argument's object or nullptr. Lines are
// collected only when there is a sink to take them.
template <class Job>
PyObject* reported_job(PyObject* args, PyObject* kwargs, const char* format, const char* const* kwlist, Job&& job) {
  return guarded([&]() -> PyObject* {
    PyObject *data_obj = nullptr, *sink_obj = nullptr, *extra = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(kwlist), &data_obj, &sink_obj, &extra))
      return nullptr;
    Ref keep;
    ByteView data;
    PyObject* sink = nullptr;
    if (!bytes_arg(data_obj, "data", &data, keep) || !sink_arg(sink_obj, &sink)) return nullptr;
    CollectingReport lines;
    Report& report = sink ? static_cast<Report&>(lines) : null_report();
    return deliver(job(data, report, extra), sink, lines);
  });
}

// ---- the jobs ---------------------------------------------------------------

constexpr const char* kReported[] = {"data", "report", nullptr};

PyObject* remux(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* kwlist[] = {"data", "report", "video", "audio", nullptr};
    StreamJobArgs a;
    if (!stream_job_args(args, kwargs, "O|OOO:remux", kwlist, true, &a)) return nullptr;
    CollectingReport lines;
    Report& report = a.sink ? static_cast<Report&>(lines) : null_report();
    PyObject* result =
        run_released([&](OutputAllocator& alloc) { return quaver::remux_streams(a.data, alloc, report, a.request); },
                     raise_kinded);
    return deliver(result, a.sink, lines);
  });
}

// The probe's JSON text; it reads the whole input like a conversion, so the
// lock is released.
PyObject* probe(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* kwlist[] = {"data", "video", "audio", nullptr};
    StreamJobArgs a;
    if (!stream_job_args(args, kwargs, "O|OO:probe", kwlist, false, &a)) return nullptr;
    PyBytesAllocator lock;  // nothing is allocated through it: the probe's text is copied out
    std::optional<Result<std::string>> result =
        released(lock, [&](OutputAllocator&) { return quaver::probe(a.data, a.request); });
    if (!result) return nullptr;
    if (!result->ok()) {
      raise_kinded(result->error());
      return nullptr;
    }
    const std::string& json = result->value();
    return PyUnicode_FromStringAndSize(json.data(), static_cast<Py_ssize_t>(json.size()));
  });
}

PyObject* thumbnail(PyObject*, PyObject* args, PyObject* kwargs) {
  return reported_job(args, kwargs, "O|O:thumbnail", kReported, [](ByteView d, Report& r, PyObject*) {
    return run_released([&](OutputAllocator& a) { return quaver::key_frame(d, a, r); }, raise_kinded);
  });
}

// The codec's name as PyAV knows its decoder.
const char* codec_name(VideoCodec codec) {
  switch (codec) {
    case VideoCodec::kH264: return "h264";
    case VideoCodec::kHevc: return "hevc";
    case VideoCodec::kMpeg2Video: return "mpeg2video";
  }
  return "h264";
}

PyObject* key_frame(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr const char* kwlist[] = {"data", "report", "kind", nullptr};
  return reported_job(args, kwargs, "O|OO:key_frame", kwlist, [](ByteView d, Report& r, PyObject* kind_obj) {
    std::optional<std::string> kind;
    if (!text_arg(kind_obj, "kind", &kind)) return static_cast<PyObject*>(nullptr);
    KeyFrameSource source = KeyFrameSource::kDetect;
    if (kind == "ts") {
      source = KeyFrameSource::kTransportStream;
    } else if (kind == "mp4") {
      source = KeyFrameSource::kMp4;
    } else if (kind) {
      PyErr_Format(PyExc_ValueError, "kind must be None, 'ts' or 'mp4', not '%s'", kind->c_str());
      return static_cast<PyObject*>(nullptr);
    }
    VideoCodec codec = VideoCodec::kH264;
    PyObject* annexb = run_released(
        [&](OutputAllocator& a) { return quaver::key_frame(d, a, r, source, &codec); }, raise_kinded);
    if (!annexb) return static_cast<PyObject*>(nullptr);
    return Py_BuildValue("(sN)", codec_name(codec), annexb);
  });
}

PyObject* merge(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"video", "audio", "video_name", "audio_name", nullptr};
    PyObject *video_obj = nullptr, *audio_obj = nullptr, *video_name_obj = nullptr, *audio_name_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|OO:merge", const_cast<char**>(kwlist), &video_obj, &audio_obj,
                                     &video_name_obj, &audio_name_obj))
      return nullptr;
    Ref keep_video, keep_audio;
    ByteView video, audio;
    std::optional<std::string> video_name, audio_name;
    if (!bytes_arg(video_obj, "video", &video, keep_video) || !bytes_arg(audio_obj, "audio", &audio, keep_audio) ||
        !text_arg(video_name_obj, "video_name", &video_name) || !text_arg(audio_name_obj, "audio_name", &audio_name))
      return nullptr;
    return run_released(
        [&](OutputAllocator& alloc) {
          return quaver::merge(video, audio, alloc, video_name.value_or("the video input"),
                               audio_name.value_or("the audio input"));
        },
        raise_kinded);
  });
}

// The exact MP4 routines of _quaver, raising the package's classes and
// refusing a result without samples.
template <Result<OutBuffer> (*Routine)(ByteView, OutputAllocator&)>
PyObject* exact_job(PyObject* args, PyObject* kwargs, const char* format) {
  return call_with_data(
      args, kwargs, format, [](ByteView d, OutputAllocator& a) { return refuse_empty(Routine(d, a)); }, raise_kinded);
}

PyObject* defragment(PyObject*, PyObject* args, PyObject* kwargs) {
  return exact_job<quaver::defragment_mp4>(args, kwargs, "O:defragment_mp4");
}

PyObject* reset_timestamps(PyObject*, PyObject* args, PyObject* kwargs) {
  return exact_job<quaver::reset_mp4_timestamps>(args, kwargs, "O:reset_mp4_timestamps");
}

PyObject* normalize(PyObject*, PyObject* args, PyObject* kwargs) {
  return exact_job<quaver::convert_mp4_reset_timestamps>(args, kwargs, "O:convert_mp4_reset_timestamps");
}

// Detection and the live checks read a few headers, so they keep the lock.
PyObject* detect_format(PyObject*, PyObject* args, PyObject* kwargs) {
  return with_data(args, kwargs, "O:detect_format", [](ByteView d) -> PyObject* {
    Result<InputKind> kind = detect_input_kind(d);
    if (!kind.ok()) {
      raise_kinded(kind.error());
      return nullptr;
    }
    const std::string_view name = kind_name(kind.value());
    return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
  });
}

PyObject* has_video(PyObject*, PyObject* args, PyObject* kwargs) {
  return with_data(args, kwargs, "O:has_video", [](ByteView d) -> PyObject* {
    return PyBool_FromLong(holds_samples(d, fourcc("vide")));
  });
}

PyObject* sniff(PyObject*, PyObject* args, PyObject* kwargs) {
  return with_data(args, kwargs, "O:sniff", [](ByteView d) -> PyObject* {
    const std::optional<std::string_view> kind = sniff_container(d);
    if (!kind) Py_RETURN_NONE;
    return PyUnicode_FromStringAndSize(kind->data(), static_cast<Py_ssize_t>(kind->size()));
  });
}

template <Result<void> (*Check)(ByteView)>
PyObject* live_check(PyObject* args, PyObject* kwargs, const char* format) {
  return with_data(args, kwargs, format, [](ByteView d) -> PyObject* {
    const Result<void> checked = Check(d);
    if (!checked.ok()) {
      raise_kinded(checked.error());
      return nullptr;
    }
    Py_RETURN_NONE;
  });
}

PyObject* check_segment(PyObject*, PyObject* args, PyObject* kwargs) {
  return live_check<check_live_segment>(args, kwargs, "O:check_segment");
}

PyObject* check_init_segment(PyObject*, PyObject* args, PyObject* kwargs) {
  return live_check<quaver::check_init_segment>(args, kwargs, "O:check_init_segment");
}

// For tests: the largest value the written layouts keep in a 32-bit field,
// lowered so that small inputs take the 64-bit forms. Process-wide; the
// caller restores the value returned.
PyObject* set_32_bit_limit(PyObject*, PyObject* arg) {
  const unsigned long long limit = PyLong_AsUnsignedLongLong(arg);
  if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_OverflowError)) return nullptr;
  if (PyErr_Occurred() || limit > 0xFFFFFFFFull) {
    PyErr_Clear();
    PyErr_SetString(PyExc_ValueError, "the limit runs from 0 to 4294967295");
    return nullptr;
  }
  return PyLong_FromUnsignedLongLong(quaver::set_32_bit_limit(limit));
}

PyMethodDef kFunctions[] = {
    {"remux", with_keywords<remux>(), METH_VARARGS | METH_KEYWORDS,
     "remux(data, report=None, video=None, audio=None)\n--\n\nAny supported input to a regular MP4, the job chosen "
     "from its content. video: a PID or track ID; audio: an iterable of them (empty for none)."},
    {"probe", with_keywords<probe>(), METH_VARARGS | METH_KEYWORDS,
     "probe(data, video=None, audio=None)\n--\n\nWhat quaver sees in the input, as JSON text."},
    {"has_video", with_keywords<has_video>(), METH_VARARGS | METH_KEYWORDS,
     "has_video(data)\n--\n\nWhether an MP4 holds a video track with a sample."},
    {"thumbnail", with_keywords<thumbnail>(), METH_VARARGS | METH_KEYWORDS,
     "thumbnail(data, report=None)\n--\n\nThe first key frame of a TS or MP4 as Annex B (H.264 or HEVC)."},
    {"key_frame", with_keywords<key_frame>(), METH_VARARGS | METH_KEYWORDS,
     "key_frame(data, report=None, kind=None)\n--\n\n(codec, Annex B) of the first key frame; codec is 'h264' or "
     "'hevc'. kind 'ts' or 'mp4' skips detection and runs that container's exact search."},
    {"merge", with_keywords<merge>(), METH_VARARGS | METH_KEYWORDS,
     "merge(video, audio, video_name=None, audio_name=None)\n--\n\nA video fMP4 and an audio fMP4 into one regular "
     "MP4, renumbering a clashing audio track ID. The names stand for the inputs in messages."},
    {"defragment_mp4", with_keywords<defragment>(), METH_VARARGS | METH_KEYWORDS,
     "defragment_mp4(data)\n--\n\n_quaver.defragment_mp4, refusing an empty result, with the package's errors."},
    {"reset_mp4_timestamps", with_keywords<reset_timestamps>(), METH_VARARGS | METH_KEYWORDS,
     "reset_mp4_timestamps(data)\n--\n\n_quaver.reset_mp4_timestamps, refusing an empty result, with the "
     "package's errors."},
    {"convert_mp4_reset_timestamps", with_keywords<normalize>(), METH_VARARGS | METH_KEYWORDS,
     "convert_mp4_reset_timestamps(data)\n--\n\n_quaver.convert_mp4_reset_timestamps, refusing an empty result, "
     "with the package's errors."},
    {"detect_format", with_keywords<detect_format>(), METH_VARARGS | METH_KEYWORDS,
     "detect_format(data)\n--\n\n'ts', 'fmp4', 'segment' or 'mp4'; an error saying what else the bytes are."},
    {"sniff", with_keywords<sniff>(), METH_VARARGS | METH_KEYWORDS,
     "sniff(data)\n--\n\n'ts', 'm2ts', 'mp4' or None: what a file's first bytes look like."},
    {"check_segment", with_keywords<check_segment>(), METH_VARARGS | METH_KEYWORDS,
     "check_segment(data)\n--\n\nRaises unless data is a fragmented MP4 segment holding a sample."},
    {"check_init_segment", with_keywords<check_init_segment>(), METH_VARARGS | METH_KEYWORDS,
     "check_init_segment(data)\n--\n\nRaises unless data is an MP4 with a moov box."},
    {"set_32_bit_limit", set_32_bit_limit, METH_O,
     "set_32_bit_limit(limit)\n--\n\nFor tests: the largest value a written 32-bit size, offset or duration holds "
     "(4294967295); larger ones take the 64-bit forms. Returns the limit it replaces."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
  PyObject* quaver = PyImport_ImportModule("_quaver");
  if (!quaver) return -1;
  const int adopted = adopt_panic_exception(quaver);
  Py_DECREF(quaver);
  if (adopted < 0 || create_error_classes() < 0) return -1;
  if (PyModule_AddFunctions(module, kFunctions) < 0 || add_batch_functions(module) < 0 ||
      add_file_functions(module) < 0)
    return -1;
  if (PyModule_AddIntConstant(module, "SNIFF_LENGTH", static_cast<long>(kSniffLength)) < 0) return -1;
  if (add_type(module, "PanicException", panic_exception()) < 0) return -1;
  for (const ErrorClass& c : g_errors) {
    if (add_type(module, c.name + std::string_view("quaver.").size(), c.type) < 0) return -1;
  }
  return 0;
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

// Exported from _quaver's shared object under its own name, for quaver/_native's
// stub (native_stub.cpp) to forward.
PyMODINIT_FUNC quaver_native_module_init(void) { return PyModuleDef_Init(&quaver::py::kModule); }
