// The module-level functions of _quaver, one definition file per job.
#pragma once

#include "python/binding.hpp"

namespace quaver::py {

PyObject* convert_ts_to_mp4(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace quaver::py
