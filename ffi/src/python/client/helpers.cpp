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
      Ref args = Ref::steal(Py_BuildValue(
          "(s)", "Background worker closed \xE2\x80\x94 reconnect before retrying"));
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

struct LoopQueue {
  PyObject_HEAD
  int event_fd;
  std::mutex* mutex;
  std::vector<PendingOp*>* ready;

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
  PyObject_HEAD
  PyObject* future;
  PyObject* queue;
  PyObject* timer;  // the loop's TimerHandle for the deadline, if any
  AsyncJob* job;
  bool engine_ref;  // the engine still owes a push (holds one reference to this object)
};

PyObject* g_queue_type = nullptr;
PyObject* g_op_type = nullptr;
PyObject* g_get_running_loop = nullptr;
PyObject* g_queues = nullptr;  // WeakKeyDictionary: loop → LoopQueue

void queue_dealloc(PyObject* self) {
  auto* queue = reinterpret_cast<LoopQueue*>(self);
  if (queue->event_fd >= 0) ::close(queue->event_fd);
  delete queue->mutex;
  delete queue->ready;
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

void op_release_engine_ref(PendingOp* op) {
  if (!op->engine_ref) return;
  op->engine_ref = false;
  Py_DECREF(reinterpret_cast<PyObject*>(op));
}

void op_cancel_timer(PendingOp* op) {
  if (op->timer == nullptr) return;
  Ref ignored = Ref::steal(PyObject_CallMethod(op->timer, "cancel", nullptr));
  if (!ignored) PyErr_Clear();
  Py_CLEAR(op->timer);
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
    op_cancel_timer(op);
    settle(op, op->job->finish());
    op_release_engine_ref(op);
  }
  Py_RETURN_NONE;
}

PyMethodDef g_queue_methods[] = {
    {"_drain", queue_drain, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

void op_dealloc(PyObject* self) {
  auto* op = reinterpret_cast<PendingOp*>(self);
  delete op->job;
  Py_XDECREF(op->future);
  Py_XDECREF(op->queue);
  Py_XDECREF(op->timer);
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

// The future's done-callback: a cancelled future gives the engine operation up.
PyObject* op_done(PyObject* self, PyObject* future) {
  auto* op = reinterpret_cast<PendingOp*>(self);
  Ref cancelled = Ref::steal(PyObject_CallMethod(future, "cancelled", nullptr));
  if (!cancelled) return nullptr;
  if (PyObject_IsTrue(cancelled.get())) {
    op_cancel_timer(op);
    if (op->engine_ref && op->job->abandon()) op_release_engine_ref(op);
  }
  Py_RETURN_NONE;
}

// The deadline passed on the loop: an answer that already arrived still wins.
PyObject* op_timeout(PyObject* self, PyObject*) {
  auto* op = reinterpret_cast<PendingOp*>(self);
  Py_CLEAR(op->timer);
  if (!op->engine_ref || !op->job->abandon()) Py_RETURN_NONE;
  Ref error = client_error_to_exception(engine::ClientError(engine::ClientErrorKind::RequestTimedOut));
  if (error) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
  settle(op, Ref());
  op_release_engine_ref(op);
  Py_RETURN_NONE;
}

PyMethodDef g_op_methods[] = {
    {"_done", op_done, METH_O, nullptr},
    {"_timeout", op_timeout, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

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
      {Py_tp_methods, g_op_methods},
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
  g_get_running_loop = get_loop.release();
  g_queues = queues.release();
  g_queue_type = queue_type.release();
  g_op_type = op_type.release();
  return true;
}

// The queue of `loop`, created (and its eventfd registered as a reader) on first use.
LoopQueue* queue_for(PyObject* loop) {
  PyObject* existing = PyObject_GetItem(g_queues, loop);
  if (existing != nullptr) {
    Py_DECREF(existing);  // the dictionary keeps it alive while the loop lives
    return reinterpret_cast<LoopQueue*>(existing);
  }
  if (!PyErr_ExceptionMatches(PyExc_KeyError)) return nullptr;
  PyErr_Clear();
  auto* queue = PyObject_New(LoopQueue, reinterpret_cast<PyTypeObject*>(g_queue_type));
  if (queue == nullptr) return nullptr;
  queue->event_fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  queue->mutex = new std::mutex;
  queue->ready = new std::vector<PendingOp*>;
  Ref owned = Ref::steal(reinterpret_cast<PyObject*>(queue));
  if (queue->event_fd < 0) {
    PyErr_SetFromErrno(PyExc_OSError);
    return nullptr;
  }
  Ref drain = Ref::steal(PyObject_GetAttrString(owned.get(), "_drain"));
  if (!drain) return nullptr;
  Ref added = Ref::steal(PyObject_CallMethod(loop, "add_reader", "iO", queue->event_fd, drain.get()));
  if (!added || PyObject_SetItem(g_queues, loop, owned.get()) < 0) return nullptr;
  return queue;
}

}  // namespace

Ref completed_future(PyObject* value) {
  if (!init_types()) return {};
  Ref loop = Ref::steal(PyObject_CallNoArgs(g_get_running_loop));
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
  Ref loop = Ref::steal(PyObject_CallNoArgs(g_get_running_loop));
  if (!loop) return {};
  LoopQueue* queue = queue_for(loop.get());
  if (queue == nullptr) return {};
  Ref future = Ref::steal(PyObject_CallMethod(loop.get(), "create_future", nullptr));
  if (!future) return {};
  auto* op = PyObject_New(PendingOp, reinterpret_cast<PyTypeObject*>(g_op_type));
  if (op == nullptr) return {};
  Ref op_ref = Ref::steal(reinterpret_cast<PyObject*>(op));
  op->future = Ref(future).release();
  op->queue = Ref::borrow(reinterpret_cast<PyObject*>(queue)).release();
  op->timer = nullptr;
  op->job = nullptr;
  op->engine_ref = false;

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
    const double delay = std::chrono::duration<double>(*deadline - Clock::now()).count();
    Ref timeout = Ref::steal(PyObject_GetAttrString(op_ref.get(), "_timeout"));
    if (!timeout) return {};
    op->timer = PyObject_CallMethod(loop.get(), "call_later", "dO", delay > 0 ? delay : 0.0,
                                    timeout.get());
    if (op->timer == nullptr) return {};
  }
  Ref done = Ref::steal(PyObject_GetAttrString(op_ref.get(), "_done"));
  if (!done) return {};
  Ref added = Ref::steal(PyObject_CallMethod(future.get(), "add_done_callback", "O", done.get()));
  if (!added) return {};
  return future;
}

namespace {

class RequestJob : public AsyncJob {
 public:
  RequestJob(engine::Call call, ResultConverter convert)
      : call_(std::move(call)), convert_(std::move(convert)) {}
  bool abandon() override { return call_.slot()->abandon(); }
  Ref finish() override { return convert_(call_.take_ready()); }
  std::optional<Clock::time_point> deadline() const override { return call_.deadline(); }

 private:
  engine::Call call_;
  ResultConverter convert_;
};

}  // namespace

std::unique_ptr<AsyncJob> request_job(engine::Call call, ResultConverter convert) {
  return std::make_unique<RequestJob>(std::move(call), std::move(convert));
}

}  // namespace tessaly::py
