// The places where the interpreter may end the calling thread.
//
// Once the interpreter finalizes, CPython before 3.14 ends a thread that
// asks for the lock (a daemon thread still converting when the program
// exits) with pthread_exit, and glibc ends a thread by unwinding its stack
// with the system's unwinder. None of this module's frames may be unwound
// so: their destructors would drop Python objects without the lock, a
// catch (...) that swallows the unwinding makes glibc abort the process,
// and the C++ runtime linked into the module brings its own unwinder, which
// the system's cannot drive (the wheel's segfaults; a gcc build's aborts
// unless it has unwound an exception before).
//
// So the calls that take the lock back, or that run Python code which may
// (a report sink, an input source), are made from functions compiled without
// unwind information (thread_end.cpp). The unwinding stops at such a frame
// and glibc jumps straight to the thread's start: the thread ends as a
// daemon thread ends in plain Python code, and no frame of this module is
// unwound; what they held stays held, in a process that is exiting. (CPython
// 3.14 on parks such a thread instead, which is as safe.) Python code run
// as a side effect of another call (a finalizer run by a reference we drop
// or by a collection, a metaclass attribute read for a message) is not
// covered.
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
