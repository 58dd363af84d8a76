#include "mp4_parser/defragment.hpp"
#include "python/functions.hpp"

namespace quaver::py {

PyObject* defragment_mp4(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"data", nullptr};
    PyObject* data_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:defragment_mp4", const_cast<char**>(kwlist), &data_obj))
      return nullptr;
    Ref keep;
    ByteView data;
    if (!bytes_arg(data_obj, "data", &data, keep)) return nullptr;
    return run_released([&](OutputAllocator& alloc) { return quaver::defragment_mp4(data, alloc); });
  });
}

}  // namespace quaver::py
