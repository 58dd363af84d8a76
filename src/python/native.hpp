// What quaver._native's files share: report sinks, stream choices, and the batch functions.
#pragma once

#include "python/binding.hpp"
#include "ts_parser/report.hpp"
#include "ts_parser/stream_choice.hpp"

namespace quaver::py {

// Raises the package's exception class for the error's kind.
void raise_kinded(const Error& error);

// The `report` argument: None, or a callable taking one str per line.
bool sink_arg(PyObject* obj, PyObject** sink);

// The streams asked for: `video` None or an int; `audio` None (the default
// choice) or an iterable of ints, empty for no audio.
bool request_args(PyObject* video, PyObject* audio, StreamRequest* out);

// Passes each collected line to the sink (after `index`, when given), then
// returns the call's outcome (a result, or the exception already set). An
// exception raised by the sink replaces that outcome.
PyObject* deliver(PyObject* result, PyObject* sink, const CollectingReport& lines, PyObject* index = nullptr);

// Adds remux_batch and thumbnail_batch to the module.
int add_batch_functions(PyObject* module);
// Adds remux_file and cached_bytes.
int add_file_functions(PyObject* module);

}  // namespace quaver::py
