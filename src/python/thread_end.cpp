// Compiled without exceptions and without unwind information (CMakeLists.txt):
// thread_end.hpp says why. Each function keeps its own frame on the stack
// while the call it makes runs (the empty asm statement after the call rules
// out a tail call), since that frame is where the unwinding must stop. They
// call the interpreter directly: a C++ frame of ours between them and the
// interpreter would be unwound.
#include "python/thread_end.hpp"

namespace quaver::py {

#define QUAVER_KEEP_FRAME() __asm__ volatile("" ::: "memory")

void restore_thread(PyThreadState* state) {
  PyEval_RestoreThread(state);
  QUAVER_KEEP_FRAME();
}

PyGILState_STATE ensure_thread_state() {
  PyGILState_STATE state = PyGILState_Ensure();
  QUAVER_KEEP_FRAME();
  return state;
}

PyObject* call_python(PyObject* callable, PyObject* first, PyObject* second) {
  PyObject* result = second ? PyObject_CallFunctionObjArgs(callable, first, second, nullptr)
                            : PyObject_CallFunctionObjArgs(callable, first, nullptr);
  QUAVER_KEEP_FRAME();
  return result;
}

PyObject* next_item(PyObject* iterator) {
  PyObject* item = PyIter_Next(iterator);
  QUAVER_KEEP_FRAME();
  return item;
}

}  // namespace quaver::py
