// The frame shared by every Python entry point: argument conversion, running
// the core with the interpreter lock released, and turning the outcome into
// bytes, ValueError (core errors) or PanicException (internal faults).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <type_traits>

#include "core/bytes.hpp"
#include "core/output.hpp"
#include "core/result.hpp"
#include "python/thread_end.hpp"

namespace quaver::py {

// The exception raised for internal faults; a direct BaseException subclass
// so that `except Exception` does not swallow it. _quaver creates it; the
// package's module raises the same class, which it takes from _quaver's
// module definition (SharedModuleDef), since _quaver has no attribute for it.
PyObject* panic_exception();
int create_panic_exception();

// _quaver's module definition, with what another module built on this frame
// needs from it. Found with PyModule_GetDef, and trusted only with its tag.
struct SharedModuleDef {
  static constexpr std::uint32_t kTag = 0x71756176;  // "quav"
  PyModuleDef def;
  std::uint32_t tag;
  PyObject* (*panic_exception)();
};
// For the second module: raise the class of the one whose definition this
// is (held from then on). -1 with an exception set when it is not one.
int adopt_panic_exception(PyObject* module);

// A strong reference held for the length of a call; released with the lock held.
class Ref {
 public:
  Ref() = default;
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(obj_); }
  void hold(PyObject* obj) {
    Py_XINCREF(obj);
    Py_XDECREF(obj_);
    obj_ = obj;
  }

 private:
  PyObject* obj_ = nullptr;
};

// The storage of a bytes object: read in place for an argument, written in
// place for a result that is still private to the call. The function form
// (not the macro) keeps the module within the stable ABI.
inline std::uint8_t* bytes_data(PyObject* obj) { return reinterpret_cast<std::uint8_t*>(PyBytes_AsString(obj)); }

// The type name the interpreter uses in its own messages ("bytearray",
// "numpy.bool") for the type of `obj`.
std::string type_name(PyObject* obj);

// A `bytes` argument (subclasses too), read in place instead of copied: bytes
// are immutable, and `keep` holds the object alive while the lock is released.
bool bytes_arg(PyObject* obj, const char* name, ByteView* out, Ref& keep);
// True/False, or a numpy bool scalar.
bool flag_arg(PyObject* obj, const char* name, bool* out);

// Raises the Python exception for a C++ exception caught at the boundary.
void raise_fault(std::exception_ptr e);

// Result storage that lives inside the bytes object returned to Python, so
// a result is written once and never copied. The lock is taken briefly to
// create or drop the object when the work runs without it.
class PyBytesAllocator final : public OutputAllocator {
 public:
  void* allocate(std::size_t n, std::uint8_t** data) override;
  void release(void* handle) noexcept override;

  void release_gil() { saved_ = PyEval_SaveThread(); }
  void acquire_gil() {
    PyThreadState* t = saved_;
    saved_ = nullptr;
    restore_thread(t);
  }

 private:
  PyThreadState* saved_ = nullptr;  // set while the lock is released
};

// How a core error reaches Python. _quaver raises ValueError carrying
// exactly the core message; the package's module raises its class for the
// error's kind, with the same message.
using ErrorRaiser = void (*)(const Error&);
void raise_value_error(const Error& error);

// Passes a core result to Python: the bytes object, or the raised error.
PyObject* to_py(Result<OutBuffer>& result, ErrorRaiser raise = raise_value_error);

// Runs work(alloc) with the interpreter lock released for its whole
// duration: its result, or nothing, with the exception raised, where it
// threw. `alloc` hands out result storage while the lock is released.
template <class Work>
auto released(PyBytesAllocator& alloc, Work&& work) -> std::optional<std::invoke_result_t<Work&, OutputAllocator&>> {
  std::optional<std::invoke_result_t<Work&, OutputAllocator&>> result;
  std::exception_ptr failure;
  alloc.release_gil();
  try {
    result.emplace(work(alloc));
  } catch (...) {
    failure = std::current_exception();
  }
  alloc.acquire_gil();
  if (failure) raise_fault(failure);
  return result;
}

// The same for work(OutputAllocator&) -> Result<OutBuffer>: the bytes
// object, or nothing with the error raised.
template <class Work>
PyObject* run_released(Work&& work, ErrorRaiser raise = raise_value_error) {
  PyBytesAllocator alloc;
  std::optional<Result<OutBuffer>> result = released(alloc, work);
  return result ? to_py(*result, raise) : nullptr;
}

// Runs a binding body, turning any escaped C++ exception into a Python error.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    raise_fault(std::current_exception());
    return nullptr;
  }
}

// A METH_VARARGS | METH_KEYWORDS function as stored in a method table.
template <auto F>
PyCFunction with_keywords() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

// A module function whose only parameter is the byte parameter `data`:
// binds it, then returns body(data), with the lock held.
template <class Body>
PyObject* with_data(PyObject* args, PyObject* kwargs, const char* format, Body&& body) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"data", nullptr};
    PyObject* data_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(kwlist), &data_obj)) return nullptr;
    Ref keep;
    ByteView data;
    if (!bytes_arg(data_obj, "data", &data, keep)) return nullptr;
    return body(data);
  });
}

// The same, running core(data, alloc) with the lock released.
template <class Core>
PyObject* call_with_data(PyObject* args, PyObject* kwargs, const char* format, Core&& core,
                         ErrorRaiser raise = raise_value_error) {
  return with_data(args, kwargs, format, [&](ByteView data) {
    return run_released([&](OutputAllocator& alloc) { return core(data, alloc); }, raise);
  });
}

}  // namespace quaver::py
