#include "python/binding.hpp"

#include <cstring>

namespace quaver::py {

namespace {
PyObject* g_panic_exception = nullptr;
}

PyObject* panic_exception() { return g_panic_exception; }

int create_panic_exception() {
  if (g_panic_exception) return 0;
  g_panic_exception = PyErr_NewExceptionWithDoc(
      "_quaver.PanicException",
      "An internal fault of the library (a broken invariant), not a problem with the input.",
      PyExc_BaseException, nullptr);
  return g_panic_exception ? 0 : -1;
}

bool bytes_arg(PyObject* obj, const char* name, ByteView* out, Ref& keep) {
  if (!PyBytes_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': '%.200s' object is not an instance of 'bytes'", name,
                 Py_TYPE(obj)->tp_name);
    return false;
  }
  keep.hold(obj);
  *out = ByteView(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(obj)),
                  static_cast<std::size_t>(PyBytes_GET_SIZE(obj)));
  return true;
}

bool flag_arg(PyObject* obj, const char* name, bool* out) {
  if (obj == Py_True || obj == Py_False) {
    *out = obj == Py_True;
    return true;
  }
  // numpy's bool scalar (named bool_ before numpy 2, bool since).
  const char* type_name = Py_TYPE(obj)->tp_name;
  if (std::strcmp(type_name, "numpy.bool_") == 0 || std::strcmp(type_name, "numpy.bool") == 0) {
    int truth = PyObject_IsTrue(obj);
    if (truth < 0) return false;
    *out = truth != 0;
    return true;
  }
  PyErr_Format(PyExc_TypeError, "argument '%s': '%.200s' object is not an instance of 'bool'", name,
               type_name);
  return false;
}

void raise_fault(std::exception_ptr e) {
  try {
    std::rethrow_exception(e);
  } catch (const std::bad_alloc&) {
    if (!PyErr_Occurred()) PyErr_NoMemory();
  } catch (const std::exception& ex) {
    PyErr_SetString(g_panic_exception, ex.what());
  } catch (...) {
    PyErr_SetString(g_panic_exception, "unknown internal fault");
  }
}

void* PyBytesAllocator::allocate(std::size_t n, std::uint8_t** data) {
  if (n > static_cast<std::size_t>(PY_SSIZE_T_MAX)) throw std::bad_alloc();
  PyThreadState* was_released = saved_;
  if (was_released) acquire_gil();
  PyObject* obj = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n));
  if (!obj) PyErr_Clear();  // reported as MemoryError once the work has unwound
  if (was_released) release_gil();
  if (!obj) throw std::bad_alloc();
  *data = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(obj));
  return obj;
}

void PyBytesAllocator::release(void* handle) noexcept {
  PyThreadState* was_released = saved_;
  if (was_released) acquire_gil();
  Py_DECREF(static_cast<PyObject*>(handle));
  if (was_released) release_gil();
}

PyObject* to_py(Result<OutBuffer>& result) {
  if (!result.ok()) {
    PyErr_SetString(PyExc_ValueError, result.message().c_str());
    return nullptr;
  }
  return static_cast<PyObject*>(result.value().release_handle());
}

}  // namespace quaver::py
