// The places where the interpreter may end the calling thread.
//
// Once the interpreter finalizes, CPython before 3.14 ends a thread that
// asks for the lock (a daemon thread still converting when the program
// exits) with pthread_exit, and glibc ends a thread by unwinding its stack.
// Unwinding through this module's frames would run their catch (...) blocks
// (glibc aborts the process when one of them swallows the unwinding) and
// their destructors (which would drop Python objects without the lock); in
// the wheel, whose C++ runtime brings an unwinder of its own, the system's
// unwinder crashes outright in the first of our frames with a destructor.
//
// So the calls that take the lock back, or that run Python code which may
// (a report sink, an input source), are made from functions compiled without
// unwind information (thread_end.cpp). The unwinding stops at such a frame
// and glibc jumps straight to the thread's start: the thread ends as a
// daemon thread ends in plain Python code, and no frame of this module is
// unwound; whatever they held stays held, for a process that is exiting.
// (CPython 3.14 parks such a thread for good instead: as safe.) Python code
// run as a side effect of other calls (a __del__ run by a reference we drop,
// an __index__ run by argument parsing) is not covered.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quaver::py {

// PyEval_RestoreThread: takes the lock back after PyEval_SaveThread.
void restore_thread(PyThreadState* state);
// PyGILState_Ensure, for a thread that Python did not start.
PyGILState_STATE ensure_thread_state();
// callable(first) or, when second is given, callable(first, second).
PyObject* call_python(PyObject* callable, PyObject* first, PyObject* second = nullptr);
// PyIter_Next.
PyObject* next_item(PyObject* iterator);

}  // namespace quaver::py
