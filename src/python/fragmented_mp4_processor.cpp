// The FragmentedMP4Processor class: a heap type holding the processor state.
//
// Every method keeps the interpreter lock for its whole run. The access flag
// still guards the state, so that a re-entrant call (a method reached again
// while one is running) is refused instead of seeing the state half changed.
#include <atomic>
#include <new>

#include "fmp4_processor/fmp4_processor.hpp"
#include "python/fragmented_mp4_processor.hpp"

namespace quaver::py {

namespace {

struct ProcessorObject {
  PyObject_HEAD
  FragmentedMP4Processor state;
  std::atomic<std::intptr_t> access;  // 0 free, -1 exclusive, n > 0 shared by n
};

// Exclusive (methods) or shared (the property) access for one call.
class Access {
 public:
  Access(ProcessorObject* self, bool exclusive) : self_(self), exclusive_(exclusive) {
    std::intptr_t expected = 0;
    if (exclusive) {
      held_ = self->access.compare_exchange_strong(expected, -1);
    } else {
      std::intptr_t now = self->access.load();
      while (now >= 0 && !self->access.compare_exchange_weak(now, now + 1)) {
      }
      held_ = now >= 0;
    }
    if (!held_) PyErr_SetString(PyExc_RuntimeError, exclusive ? "Already borrowed" : "Already mutably borrowed");
  }
  ~Access() {
    if (!held_) return;
    if (exclusive_) {
      self_->access.store(0);
    } else {
      self_->access.fetch_sub(1);
    }
  }
  explicit operator bool() const { return held_; }

 private:
  ProcessorObject* self_;
  bool exclusive_;
  bool held_ = false;
};

ProcessorObject* as_processor(PyObject* self) { return reinterpret_cast<ProcessorObject*>(self); }

PyObject* processor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, ":FragmentedMP4Processor", const_cast<char**>(kwlist)))
      return nullptr;
    // Slots are read through the stable ABI: the type object is opaque there.
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* obj = alloc(type, 0);
    if (!obj) return nullptr;
    ProcessorObject* self = as_processor(obj);
    new (&self->state) FragmentedMP4Processor();
    new (&self->access) std::atomic<std::intptr_t>(0);
    return obj;
  });
}

int processor_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  return 0;
}

void processor_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  as_processor(self)->state.~FragmentedMP4Processor();
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);
}

// Allocates results under the lock the method already holds.
class HeldGilAllocator final : public OutputAllocator {
 public:
  void* allocate(std::size_t n, std::uint8_t** data) override {
    PyObject* obj = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n));
    if (!obj) throw std::bad_alloc();
    *data = bytes_data(obj);
    return obj;
  }
  void release(void* handle) noexcept override { Py_DECREF(static_cast<PyObject*>(handle)); }
};

// A method taking the byte parameter `data`: binds it, takes exclusive
// access to the instance, then runs body(state, data).
template <class Body>
PyObject* method_with_data(PyObject* self, PyObject* args, PyObject* kwargs, const char* format, Body&& body) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"data", nullptr};
    PyObject* data_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(kwlist), &data_obj)) return nullptr;
    Access access(as_processor(self), true);
    if (!access) return nullptr;
    Ref keep;
    ByteView data;
    if (!bytes_arg(data_obj, "data", &data, keep)) return nullptr;
    return body(as_processor(self)->state, data);
  });
}

PyObject* process_segment(PyObject* self, PyObject* args, PyObject* kwargs) {
  return method_with_data(self, args, kwargs, "O:FragmentedMP4Processor.process_segment",
                          [](FragmentedMP4Processor& state, ByteView data) {
                            HeldGilAllocator alloc;
                            Result<OutBuffer> result = state.process_segment(data, alloc);
                            return to_py(result);
                          });
}

PyObject* set_init_segment(PyObject* self, PyObject* args, PyObject* kwargs) {
  return method_with_data(self, args, kwargs, "O:FragmentedMP4Processor.set_init_segment",
                          [](FragmentedMP4Processor& state, ByteView data) -> PyObject* {
                            state.set_init_segment(data);
                            Py_RETURN_NONE;
                          });
}

PyObject* reset(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    Access access(as_processor(self), true);
    if (!access) return nullptr;
    as_processor(self)->state.reset();
    Py_RETURN_NONE;
  });
}

PyObject* get_base_decode_time(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    Access access(as_processor(self), false);
    if (!access) return nullptr;
    std::optional<std::uint64_t> base = as_processor(self)->state.get_base_decode_time();
    if (!base) Py_RETURN_NONE;
    return PyLong_FromUnsignedLongLong(*base);
  });
}

PyMethodDef kMethods[] = {
    {"process_segment", with_keywords<process_segment>(), METH_VARARGS | METH_KEYWORDS,
     "process_segment($self, data)\n--\n\n"},
    {"set_init_segment", with_keywords<set_init_segment>(), METH_VARARGS | METH_KEYWORDS,
     "set_init_segment($self, data)\n--\n\n"},
    {"reset", reset, METH_NOARGS, "reset($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"base_decode_time", get_base_decode_time, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("FragmentedMP4Processor()\n--\n\n세그먼트를 이어서 받아 처리하는 fMP4 처리기.")},
    {Py_tp_new, reinterpret_cast<void*>(processor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(processor_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(processor_traverse)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

// No BASETYPE flag: the class cannot be subclassed. No dict or weak-reference
// slot. The module part of the name gives the class its __module__; without
// it, creating the type warns and help() on the module fails.
PyType_Spec kSpec = {
    "_quaver.FragmentedMP4Processor",
    sizeof(ProcessorObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    kSlots,
};

}  // namespace

PyObject* create_processor_type() { return PyType_FromSpec(&kSpec); }

}  // namespace quaver::py
