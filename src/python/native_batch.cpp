// quaver._native's batches: remux_batch and thumbnail_batch return an
// iterator that runs the single-input job on every input of an iterable, on
// a pool of worker threads, and yields each outcome in input order.
//
// The calling thread is one of the workers. Only it runs Python code: it
// pulls inputs from the source while there is room in the window, and for
// each input in turn hands over the result and the input's report lines.
// Pool threads take the interpreter lock only for the moment of making a
// result's bytes object. While the calling thread converts or waits it
// releases the lock, taking it back at least every 50 ms to let signal
// handlers run; an exception from one (KeyboardInterrupt) stops the batch: no
// new input starts, the running ones finish, the threads exit, and the
// exception is raised.
#include <algorithm>
#include <chrono>
#include <exception>
#include <optional>
#include <utility>
#include <vector>

#include "batch/pool.hpp"
#include "content/jobs.hpp"
#include "python/native.hpp"

namespace quaver::py {

namespace {

// The single-input job, with the streams asked for (remux) or none (thumbnail).
using Job = Result<OutBuffer> (*)(ByteView, OutputAllocator&, Report&, const StreamRequest&);

// How often a waiting caller lets signal handlers run.
constexpr std::chrono::milliseconds kSignalPoll{50};

// The thread state of this thread while it runs without the interpreter
// lock: the calling thread's own, or the one a pool thread made for itself
// when it started. Null while the thread holds the lock.
thread_local PyThreadState* t_released = nullptr;
thread_local PyGILState_STATE t_gil;

// Result storage inside the bytes object returned, as for a single call: the
// lock is taken for just the moment of making or dropping the object. (Heap
// buffers copied into bytes objects by the calling thread were measured too:
// with 0.25 MB segments, two workers reached 1.45x one worker instead of
// 1.87x, the copies holding up the calling thread, which converts as well.)
class BatchBytesAllocator final : public OutputAllocator {
 public:
  void* allocate(std::size_t n, std::uint8_t** data) override {
    if (n > static_cast<std::size_t>(PY_SSIZE_T_MAX)) throw std::bad_alloc();
    PyObject* obj = nullptr;
    with_lock([&] {
      obj = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n));
      if (!obj) PyErr_Clear();
    });
    if (!obj) throw std::bad_alloc();
    *data = bytes_data(obj);
    return obj;
  }
  void release(void* handle) noexcept override {
    with_lock([&] { Py_DECREF(static_cast<PyObject*>(handle)); });
  }

 private:
  template <class F>
  static void with_lock(F&& f) {
    PyThreadState* released = t_released;
    if (released) restore_thread(released);
    f();
    if (released) t_released = PyEval_SaveThread();
  }
};

// One input in the window: its bytes, then what its job made of them.
struct Slot {
  PyObject* input = nullptr;  // a strong reference, dropped by the calling thread
  ByteView data;
  std::optional<Result<OutBuffer>> result;
  std::exception_ptr fault;
  std::optional<CollectingReport> lines;  // only when there is a sink
};

class Batch final : public BatchTasks {
 public:
  Batch(Job job, StreamRequest request, std::size_t workers, std::size_t window, bool collect)
      : job_(job), request_(std::move(request)), collect_(collect), slots_(window), pool_(*this, workers, window) {}

  BatchPool& pool() { return pool_; }
  Slot& slot(std::size_t index) { return slots_[index % slots_.size()]; }

  void run(std::size_t index) noexcept override {
    Slot& s = slot(index);
    try {
      Report* report = &null_report();
      if (collect_) report = &s.lines.emplace();
      s.result.emplace(job_(s.data, bytes_alloc_, *report, request_));
    } catch (...) {
      s.fault = std::current_exception();
    }
  }
  void thread_started() noexcept override {
    t_gil = ensure_thread_state();
    t_released = PyEval_SaveThread();
  }
  void thread_stopping() noexcept override {
    restore_thread(t_released);
    t_released = nullptr;
    PyGILState_Release(t_gil);
  }

  // Guarded by the interpreter lock: the object has let go of the batch, and
  // the number of stop_batches calls still using it.
  bool finished = false;
  int pinned = 0;

 private:
  Job job_;
  const StreamRequest request_;
  bool collect_;
  BatchBytesAllocator bytes_alloc_;
  std::vector<Slot> slots_;
  BatchPool pool_;  // last: its workers stop before the slots go
};

struct BatchObject {
  PyObject_HEAD
  Batch* batch;        // null once the batch has finished
  PyObject* source;    // iterator over the inputs; null once it has ended
  PyObject* failure;   // what the source raised, due after the inputs before it
  PyObject* sink;      // or null
  bool raise_errors;
  bool running;        // a thread is in next() (the pool has one caller)
};

BatchObject* as_batch(PyObject* self) { return reinterpret_cast<BatchObject*>(self); }

// The batches not finished yet, and whether the interpreter is on its way
// out (both guarded by the interpreter lock). Once it finalizes, a thread
// that takes the lock is ended on the spot, even in the middle of a task:
// so at exit every batch's threads are stopped, and from then on a batch
// runs on its calling thread alone.
std::vector<BatchObject*> g_live;
bool g_exiting = false;

// Registered with atexit. A batch's thread that is converting finishes its
// task first (taking the lock for its result if it must). Meanwhile the
// batch's own calling thread may finish it: `pinned` keeps it alive.
PyObject* stop_batches(PyObject*, PyObject*) {
  g_exiting = true;
  const std::vector<BatchObject*> live = g_live;
  for (BatchObject* b : live) Py_INCREF(reinterpret_cast<PyObject*>(b));
  for (BatchObject* b : live) {
    if (Batch* batch = b->batch) {
      ++batch->pinned;
      PyThreadState* state = PyEval_SaveThread();
      batch->pool().stop_threads();
      restore_thread(state);
      if (--batch->pinned == 0 && batch->finished) delete batch;
    }
    Py_DECREF(reinterpret_cast<PyObject*>(b));
  }
  Py_RETURN_NONE;
}

// The exception currently set, taken out as one object carrying its traceback.
PyObject* fetch_exception() {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return value;
}

void raise_exception(PyObject* value) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
  Py_INCREF(type);
  PyErr_Restore(type, value, PyException_GetTraceback(value));
}

// Stops the workers (waiting, without the lock, for the running ones) and
// drops every input and result still held. Safe to call again.
void finish(BatchObject* b) {
  Batch* batch = b->batch;
  if (!batch) return;
  b->batch = nullptr;
  g_live.erase(std::find(g_live.begin(), g_live.end(), b));
  PyThreadState* state = PyEval_SaveThread();
  batch->pool().stop_threads();
  restore_thread(state);
  for (std::size_t i = batch->pool().oldest(); i < batch->pool().submitted(); ++i) Py_CLEAR(batch->slot(i).input);
  batch->finished = true;
  if (batch->pinned == 0) delete batch;
}

// Submits inputs while the window has room. A source that ends or raises
// is not asked again; an Exception it raised is kept until the inputs before
// it have been delivered, anything else (KeyboardInterrupt) stops the batch.
bool fill(BatchObject* b) {
  BatchPool& pool = b->batch->pool();
  while (b->source && pool.has_room()) {
    PyObject* input = next_item(b->source);
    Ref keep;
    ByteView data;
    if (!input || !bytes_arg(input, "inputs", &data, keep)) {
      Py_XDECREF(input);
      Py_CLEAR(b->source);
      if (!PyErr_Occurred()) break;
      if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
      b->failure = fetch_exception();
      break;
    }
    Slot& s = b->batch->slot(pool.submitted());
    s.input = input;
    s.data = data;
    pool.submit();
  }
  return true;
}

// Converts, or waits for the workers, without the lock until the oldest
// input is done; false when a signal handler raised meanwhile.
bool work_until_oldest(BatchPool& pool) {
  for (;;) {
    t_released = PyEval_SaveThread();
    const bool done = pool.work_until_oldest(kSignalPoll);
    restore_thread(t_released);
    t_released = nullptr;
    if (done) return true;
    if (PyErr_CheckSignals() < 0) return false;
  }
}

// The oldest input's outcome, exactly as the single-input function gives it.
PyObject* outcome(std::optional<Result<OutBuffer>>& result, std::exception_ptr fault) {
  if (fault) {
    raise_fault(fault);
    return nullptr;
  }
  return to_py(*result, raise_kinded);
}

PyObject* next_outcome(BatchObject* b) {
  if (!b->batch) return nullptr;
  BatchPool& pool = b->batch->pool();
  if (!fill(b)) return nullptr;
  if (pool.oldest() == pool.submitted()) {
    if (b->failure) {
      raise_exception(b->failure);
      b->failure = nullptr;
    }
    return nullptr;
  }
  if (!work_until_oldest(pool)) return nullptr;
  const std::size_t index = pool.oldest();
  Slot& s = b->batch->slot(index);
  std::optional<Result<OutBuffer>> result = std::move(s.result);
  std::exception_ptr fault = s.fault;
  CollectingReport lines = s.lines ? std::move(*s.lines) : CollectingReport();
  s.result.reset();
  s.fault = nullptr;
  s.lines.reset();
  Py_CLEAR(s.input);
  pool.take_back();
  // The workers go on with the next inputs while this one is delivered.
  if (!fill(b)) return nullptr;

  PyObject* item = outcome(result, fault);
  // An input's failure is its item, unless the batch is to raise it; an
  // internal fault (not an Exception) is always raised.
  if (!item && !b->raise_errors && PyErr_ExceptionMatches(PyExc_Exception)) item = fetch_exception();
  if (!b->sink) return item;
  PyObject* at = PyLong_FromSize_t(index);
  if (!at) {
    Py_XDECREF(item);
    return nullptr;
  }
  item = deliver(item, b->sink, lines, at);
  Py_DECREF(at);
  return item;
}

// Any step that raises, and the end of the inputs, finish the batch.
PyObject* batch_next(PyObject* self) {
  BatchObject* b = as_batch(self);
  if (b->running) {
    PyErr_SetString(PyExc_ValueError, "batch already executing");
    return nullptr;
  }
  b->running = true;
  PyObject* item = guarded([&] { return next_outcome(b); });
  if (!item) finish(b);
  b->running = false;
  return item;
}

int batch_traverse(PyObject* self, visitproc visit, void* arg) {
  BatchObject* b = as_batch(self);
  for (PyObject* held : {b->source, b->failure, b->sink}) Py_VISIT(held);
  return 0;
}

int batch_clear(PyObject* self) {
  BatchObject* b = as_batch(self);
  for (PyObject** held : {&b->source, &b->failure, &b->sink}) Py_CLEAR(*held);
  return 0;
}

void batch_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  finish(as_batch(self));
  batch_clear(self);
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);
}

PyType_Slot kBatchSlots[] = {
    {Py_tp_doc, const_cast<char*>("The outcomes of a batch, in input order, as its workers produce them.")},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(batch_next)},
    {Py_tp_traverse, reinterpret_cast<void*>(batch_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(batch_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(batch_dealloc)},
    {0, nullptr},
};

PyType_Spec kBatchSpec = {"quaver._native.Batch", sizeof(BatchObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
                          kBatchSlots};

PyObject* g_batch_type = nullptr;

// (inputs, workers, window, report=None, raise_errors=False), and for remux
// video=None, audio=None as it takes them: the iterator.
PyObject* start_batch(PyObject* args, PyObject* kwargs, const char* format, const char* const* kwlist, Job job) {
  return guarded([&]() -> PyObject* {
    PyObject* inputs = nullptr;
    Py_ssize_t workers = 0, window = 0;
    PyObject* sink_obj = nullptr;
    int raise_errors = 0;
    PyObject *video = nullptr, *audio = nullptr;  // left as they are where the format has no room for them
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(kwlist), &inputs, &workers, &window,
                                     &sink_obj, &raise_errors, &video, &audio))
      return nullptr;
    PyObject* sink = nullptr;
    StreamRequest request;
    if (!sink_arg(sink_obj, &sink) || !request_args(video, audio, &request)) return nullptr;
    if (workers < 1 || window < 1) {
      PyErr_SetString(PyExc_ValueError, "workers and window must be at least 1");
      return nullptr;
    }
    if (g_exiting || !Py_IsInitialized()) workers = 1;
    PyObject* source = PyObject_GetIter(inputs);
    if (!source) return nullptr;
    PyObject* self = PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(g_batch_type), 0);
    if (!self) {
      Py_DECREF(source);
      return nullptr;
    }
    BatchObject* b = as_batch(self);
    b->source = source;
    Py_XINCREF(sink);
    b->sink = sink;
    b->raise_errors = raise_errors != 0;
    b->batch = new Batch(job, std::move(request), static_cast<std::size_t>(workers), static_cast<std::size_t>(window),
                         sink != nullptr);
    g_live.push_back(b);
    return self;
  });
}

PyObject* remux_batch(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* const kwlist[] = {"inputs", "workers", "window", "report", "raise_errors", "video", "audio",
                                       nullptr};
  return start_batch(args, kwargs, "Onn|OpOO:remux_batch", kwlist, quaver::remux_streams);
}

PyObject* thumbnail_batch(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* const kwlist[] = {"inputs", "workers", "window", "report", "raise_errors", nullptr};
  return start_batch(args, kwargs, "Onn|Op:thumbnail_batch", kwlist,
                     [](ByteView d, OutputAllocator& a, Report& r, const StreamRequest&) {
                       return quaver::key_frame(d, a, r);
                     });
}

PyMethodDef kBatchFunctions[] = {
    {"remux_batch", with_keywords<remux_batch>(), METH_VARARGS | METH_KEYWORDS,
     "remux_batch(inputs, workers, window, report=None, raise_errors=False, video=None, audio=None)\n--\n\n"
     "remux on each input, on `workers` threads, keeping the streams asked for as remux does: an iterator over "
     "the outcomes in input order."},
    {"thumbnail_batch", with_keywords<thumbnail_batch>(), METH_VARARGS | METH_KEYWORDS,
     "thumbnail_batch(inputs, workers, window, report=None, raise_errors=False)\n--\n\n"
     "thumbnail on each input, on `workers` threads: an iterator over the outcomes in input order."},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef kStopBatches = {"stop_batches", stop_batches, METH_NOARGS,
                            "Stops the threads of every batch; registered with atexit."};

}  // namespace

int add_batch_functions(PyObject* module) {
  if (!g_batch_type && !(g_batch_type = PyType_FromSpec(&kBatchSpec))) return -1;
  if (PyModule_AddFunctions(module, kBatchFunctions) < 0) return -1;
  PyObject* atexit = PyImport_ImportModule("atexit");
  PyObject* stop = atexit ? PyCFunction_New(&kStopBatches, nullptr) : nullptr;
  PyObject* done = stop ? PyObject_CallMethod(atexit, "register", "O", stop) : nullptr;
  Py_XDECREF(atexit);
  Py_XDECREF(stop);
  Py_XDECREF(done);
  return done ? 0 : -1;
}

}  // namespace quaver::py
