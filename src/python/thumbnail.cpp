#include "python/functions.hpp"
#include "thumbnail/thumbnail.hpp"

namespace quaver::py {

namespace {

// Both key-frame functions take one byte parameter, `data`.
template <class Core>
PyObject* one_input(PyObject* args, PyObject* kwargs, const char* format, Core&& core) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"data", nullptr};
    PyObject* data_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(kwlist), &data_obj)) return nullptr;
    Ref keep;
    ByteView data;
    if (!bytes_arg(data_obj, "data", &data, keep)) return nullptr;
    return run_released([&](OutputAllocator& alloc) { return core(data, alloc); });
  });
}

}  // namespace

PyObject* extract_thumbnail_from_ts(PyObject*, PyObject* args, PyObject* kwargs) {
  return one_input(args, kwargs, "O:extract_thumbnail_from_ts",
                   [](ByteView d, OutputAllocator& a) { return quaver::extract_thumbnail_from_ts(d, a); });
}

PyObject* extract_thumbnail_from_mp4(PyObject*, PyObject* args, PyObject* kwargs) {
  return one_input(args, kwargs, "O:extract_thumbnail_from_mp4",
                   [](ByteView d, OutputAllocator& a) { return quaver::extract_thumbnail_from_mp4(d, a); });
}

}  // namespace quaver::py
