#include "python/functions.hpp"
#include "thumbnail/thumbnail.hpp"

namespace quaver::py {

PyObject* extract_thumbnail_from_ts(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_with_data(args, kwargs, "O:extract_thumbnail_from_ts",
                        [](ByteView d, OutputAllocator& a) { return quaver::extract_thumbnail_from_ts(d, a); });
}

PyObject* extract_thumbnail_from_mp4(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_with_data(args, kwargs, "O:extract_thumbnail_from_mp4",
                        [](ByteView d, OutputAllocator& a) { return quaver::extract_thumbnail_from_mp4(d, a); });
}

}  // namespace quaver::py
