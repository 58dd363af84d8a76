#include "mp4_writer/mp4_writer.hpp"
#include "python/functions.hpp"

namespace quaver::py {

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

}  // namespace quaver::py
