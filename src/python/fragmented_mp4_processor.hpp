// _quaver's FragmentedMP4Processor class (fragmented_mp4_processor.cpp).
#pragma once

#include "python/binding.hpp"

namespace quaver::py {

// The class, created for the module being initialised.
PyObject* create_processor_type();

}  // namespace quaver::py
