// Compiled without exceptions and without unwind information (CMakeLists.txt):
// thread_end.hpp says why. Each function keeps its own frame on the stack
// while the call it makes runs (the empty asm statement after the call rules
// out a tail call), since that frame is where the unwinding must stop. They
// call the interpreter directly: a C++ frame of ours between them and the
// interpreter would be unwound.
#include "python/thread_end.hpp"

#if defined(__SANITIZE_ADDRESS__)
#define QUAVER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUAVER_ASAN 1
#endif
#endif
#ifdef QUAVER_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace quaver::py {

// A thread ended below here leaves the frames above it without running
// their epilogues. Under AddressSanitizer the redzones of those frames would
// stay poisoned for the code that goes on to run on that stack (the thread's
// own exit), so they are cleared first, as the sanitizer itself does before
// a longjmp or a throw.
#ifdef QUAVER_ASAN
#define QUAVER_THREAD_MAY_END() __asan_handle_no_return()
#else
#define QUAVER_THREAD_MAY_END()
#endif
#define QUAVER_KEEP_FRAME() __asm__ volatile("" ::: "memory")

void restore_thread(PyThreadState* state) {
  QUAVER_THREAD_MAY_END();
  PyEval_RestoreThread(state);
  QUAVER_KEEP_FRAME();
}

PyGILState_STATE ensure_thread_state() {
  QUAVER_THREAD_MAY_END();
  PyGILState_STATE state = PyGILState_Ensure();
  QUAVER_KEEP_FRAME();
  return state;
}

PyObject* call_python(PyObject* callable, PyObject* first, PyObject* second) {
  QUAVER_THREAD_MAY_END();
  PyObject* result = second ? PyObject_CallFunctionObjArgs(callable, first, second, nullptr)
                            : PyObject_CallFunctionObjArgs(callable, first, nullptr);
  QUAVER_KEEP_FRAME();
  return result;
}

PyObject* next_item(PyObject* iterator) {
  QUAVER_THREAD_MAY_END();
  PyObject* item = PyIter_Next(iterator);
  QUAVER_KEEP_FRAME();
  return item;
}

}  // namespace quaver::py

// A daemon thread may still be converting, without the lock, while the
// process exits after the interpreter has finalized, and exit() destroys the
// static objects of every loaded library: the thread would go on with
// destroyed report sinks and error constants. The module is never unloaded,
// so its static objects are simply never destroyed: the link redirects the
// module's registrations of their destructors (CMakeLists.txt) here, where
// they are dropped.
extern "C" __attribute__((visibility("hidden"))) int __wrap___cxa_atexit(void (*)(void*), void*, void*) {
  return 0;
}
