// quaver._native's conversion of files: the input read through a map of an
// open file, the output written into a file through a map of it, so that
// neither is held in memory. The caller (quaver.api) opens the files,
// writes beside the target and renames; this part never names a path.
#include <cerrno>
#include <optional>

#include "content/jobs.hpp"
#include "content/samples.hpp"
#include "core/mapped_file.hpp"
#include "python/native.hpp"

namespace quaver::py {

namespace {

// A file descriptor argument: a non-negative int.
bool fd_arg(PyObject* obj, const char* name, int* out) {
  const long v = PyLong_Check(obj) ? PyLong_AsLong(obj) : -1;
  if (PyErr_Occurred() || v < 0 || v > 0x7FFFFFFF) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "argument '%s': a file descriptor (an int from 0) is needed", name);
    return false;
  }
  *out = static_cast<int>(v);
  return true;
}

// What a file conversion gives back across the released lock.
struct FileOutcome {
  Result<OutBuffer> result = Error{};
  int write_error = 0;  // errno of a refused output, else 0
  bool written = false;  // the result is in the output file
  bool has_video = false;  // and holds a video sample
};

PyObject* remux_file(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* kwlist[] = {"src", "dst", "report", "video", "audio", nullptr};
    PyObject *src_obj = nullptr, *dst_obj = nullptr, *sink_obj = nullptr, *video_obj = nullptr, *audio_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|OOO:remux_file", const_cast<char**>(kwlist), &src_obj,
                                     &dst_obj, &sink_obj, &video_obj, &audio_obj))
      return nullptr;
    // src: the input's bytes, or the descriptor of the open input file;
    // dst: the descriptor of the file the result is written into, or None
    // for a bytes result.
    Ref keep;
    ByteView data;
    int src_fd = -1, dst_fd = -1;
    PyObject* sink = nullptr;
    StreamRequest request;
    if (PyLong_Check(src_obj) ? !fd_arg(src_obj, "src", &src_fd) : !bytes_arg(src_obj, "src", &data, keep))
      return nullptr;
    if (dst_obj != Py_None && !fd_arg(dst_obj, "dst", &dst_fd)) return nullptr;
    if (!sink_arg(sink_obj, &sink) || !request_args(video_obj, audio_obj, &request)) return nullptr;

    CollectingReport lines;
    Report& report = sink ? static_cast<Report&>(lines) : null_report();
    PyBytesAllocator bytes_alloc;
    std::optional<FileOutcome> outcome = released(bytes_alloc, [&](OutputAllocator& to_bytes) {
      FileOutcome out;
      std::optional<MappedInput> mapped;
      if (src_fd >= 0) {
        Result<MappedInput> opened = MappedInput::map(src_fd);
        if (!opened.ok()) {
          out.result = opened.error();
          return out;
        }
        mapped.emplace(opened.take());
        data = mapped->view();
      }
      FileOutput to_file(dst_fd, src_fd, data);
      OutputAllocator& alloc = dst_fd >= 0 ? static_cast<OutputAllocator&>(to_file) : to_bytes;
      try {
        out.result = remux_streams(data, alloc, report, request);
      } catch (const FileOutputError& e) {
        out.write_error = e.error_number;
        return out;
      }
      // A result read from a file that changed under it is not the file's.
      if (mapped) {
        if (Result<void> same = mapped->check_unchanged(); !same.ok()) out.result = same.error();
      }
      if (dst_fd >= 0 && out.result.ok()) {
        out.written = true;
        out.has_video = holds_samples(out.result.value().view(), fourcc("vide"));
        out.result = Error{};  // unmaps the output while its allocator lives
      }
      return out;
    });
    if (!outcome) return nullptr;
    if (outcome->write_error) {
      errno = outcome->write_error;
      return deliver(PyErr_SetFromErrno(PyExc_OSError), sink, lines);
    }
    if (dst_fd < 0) return deliver(to_py(outcome->result, raise_kinded), sink, lines);
    if (!outcome->written) {
      raise_kinded(outcome->result.error());
      return deliver(nullptr, sink, lines);
    }
    return deliver(PyBool_FromLong(outcome->has_video), sink, lines);
  });
}

PyObject* cached_bytes(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* kwlist[] = {"fd", nullptr};
    PyObject* fd_obj = nullptr;
    int fd = -1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:cached_bytes", const_cast<char**>(kwlist), &fd_obj) ||
        !fd_arg(fd_obj, "fd", &fd))
      return nullptr;
    return PyLong_FromUnsignedLongLong(quaver::cached_bytes(fd));
  });
}

PyMethodDef kFileFunctions[] = {
    {"remux_file", with_keywords<remux_file>(), METH_VARARGS | METH_KEYWORDS,
     "remux_file(src, dst, report=None, video=None, audio=None)\n--\n\nremux, reading src (bytes, or the descriptor "
     "of an open file, read through a map) and writing into the open file dst (a descriptor, opened for reading "
     "and writing), then returning whether the result holds video; or returning bytes where dst is None."},
    {"cached_bytes", with_keywords<cached_bytes>(), METH_VARARGS | METH_KEYWORDS,
     "cached_bytes(fd)\n--\n\nBytes of the open file held in the page cache: how much of a result being written "
     "has been written so far."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_file_functions(PyObject* module) { return PyModule_AddFunctions(module, kFileFunctions); }

}  // namespace quaver::py
