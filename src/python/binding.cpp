#include "python/binding.hpp"

#include <string>

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

int adopt_panic_exception(PyObject* module) {
  if (g_panic_exception) return 0;
  PyModuleDef* def = PyModule_GetDef(module);
  const auto* shared = reinterpret_cast<const SharedModuleDef*>(def);
  PyObject* type = shared && shared->tag == SharedModuleDef::kTag ? shared->panic_exception() : nullptr;
  if (!type) {
    PyErr_SetString(PyExc_ImportError, "_quaver does not come from the same build as quaver._native");
    return -1;
  }
  Py_INCREF(type);
  g_panic_exception = type;
  return 0;
}

#ifdef Py_LIMITED_API
namespace {

// A text attribute of a type; empty when it has none.
std::string text_attr(PyObject* type, const char* attr) {
  std::string text;
  PyObject* value = PyObject_GetAttrString(type, attr);
  PyObject* utf8 = value && PyUnicode_Check(value) ? PyUnicode_AsUTF8String(value) : nullptr;
  if (utf8) text.assign(PyBytes_AsString(utf8), static_cast<std::size_t>(PyBytes_Size(utf8)));
  Py_XDECREF(utf8);
  Py_XDECREF(value);
  PyErr_Clear();
  return text;
}

// True for a class made by a class statement (or by calling type): all of
// them share one deallocator, read here from a class made for the purpose.
// Set under the interpreter lock; no static guard, which could block a
// thread holding the lock while the first caller waits to take it back.
void* g_class_dealloc = nullptr;

bool made_by_class_statement(PyTypeObject* type) {
  if (!g_class_dealloc) {
    PyObject* probe = PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s(O){}", "probe",
                                            reinterpret_cast<PyObject*>(&PyBaseObject_Type));
    if (probe) g_class_dealloc = PyType_GetSlot(reinterpret_cast<PyTypeObject*>(probe), Py_tp_dealloc);
    Py_XDECREF(probe);
    PyErr_Clear();
  }
  return g_class_dealloc && PyType_GetSlot(type, Py_tp_dealloc) == g_class_dealloc;
}

}  // namespace

// The type object is opaque under the limited API, so its name is rebuilt
// the way the interpreter built it: a class statement names its class
// alone; any other type is named "module.name", builtins by name alone.
std::string type_name(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  PyObject* as_object = reinterpret_cast<PyObject*>(type);
  const std::string name = text_attr(as_object, "__name__");
  if ((PyType_GetFlags(type) & Py_TPFLAGS_HEAPTYPE) && made_by_class_statement(type)) return name;
  const std::string module = text_attr(as_object, "__module__");
  return module.empty() || module == "builtins" ? name : module + "." + name;
}
#else
std::string type_name(PyObject* obj) { return Py_TYPE(obj)->tp_name; }
#endif

bool bytes_arg(PyObject* obj, const char* name, ByteView* out, Ref& keep) {
  if (!PyBytes_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': '%.200s' object is not an instance of 'bytes'", name,
                 type_name(obj).c_str());
    return false;
  }
  keep.hold(obj);
  *out = ByteView(bytes_data(obj), static_cast<std::size_t>(PyBytes_Size(obj)));
  return true;
}

bool flag_arg(PyObject* obj, const char* name, bool* out) {
  if (obj == Py_True || obj == Py_False) {
    *out = obj == Py_True;
    return true;
  }
  // numpy's bool scalar (named bool_ before numpy 2, bool since).
  const std::string type = type_name(obj);
  if (type == "numpy.bool_" || type == "numpy.bool") {
    int truth = PyObject_IsTrue(obj);
    if (truth < 0) return false;
    *out = truth != 0;
    return true;
  }
  PyErr_Format(PyExc_TypeError, "argument '%s': '%.200s' object is not an instance of 'bool'", name,
               type.c_str());
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
  *data = bytes_data(obj);
  return obj;
}

void PyBytesAllocator::release(void* handle) noexcept {
  PyThreadState* was_released = saved_;
  if (was_released) acquire_gil();
  Py_DECREF(static_cast<PyObject*>(handle));
  if (was_released) release_gil();
}

void raise_value_error(const Error& error) { PyErr_SetString(PyExc_ValueError, error.message.c_str()); }

PyObject* to_py(Result<OutBuffer>& result, ErrorRaiser raise) {
  if (!result.ok()) {
    raise(result.error());
    return nullptr;
  }
  return static_cast<PyObject*>(result.value().release_handle());
}

}  // namespace quaver::py
