// The module-level functions of _quaver, one definition file per job.
#pragma once

#include "python/binding.hpp"

namespace quaver::py {

PyObject* convert_ts_to_mp4(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* defragment_mp4(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* reset_mp4_timestamps(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* convert_mp4_reset_timestamps(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* mux_fmp4_tracks(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* extract_thumbnail_from_ts(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* extract_thumbnail_from_mp4(PyObject* self, PyObject* args, PyObject* kwargs);

// The FragmentedMP4Processor type, created for the module being initialised.
PyObject* create_processor_type();

}  // namespace quaver::py
