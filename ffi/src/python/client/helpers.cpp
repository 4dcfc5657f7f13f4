// Blocking waits, the asyncio bridge and the client error conversion.
#include "python/client/helpers.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <mutex>
#include <vector>

#include "python/errors.hpp"
#include "runtime/runtime.hpp"

namespace tessaly::py {

Ref client_error_to_exception(const engine::ClientError& error) {
  using K = engine::ClientErrorKind;
  switch (error.kind) {
    case K::WorkerClosed: {
      Ref args = Ref::steal(
          Py_BuildValue("(s)", "Background worker closed \xE2\x80\x94 reconnect before retrying"));
      if (!args) return {};
      return Ref::steal(
          PyObject_CallObject(exception_class(ExceptionClass::ModbusConnectionError), args.get()));
    }
    case K::ResponseKindMismatch: {
      Ref args = Ref::steal(Py_BuildValue("(s)", "Unexpected response type from server"));
      if (!args) return {};
      return Ref::steal(
          PyObject_CallObject(exception_class(ExceptionClass::ModbusProtocolError), args.get()));
    }
    case K::RequestTimedOut:
      return core_error_to_exception(core::CoreErrorKind::Timeout);
    case K::Core:
      break;
  }
  return core_error_to_exception(error.core);
}

PyObject* raise_client_error(const engine::ClientError& error) {
  return raise_instance(client_error_to_exception(error));
}

bool check_blocking_allowed() {
  if (!engine::on_runtime_thread()) return true;
  PyErr_SetString(PyExc_RuntimeError,
                  "blocking tessaly calls cannot be made on a tessaly runtime thread; use the "
                  "asyncio classes there");
  return false;
}

bool wait_interruptibly(const std::function<bool(Clock::time_point)>& poll) {
  for (;;) {
    bool done;
    Py_BEGIN_ALLOW_THREADS;
    done = poll(Clock::now() + std::chrono::milliseconds(100));
    Py_END_ALLOW_THREADS;
    if (done) return true;
    if (PyErr_CheckSignals() < 0) return false;
  }
}

std::optional<engine::ClientResult<core::ClientResponse>> wait_call(engine::Call& call) {
  std::optional<engine::ClientResult<core::ClientResponse>> result;
  const bool finished = wait_interruptibly([&](Clock::time_point until) {
    result = call.wait_until(until);
    return result.has_value();
  });
  if (!finished) {
    call.abandon();
    return std::nullopt;
  }
  return result;
}

namespace {

// ---------------------------------------------------------------------------------------------
// Per-loop completion queue: engine threads push finished operations without the GIL and wake
// the loop through an eventfd once per batch; the loop drains the batch on its own thread.

struct PendingOp;

// Deadlines of the queue's operations, earliest first (a binary heap whose entries know their
// place, so a finished operation leaves it at once), served by one loop timer.
struct Deadlines {
  std::vector<PendingOp*> heap;
  PyObject* timer = nullptr;  // TimerHandle for the earliest deadline, if scheduled
  Clock::time_point timer_at{};
};

struct LoopQueue {
  PyObject_HEAD int event_fd;
  std::mutex* mutex;
  std::vector<PendingOp*>* ready;
  Deadlines* deadlines;  // loop thread only
  PyObject* loop_ref;    // weak reference to the loop

  void push(PendingOp* op) {
    bool was_empty;
    {
      std::lock_guard lock(*mutex);
      was_empty = ready->empty();
      ready->push_back(op);
    }
    if (was_empty) {
      const std::uint64_t one = 1;
      [[maybe_unused]] auto n = ::write(event_fd, &one, sizeof one);
    }
  }
};

struct PendingOp {
  PyObject_HEAD PyObject* future;
  PyObject* queue;
  AsyncJob* job;
  bool engine_ref;            // the engine still owes a push (holds one reference to this object)
  std::ptrdiff_t heap_index;  // place in the queue's deadline heap (which holds a reference)
  Clock::time_point deadline;
};

PyObject* g_queue_type = nullptr;
PyObject* g_op_type = nullptr;
PyObject* g_get_running_loop = nullptr;
PyObject* g_queues = nullptr;  // WeakKeyDictionary: loop → LoopQueue
PyObject* g_create_future = nullptr;

void queue_dealloc(PyObject* self) {
  auto* queue = reinterpret_cast<LoopQueue*>(self);
  if (queue->event_fd >= 0) ::close(queue->event_fd);
  delete queue->mutex;
  delete queue->ready;
  if (queue->deadlines) Py_XDECREF(queue->deadlines->timer);
  delete queue->deadlines;
  Py_XDECREF(queue->loop_ref);
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

void op_release_engine_ref(PendingOp* op) {
  if (!op->engine_ref) return;
  op->engine_ref = false;
  Py_DECREF(reinterpret_cast<PyObject*>(op));
}

LoopQueue* queue_of(PendingOp* op) {
  return reinterpret_cast<LoopQueue*>(op->queue);
}

// --- the deadline heap -------------------------------------------------------------------------

void heap_place(std::vector<PendingOp*>& heap, std::size_t i, PendingOp* op) {
  heap[i] = op;
  op->heap_index = static_cast<std::ptrdiff_t>(i);
}

void sift_up(std::vector<PendingOp*>& heap, std::size_t i) {
  PendingOp* op = heap[i];
  while (i > 0) {
    const std::size_t parent = (i - 1) / 2;
    if (heap[parent]->deadline <= op->deadline) break;
    heap_place(heap, i, heap[parent]);
    i = parent;
  }
  heap_place(heap, i, op);
}

void sift_down(std::vector<PendingOp*>& heap, std::size_t i) {
  PendingOp* op = heap[i];
  for (;;) {
    std::size_t child = 2 * i + 1;
    if (child >= heap.size()) break;
    if (child + 1 < heap.size() && heap[child + 1]->deadline < heap[child]->deadline) ++child;
    if (op->deadline <= heap[child]->deadline) break;
    heap_place(heap, i, heap[child]);
    i = child;
  }
  heap_place(heap, i, op);
}

// Takes the operation out of its queue's heap (dropping the heap's reference) if it is there.
void leave_deadlines(PendingOp* op) {
  if (op->heap_index < 0) return;
  auto& heap = queue_of(op)->deadlines->heap;
  const auto i = static_cast<std::size_t>(op->heap_index);
  PendingOp* last = heap.back();
  heap.pop_back();
  op->heap_index = -1;
  if (last != op) {
    heap_place(heap, i, last);
    sift_down(heap, i);
    sift_up(heap, static_cast<std::size_t>(last->heap_index));
  }
  Py_DECREF(reinterpret_cast<PyObject*>(op));
}

// Makes sure the loop timer fires by the earliest deadline.
void schedule_expiry(LoopQueue* queue) {
  Deadlines& d = *queue->deadlines;
  if (d.heap.empty()) return;
  const auto earliest = d.heap.front()->deadline;
  if (d.timer != nullptr && d.timer_at <= earliest) return;
  if (d.timer != nullptr) {
    Ref ignored = Ref::steal(PyObject_CallMethod(d.timer, "cancel", nullptr));
    if (!ignored) PyErr_Clear();
    Py_CLEAR(d.timer);
  }
  PyObject* loop = PyWeakref_GetObject(queue->loop_ref);
  if (loop == nullptr || loop == Py_None) return;
  Ref expire = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(queue), "_expire"));
  if (!expire) {
    PyErr_WriteUnraisable(loop);
    return;
  }
  const double delay = std::chrono::duration<double>(earliest - Clock::now()).count();
  d.timer = PyObject_CallMethod(loop, "call_later", "dO", delay > 0 ? delay : 0.0, expire.get());
  if (d.timer == nullptr) {
    PyErr_WriteUnraisable(loop);
    return;
  }
  d.timer_at = earliest;
}

// Sets the future's outcome unless it is already done (cancelled). With a null `result`, the
// pending exception is the outcome.
void settle(PendingOp* op, Ref result) {
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  if (!result) {
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback) PyException_SetTraceback(value, traceback);
  }
  Ref error = Ref::steal(value);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  Ref done = Ref::steal(PyObject_CallMethod(op->future, "done", nullptr));
  if (!done) {
    PyErr_WriteUnraisable(op->future);
    return;
  }
  if (PyObject_IsTrue(done.get())) return;
  // CallMethodOneArg: a tuple result must not be taken for an argument list.
  Ref name = Ref::steal(PyUnicode_FromString(result ? "set_result" : "set_exception"));
  if (!name) {
    PyErr_WriteUnraisable(op->future);
    return;
  }
  Ref outcome = Ref::steal(
      PyObject_CallMethodOneArg(op->future, name.get(), result ? result.get() : error.get()));
  if (!outcome) PyErr_WriteUnraisable(op->future);
}

PyObject* queue_drain(PyObject* self, PyObject*) {
  auto* queue = reinterpret_cast<LoopQueue*>(self);
  std::uint64_t count;
  [[maybe_unused]] auto n = ::read(queue->event_fd, &count, sizeof count);
  std::vector<PendingOp*> batch;
  {
    std::lock_guard lock(*queue->mutex);
    batch.swap(*queue->ready);
  }
  for (PendingOp* op : batch) {
    leave_deadlines(op);
    settle(op, op->job->finish());
    op_release_engine_ref(op);
  }
  Py_RETURN_NONE;
}

void expire(PendingOp* op);

// The loop timer: every operation whose deadline has passed times out, unless its answer has
// already arrived (then the answer wins).
PyObject* queue_expire(PyObject* self, PyObject*) {
  auto* queue = reinterpret_cast<LoopQueue*>(self);
  Deadlines& d = *queue->deadlines;
  Py_CLEAR(d.timer);
  const auto now = Clock::now();
  while (!d.heap.empty() && d.heap.front()->deadline <= now) {
    PendingOp* op = d.heap.front();
    Py_INCREF(op);
    leave_deadlines(op);
    expire(op);
    Py_DECREF(op);
  }
  schedule_expiry(queue);
  Py_RETURN_NONE;
}

PyMethodDef g_queue_methods[] = {
    {"_drain", queue_drain, METH_NOARGS, nullptr},
    {"_expire", queue_expire, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

void op_dealloc(PyObject* self) {
  auto* op = reinterpret_cast<PendingOp*>(self);
  delete op->job;
  Py_XDECREF(op->future);
  Py_XDECREF(op->queue);
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

// The future's done-callback, for jobs that stop on cancel.
PyObject* op_done(PyObject* self, PyObject* future) {
  auto* op = reinterpret_cast<PendingOp*>(self);
  Ref cancelled = Ref::steal(PyObject_CallMethod(future, "cancelled", nullptr));
  if (!cancelled) return nullptr;
  if (PyObject_IsTrue(cancelled.get())) {
    leave_deadlines(op);
    if (op->engine_ref && op->job->abandon()) op_release_engine_ref(op);
  }
  Py_RETURN_NONE;
}

PyMethodDef g_op_done = {"_done", op_done, METH_O, nullptr};

void expire(PendingOp* op) {
  if (!op->engine_ref || !op->job->abandon()) return;
  Ref error =
      client_error_to_exception(engine::ClientError(engine::ClientErrorKind::RequestTimedOut));
  if (error) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
  settle(op, Ref());
  op_release_engine_ref(op);
}

bool init_types() {
  if (g_op_type != nullptr) return true;
  PyType_Slot queue_slots[] = {
      {Py_tp_dealloc, reinterpret_cast<void*>(queue_dealloc)},
      {Py_tp_methods, g_queue_methods},
      {0, nullptr},
  };
  PyType_Spec queue_spec = {"tessaly._LoopQueue", sizeof(LoopQueue), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, queue_slots};
  PyType_Slot op_slots[] = {
      {Py_tp_dealloc, reinterpret_cast<void*>(op_dealloc)},
      {0, nullptr},
  };
  PyType_Spec op_spec = {"tessaly._PendingOp", sizeof(PendingOp), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, op_slots};
  Ref asyncio = Ref::steal(PyImport_ImportModule("asyncio"));
  Ref weakref = Ref::steal(PyImport_ImportModule("weakref"));
  if (!asyncio || !weakref) return false;
  Ref get_loop = Ref::steal(PyObject_GetAttrString(asyncio.get(), "get_running_loop"));
  Ref queues = Ref::steal(PyObject_CallMethod(weakref.get(), "WeakKeyDictionary", nullptr));
  Ref queue_type = Ref::steal(PyType_FromSpec(&queue_spec));
  Ref op_type = Ref::steal(PyType_FromSpec(&op_spec));
  if (!get_loop || !queues || !queue_type || !op_type) return false;
  g_create_future = PyUnicode_InternFromString("create_future");
  if (!g_create_future) return false;
  g_get_running_loop = get_loop.release();
  g_queues = queues.release();
  g_queue_type = queue_type.release();
  g_op_type = op_type.release();
  return true;
}

LoopQueue* create_queue(PyObject* loop) {
  auto* queue = PyObject_New(LoopQueue, reinterpret_cast<PyTypeObject*>(g_queue_type));
  if (queue == nullptr) return nullptr;
  queue->event_fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  queue->mutex = new std::mutex;
  queue->ready = new std::vector<PendingOp*>;
  queue->deadlines = new Deadlines;
  queue->loop_ref = nullptr;
  Ref owned = Ref::steal(reinterpret_cast<PyObject*>(queue));
  queue->loop_ref = PyWeakref_NewRef(loop, nullptr);
  if (queue->loop_ref == nullptr) return nullptr;
  if (queue->event_fd < 0) {
    PyErr_SetFromErrno(PyExc_OSError);
    return nullptr;
  }
  Ref drain = Ref::steal(PyObject_GetAttrString(owned.get(), "_drain"));
  if (!drain) return nullptr;
  Ref added =
      Ref::steal(PyObject_CallMethod(loop, "add_reader", "iO", queue->event_fd, drain.get()));
  if (!added || PyObject_SetItem(g_queues, loop, owned.get()) < 0) return nullptr;
  return queue;
}

// The queue of `loop`, created (and its eventfd registered as a reader) on first use.
LoopQueue* queue_for(PyObject* loop) {
  // Most calls come from the loop used last on this thread.
  thread_local PyObject* last_loop = nullptr;
  thread_local PyObject* last_queue = nullptr;
  if (loop == last_loop) return reinterpret_cast<LoopQueue*>(last_queue);
  LoopQueue* found = nullptr;
  PyObject* existing = PyObject_GetItem(g_queues, loop);
  if (existing != nullptr) {
    found = reinterpret_cast<LoopQueue*>(existing);
  } else {
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) return nullptr;
    PyErr_Clear();
    found = create_queue(loop);
    if (found == nullptr) return nullptr;
    Py_INCREF(found);
  }
  Py_XSETREF(last_loop, Py_NewRef(loop));
  Py_XSETREF(last_queue, reinterpret_cast<PyObject*>(found));
  return found;
}

// The running loop of this thread (new reference), or nullptr with asyncio's own error.
// CPython 3.11 checks the process id with a system call on every lookup; the lookup is skipped
// while the thread's running-loop record is still the one seen last (any change of the running
// loop replaces that record). Interpreters without such a record always ask asyncio.
PyObject* running_loop() {
  static PyObject* key = PyUnicode_InternFromString("__asyncio_running_event_loop__");
  thread_local PyObject* cached_record = nullptr;
  thread_local PyObject* cached_loop = nullptr;
  PyObject* dict = PyThreadState_GetDict();
  PyObject* record = dict ? PyDict_GetItemWithError(dict, key) : nullptr;
  if (record == nullptr) PyErr_Clear();
  if (record != nullptr && record == cached_record) return Py_NewRef(cached_loop);
  PyObject* loop = PyObject_CallNoArgs(g_get_running_loop);
  if (loop == nullptr) return nullptr;
  if (record != nullptr) {
    Py_XSETREF(cached_record, Py_NewRef(record));
    Py_XSETREF(cached_loop, Py_NewRef(loop));
  }
  return loop;
}

}  // namespace

bool call_soon(PyObject* callable) {
  if (!init_types()) return false;
  Ref loop = Ref::steal(running_loop());
  if (!loop) return false;
  static PyObject* name = PyUnicode_InternFromString("call_soon");
  Ref handle = Ref::steal(PyObject_CallMethodOneArg(loop.get(), name, callable));
  return static_cast<bool>(handle);
}

Ref completed_future(PyObject* value) {
  if (!init_types()) return {};
  Ref loop = Ref::steal(running_loop());
  if (!loop) return {};
  Ref future = Ref::steal(PyObject_CallMethod(loop.get(), "create_future", nullptr));
  if (!future) return {};
  Ref name = Ref::steal(PyUnicode_FromString("set_result"));
  if (!name) return {};
  Ref set = Ref::steal(PyObject_CallMethodOneArg(future.get(), name.get(), value));
  if (!set) return {};
  return future;
}

Ref make_awaitable(const JobStarter& start) {
  if (!init_types()) return {};
  Ref loop = Ref::steal(running_loop());
  if (!loop) return {};
  LoopQueue* queue = queue_for(loop.get());
  if (queue == nullptr) return {};
  Ref future = Ref::steal(PyObject_CallMethodNoArgs(loop.get(), g_create_future));
  if (!future) return {};
  auto* op = PyObject_New(PendingOp, reinterpret_cast<PyTypeObject*>(g_op_type));
  if (op == nullptr) return {};
  Ref op_ref = Ref::steal(reinterpret_cast<PyObject*>(op));
  op->future = Ref(future).release();
  op->queue = Ref::borrow(reinterpret_cast<PyObject*>(queue)).release();
  op->job = nullptr;
  op->engine_ref = false;
  op->heap_index = -1;
  new (&op->deadline) Clock::time_point();

  Py_INCREF(op);  // the engine's reference, given back when the answer is drained
  op->engine_ref = true;
  std::unique_ptr<AsyncJob> job = start([queue, op] { queue->push(op); });
  if (!job) {
    op_release_engine_ref(op);
    settle(op, Ref());  // the starter's exception becomes the future's
    return future;
  }
  op->job = job.release();

  if (auto deadline = op->job->deadline()) {
    op->deadline = *deadline;
    auto& heap = queue->deadlines->heap;
    Py_INCREF(op);  // the heap's reference
    heap.push_back(op);
    sift_up(heap, heap.size() - 1);
    schedule_expiry(queue);
  }
  // A request needs no callback of its own: a cancelled future is never set, and the request is
  // given up when its answer arrives or at its deadline (a done-callback per request would cost
  // a loop callback per request). A listener run must stop at once.
  if (op->job->stop_on_cancel()) {
    Ref done = Ref::steal(PyCFunction_New(&g_op_done, op_ref.get()));
    Ref added =
        done ? Ref::steal(PyObject_CallMethod(future.get(), "add_done_callback", "O", done.get()))
             : Ref();
    if (!added) return {};
  }
  return future;
}

namespace {

const core::ClientRequest kNoRequest{};

class RequestJob : public AsyncJob {
 public:
  RequestJob(engine::Call call, ResultConverter convert,
             std::unique_ptr<const core::ClientRequest> request)
      : call_(std::move(call)), convert_(convert), request_(std::move(request)) {}
  bool abandon() override { return call_.slot()->abandon(); }
  Ref finish() override { return convert_(call_.take_ready(), request_ ? *request_ : kNoRequest); }
  std::optional<Clock::time_point> deadline() const override { return call_.deadline(); }

 private:
  engine::Call call_;
  ResultConverter convert_;
  std::unique_ptr<const core::ClientRequest> request_;
};

}  // namespace

std::unique_ptr<AsyncJob> request_job(engine::Call call, ResultConverter convert,
                                      std::unique_ptr<const core::ClientRequest> request) {
  return std::make_unique<RequestJob>(std::move(call), convert, std::move(request));
}

}  // namespace tessaly::py
