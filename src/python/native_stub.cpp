// quaver/_native's own shared object: the module lives in _quaver's, with
// the rest of the binding and the one copy of the core. This file is linked
// against that object, so loading it loads _quaver's (or finds it already
// loaded), and it only hands the interpreter the module's entry point.
#include <Python.h>

extern "C" PyObject* quaver_native_module_init(void);

PyMODINIT_FUNC PyInit__native(void) { return quaver_native_module_init(); }
