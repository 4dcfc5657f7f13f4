// Transports and clients: TcpTransport, AsyncTcpTransport, RtuTransport, AsciiTransport,
// AsyncRtuTransport, AsyncAsciiTransport and the four client classes.
#include "python/client/classes.hpp"

#include <mutex>
#include <string>
#include <vector>

#include "python/args.hpp"
#include "python/client/helpers.hpp"
#include "python/client/requests.hpp"
#include "python/errors.hpp"

namespace tessaly::py {

namespace {

using engine::ClientHandle;

struct TransportObject {
  PyObject_HEAD std::mutex lock;
  std::shared_ptr<ClientHandle> handle;
  PyObject* client_type;  // borrowed: the class create_client makes
  bool async;
};

struct ClientObject {
  PyObject_HEAD std::shared_ptr<ClientHandle> handle;
  std::uint8_t unit;
  bool async;
};

TransportObject* as_transport(PyObject* self) {
  return reinterpret_cast<TransportObject*>(self);
}
ClientObject* as_client(PyObject* self) {
  return reinterpret_cast<ClientObject*>(self);
}

template <typename T>
void dealloc(PyObject* self) {
  reinterpret_cast<T*>(self)->~T();
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

// A new transport object of `type` holding `handle`.
Ref new_transport(PyObject* type, std::shared_ptr<ClientHandle> handle, PyObject* client_type,
                  bool async) {
  auto* tp = reinterpret_cast<PyTypeObject*>(type);
  PyObject* raw = tp->tp_alloc(tp, 0);
  if (raw == nullptr) return {};
  auto* object = as_transport(raw);
  new (&object->lock) std::mutex();
  new (&object->handle) std::shared_ptr<ClientHandle>(std::move(handle));
  object->client_type = client_type;
  object->async = async;
  return Ref::steal(raw);
}

// The transport's handle, or ModbusInvalidArgument "Transport is closed".
std::shared_ptr<ClientHandle> handle_of(PyObject* self) {
  auto* transport = as_transport(self);
  std::shared_ptr<ClientHandle> handle;
  {
    std::lock_guard guard(transport->lock);
    handle = transport->handle;
  }
  if (!handle) raise_message(ExceptionClass::ModbusInvalidArgument, "Transport is closed");
  return handle;
}

// ------------------------------------------------------------------------------------------
// Constructors

class ConnectJob : public AsyncJob {
 public:
  ConnectJob(std::shared_ptr<engine::ReplySlot<core::Status>> slot, Ref transport)
      : slot_(std::move(slot)), transport_(std::move(transport)) {}
  bool abandon() override { return slot_->abandon(); }
  Ref finish() override {
    if (slot_->state() != engine::ReplySlot<core::Status>::Filled) {
      raise_client_error(engine::ClientError(engine::ClientErrorKind::WorkerClosed));
      return {};
    }
    auto status = slot_->take();
    if (!status) {
      raise_core_error(status.error());
      return {};
    }
    return transport_;
  }

 private:
  std::shared_ptr<engine::ReplySlot<core::Status>> slot_;
  Ref transport_;
};

// Connects the new handle and returns the transport (blocking) or an awaitable of it.
PyObject* finish_open(PyObject* cls, std::shared_ptr<ClientHandle> handle, PyObject* client_type,
                      bool async) {
  Ref transport = new_transport(cls, handle, client_type, async);
  if (!transport) return nullptr;
  if (async) {
    return make_awaitable([&](std::function<void()> ready) -> std::unique_ptr<AsyncJob> {
             auto slot = handle->submit_connect(std::move(ready));
             if (!slot) {
               raise_client_error(slot.error());
               return nullptr;
             }
             return std::make_unique<ConnectJob>(std::move(*slot), transport);
           })
        .release();
  }
  if (!check_blocking_allowed()) return nullptr;
  auto slot = handle->submit_connect();
  if (!slot) return raise_client_error(slot.error());
  const bool finished = wait_interruptibly([&](Clock::time_point until) {
    return (*slot)->wait_until(until) != engine::ReplySlot<core::Status>::Empty;
  });
  if (!finished) {
    (*slot)->abandon();
    return nullptr;
  }
  ConnectJob job(std::move(*slot), transport);
  return job.finish().release();
}

PyObject* tcp_connect(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                      bool async) {
  static constexpr const char* kNames[] = {"host", "port", "timeout_ms"};
  PyObject* a[3];
  if (!parse_args("connect", args, nargs, kwnames, kNames, 1, a)) return nullptr;
  auto host = to_string(a[0], "connect", "host");
  if (!host) return nullptr;
  std::uint16_t port = 502;
  if (a[1]) {
    auto value = to_u16(a[1]);
    if (!value) return nullptr;
    port = *value;
  }
  std::uint64_t timeout_ms = 1000;
  if (a[2]) {
    auto value = to_u64(a[2]);
    if (!value) return nullptr;
    timeout_ms = *value;
  }
  PyObject* client_type = tcp_client_type(async);
  if (client_type == nullptr) return nullptr;
  auto handle = ClientHandle::create_tcp(std::move(*host), port, timeout_ms);
  return finish_open(cls, std::move(handle), client_type, async);
}

PyObject* sync_tcp_connect(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return tcp_connect(cls, args, nargs, kw, false);
}
PyObject* async_tcp_connect(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return tcp_connect(cls, args, nargs, kw, true);
}

template <typename T>
bool raise_check(const std::expected<T, std::string>& result) {
  if (result) return true;
  raise_message(ExceptionClass::ModbusConfigError, result.error().c_str());
  return false;
}

PyObject* serial_open(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                      bool async, core::SerialMode mode) {
  static constexpr const char* kNames[] = {"port",   "baud_rate", "timeout_ms",    "data_bits",
                                           "parity", "stop_bits", "retry_attempts"};
  PyObject* a[7];
  if (!parse_args("open", args, nargs, kwnames, kNames, 1, a)) return nullptr;
  auto port = to_string(a[0], "open", "port");
  if (!port) return nullptr;
  serial::SerialConfig config;
  config.port = *port;
  config.mode = mode;
  std::uint64_t timeout_ms = 1000;
  if (a[1]) {
    auto v = to_u32(a[1]);
    if (!v) return nullptr;
    config.baud_rate = *v;
  }
  if (a[2]) {
    auto v = to_u64(a[2]);
    if (!v) return nullptr;
    timeout_ms = *v;
  }
  if (a[3]) {
    auto v = to_u8(a[3]);
    if (!v) return nullptr;
    config.data_bits = *v;
  }
  Ref parity_text = Ref::steal(PyUnicode_FromString("none"));
  if (a[4]) {
    if (!to_string(a[4], "open", "parity")) return nullptr;
    parity_text = Ref::borrow(a[4]);
  }
  if (a[5]) {
    auto v = to_u8(a[5]);
    if (!v) return nullptr;
    config.stop_bits = *v;
  }
  if (a[6] && !to_u8(a[6])) return nullptr;  // accepted and checked; nothing is ever resent
  if (!raise_check(serial::check_data_bits(config.data_bits))) return nullptr;
  Ref lowered = Ref::steal(PyObject_CallMethod(parity_text.get(), "lower", nullptr));
  if (!lowered) return nullptr;
  auto parity = serial::parse_parity(PyUnicode_AsUTF8(lowered.get()));
  if (!raise_check(parity)) return nullptr;
  config.parity = *parity;
  if (!raise_check(serial::check_stop_bits(config.stop_bits))) return nullptr;
  if (!raise_check(serial::check_port_path(config.port))) return nullptr;
  PyObject* client_type = serial_client_type(async);
  if (client_type == nullptr) return nullptr;
  auto handle = ClientHandle::create_serial(std::move(config), mode, timeout_ms);
  return finish_open(cls, std::move(handle), client_type, async);
}

template <bool Async, core::SerialMode Mode>
PyObject* serial_open_method(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return serial_open(cls, args, nargs, kw, Async, Mode);
}

// ------------------------------------------------------------------------------------------
// Transport methods

PyObject* transport_create_client(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  static constexpr const char* kNames[] = {"unit_id"};
  PyObject* a[1];
  if (!parse_args("create_client", args, nargs, kwnames, kNames, 1, a)) return nullptr;
  auto unit = to_u8(a[0]);
  if (!unit) return nullptr;
  auto handle = handle_of(self);
  if (!handle) return nullptr;
  if (auto valid = core::validate_unit_id(*unit); !valid) return raise_core_error(valid.error());
  auto* type = reinterpret_cast<PyTypeObject*>(as_transport(self)->client_type);
  PyObject* raw = type->tp_alloc(type, 0);
  if (raw == nullptr) return nullptr;
  auto* client = as_client(raw);
  new (&client->handle) std::shared_ptr<ClientHandle>(std::move(handle));
  client->unit = *unit;
  client->async = as_transport(self)->async;
  return raw;
}

// Empties the slot and sends Disconnect; false (with WorkerClosed) if the task has gone.
bool close_transport(PyObject* self, bool report) {
  auto* transport = as_transport(self);
  std::shared_ptr<ClientHandle> handle;
  {
    std::lock_guard guard(transport->lock);
    handle.swap(transport->handle);
  }
  if (!handle) return true;
  engine::ClientResult<void> sent;
  Py_BEGIN_ALLOW_THREADS;
  sent = handle->disconnect();
  handle.reset();
  Py_END_ALLOW_THREADS;
  if (!sent && report) {
    raise_client_error(sent.error());
    return false;
  }
  return true;
}

PyObject* transport_close(PyObject* self, PyObject*) {
  if (as_transport(self)->async) {
    close_transport(self, false);
    return completed_future(Py_None).release();
  }
  if (!close_transport(self, true)) return nullptr;
  Py_RETURN_NONE;
}

PyObject* transport_enter(PyObject* self, PyObject*) {
  return Ref::borrow(self).release();
}

PyObject* transport_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  if (!parse_exit_args("__exit__", args, nargs, kw)) return nullptr;
  if (!close_transport(self, true)) return nullptr;
  Py_RETURN_FALSE;
}

PyObject* transport_aenter(PyObject* self, PyObject*) {
  return completed_future(self).release();
}

PyObject* transport_aexit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  if (!parse_exit_args("__aexit__", args, nargs, kw)) return nullptr;
  close_transport(self, false);
  return completed_future(Py_False).release();
}

PyObject* transport_set_timeout(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kw) {
  static constexpr const char* kNames[] = {"timeout_ms"};
  PyObject* a[1];
  if (!parse_args("set_request_timeout", args, nargs, kw, kNames, 1, a)) return nullptr;
  auto ms = to_u32(a[0]);
  if (!ms) return nullptr;
  auto handle = handle_of(self);
  if (!handle) return nullptr;
  handle->set_request_timeout(*ms);
  Py_RETURN_NONE;
}

PyObject* transport_clear_timeout(PyObject* self, PyObject*) {
  auto handle = handle_of(self);
  if (!handle) return nullptr;
  handle->clear_request_timeout();
  Py_RETURN_NONE;
}

PyObject* transport_has_pending(PyObject* self, PyObject*) {
  auto handle = handle_of(self);
  if (!handle) return nullptr;
  return PyBool_FromLong(handle->has_pending_requests());
}

// ------------------------------------------------------------------------------------------
// Client methods

PyObject* issue_blocking(ClientObject* client, core::ClientRequest request,
                         const ClientOperation& operation) {
  if (!check_blocking_allowed()) return nullptr;
  // Kept only for the conversions that echo the request.
  std::optional<core::ClientRequest> asked;
  if (operation.needs_request) asked = request;
  std::optional<engine::ClientResult<engine::Call>> submitted;
  std::optional<engine::ClientResult<core::ClientResponse>> result;
  // One release of the GIL covers queueing and the first stretch of the wait.
  Py_BEGIN_ALLOW_THREADS;
  submitted = client->handle->submit_blocking(std::move(request));
  if (*submitted) result = (*submitted)->wait_until(Clock::now() + std::chrono::milliseconds(100));
  Py_END_ALLOW_THREADS;
  auto& call = *submitted;
  if (!call) return raise_client_error(call.error());
  if (!result) {
    if (PyErr_CheckSignals() < 0) {
      call->abandon();
      return nullptr;
    }
    result = wait_call(*call);
    if (!result) return nullptr;
  }
  static const core::ClientRequest kNoRequest{};
  return operation.convert(std::move(*result), asked ? *asked : kNoRequest).release();
}

// Writes the frames that the requests of one loop iteration queued: scheduled once per batch,
// so a burst of requests from one loop costs one write and no wake-up of the runtime.
struct FlushObject {
  PyObject_HEAD std::shared_ptr<ClientHandle> handle;
};

PyObject* flush_call(PyObject* self, PyObject*, PyObject*) {
  auto handle = reinterpret_cast<FlushObject*>(self)->handle;
  Py_BEGIN_ALLOW_THREADS;
  handle->flush();
  Py_END_ALLOW_THREADS;
  Py_RETURN_NONE;
}

PyObject* g_flush_type = nullptr;

bool schedule_flush(const std::shared_ptr<ClientHandle>& handle) {
  if (g_flush_type == nullptr) {
    PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<FlushObject>)},
        {Py_tp_call, reinterpret_cast<void*>(flush_call)},
        {0, nullptr},
    };
    PyType_Spec spec = {"tessaly._Flush", sizeof(FlushObject), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
    g_flush_type = PyType_FromSpec(&spec);
    if (g_flush_type == nullptr) return false;
  }
  auto* type = reinterpret_cast<PyTypeObject*>(g_flush_type);
  PyObject* raw = type->tp_alloc(type, 0);
  if (raw == nullptr) return false;
  new (&reinterpret_cast<FlushObject*>(raw)->handle) std::shared_ptr<ClientHandle>(handle);
  Ref flush = Ref::steal(raw);
  return call_soon(flush.get());
}

PyObject* issue_async(ClientObject* client, core::ClientRequest request,
                      const ClientOperation& operation) {
  auto handle = client->handle;
  bool needs_flush = false;
  Ref future = make_awaitable([&](std::function<void()> ready) -> std::unique_ptr<AsyncJob> {
    std::unique_ptr<const core::ClientRequest> asked;
    if (operation.needs_request) asked = std::make_unique<const core::ClientRequest>(request);
    auto call = handle->submit_batched(std::move(request), std::move(ready), needs_flush);
    if (!call) {
      raise_client_error(call.error());
      return nullptr;
    }
    return request_job(std::move(*call), operation.convert, std::move(asked));
  });
  if (future && needs_flush && !schedule_flush(handle)) {
    // The request is queued already; write it now rather than leave it waiting.
    PyErr_Clear();
    handle->flush();
  }
  return future.release();
}

template <OperationId Id>
PyObject* client_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  const ClientOperation& operation = client_operation(Id);
  PyObject* parsed[4] = {nullptr, nullptr, nullptr, nullptr};
  if (!parse_args(operation.name, args, nargs, kw, {operation.params.data(), operation.count},
                  operation.required, parsed))
    return nullptr;
  auto body = operation.build(parsed);
  if (!body) return nullptr;
  auto* client = as_client(self);
  core::ClientRequest request{client->unit, std::move(*body)};
  return client->async ? issue_async(client, std::move(request), operation)
                       : issue_blocking(client, std::move(request), operation);
}

// ------------------------------------------------------------------------------------------
// Method tables and docstrings

struct MethodText {
  const char* signature;
  const char* text;  // nullptr: the method carries only its signature
};

// Client method docstrings, in OperationId order.
constexpr MethodText kClientTexts[kOperationCount] = {
    {"read_coils($self, address, quantity)", "Read coils (FC 01). Returns ``list[CoilState]``."},
    {"write_coil($self, address, value)",
     "Write a single coil (FC 05). Returns ``(address, value)`` echo."},
    {"write_coils($self, address, values)",
     "Write multiple coils (FC 0F). Returns ``(start_address, quantity)`` echo."},
    {"read_discrete_inputs($self, address, quantity)",
     "Read discrete inputs (FC 02). Returns ``list[bool]``."},
    {"read_holding_registers($self, address, quantity)",
     "Read holding registers (FC 03). Returns ``list[int]``."},
    {"read_input_registers($self, address, quantity)",
     "Read input registers (FC 04). Returns ``list[int]``."},
    {"write_register($self, address, value)",
     "Write a single holding register (FC 06). Returns ``(address, value)`` echo."},
    {"write_registers($self, address, values)",
     "Write multiple holding registers (FC 10). Returns ``(start_address, quantity)`` echo."},
    {"mask_write_register($self, address, and_mask, or_mask)",
     "Mask-write a holding register (FC 16)."},
    {"read_write_registers($self, read_address, read_quantity, write_address, write_values)",
     "Read/write multiple registers (FC 17). Returns ``list[int]`` of read registers."},
    {"read_fifo_queue($self, address)", "Read FIFO queue (FC 18). Returns ``list[int]``."},
    {"read_file_record($self, requests)",
     "Read file record (FC 14).\n\n"
     ":param requests: ``list[tuple[file_number, record_number, record_length]]``\n"
     ":returns: ``list[dict]`` with keys: ``file_number``, ``record_number``,\n"
     "    ``record_length``, ``record_data``."},
    {"write_file_record($self, requests)",
     "Write file record (FC 15).\n\n"
     ":param requests: ``list[tuple[file_number, record_number, data_words]]``"},
    {"read_exception_status($self)", "Read exception status (FC 07). Returns ``int`` status byte."},
    {"get_event_counter($self)",
     "Read comm event counter (FC 0B). Returns ``(status_word, event_count)``."},
    {"diagnostics($self, sub_function, data)",
     "Diagnostics (FC 08).\n\n"
     ":param sub_function: Diagnostic sub-function code (u16).\n"
     ":param data: Data words echoed/processed per sub-function.\n"
     ":returns: ``(sub_function, data_words)``"},
    {"get_comm_event_log($self)", "Get communication event log (FC 0C)."},
    {"report_server_id($self)", "Report server ID (FC 11)."},
    {"get_device_identification($self, object_id=0, kind=\"basic\")",
     "Read device identification (FC 2B / MEI 14).\n\n"
     "Returns a ``dict[int, bytes]`` mapping object ID to its value."},
};

using FastMethod = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
const FastMethod kClientFunctions[kOperationCount] = {
    client_method<OperationId::ReadCoils>,
    client_method<OperationId::WriteCoil>,
    client_method<OperationId::WriteCoils>,
    client_method<OperationId::ReadDiscreteInputs>,
    client_method<OperationId::ReadHoldingRegisters>,
    client_method<OperationId::ReadInputRegisters>,
    client_method<OperationId::WriteRegister>,
    client_method<OperationId::WriteRegisters>,
    client_method<OperationId::MaskWriteRegister>,
    client_method<OperationId::ReadWriteRegisters>,
    client_method<OperationId::ReadFifoQueue>,
    client_method<OperationId::ReadFileRecord>,
    client_method<OperationId::WriteFileRecord>,
    client_method<OperationId::ReadExceptionStatus>,
    client_method<OperationId::GetEventCounter>,
    client_method<OperationId::Diagnostics>,
    client_method<OperationId::GetCommEventLog>,
    client_method<OperationId::ReportServerId>,
    client_method<OperationId::GetDeviceIdentification>,
};

// Docstrings live as long as the types: they are built once and never freed.
const char* docstring(const char* signature, const char* text) {
  auto* doc = new std::string(signature);
  *doc += "\n--\n\n";
  if (text) *doc += text;
  return doc->c_str();
}

constexpr int kFastKw = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef method(const char* name, void* function, int flags, const char* signature,
                   const char* text = nullptr) {
  return {name, reinterpret_cast<PyCFunction>(function), flags, docstring(signature, text)};
}

// `with_text(i)`: whether operation i carries its text on this class.
template <typename F>
PyMethodDef* client_methods(F with_text) {
  auto* methods = new std::vector<PyMethodDef>();
  for (int i = 0; i < kOperationCount; ++i) {
    const auto& operation = client_operation(static_cast<OperationId>(i));
    methods->push_back(
        method(operation.name, reinterpret_cast<void*>(kClientFunctions[i]), kFastKw,
               kClientTexts[i].signature,
               with_text(static_cast<OperationId>(i)) ? kClientTexts[i].text : nullptr));
  }
  methods->push_back({nullptr, nullptr, 0, nullptr});
  return methods->data();
}

PyMethodDef* transport_methods(bool async, void* constructor, const char* constructor_signature,
                               const char* constructor_text) {
  auto* methods = new std::vector<PyMethodDef>{
      method(constructor_signature[0] == 'c' ? "connect" : "open", constructor,
             kFastKw | METH_CLASS, constructor_signature, constructor_text),
      method("create_client", reinterpret_cast<void*>(transport_create_client), kFastKw,
             "create_client($self, unit_id)"),
      method("close", reinterpret_cast<void*>(transport_close), METH_NOARGS, "close($self)"),
  };
  if (async) {
    methods->push_back(method("__aenter__", reinterpret_cast<void*>(transport_aenter), METH_NOARGS,
                              "__aenter__($self)"));
    methods->push_back(method("__aexit__", reinterpret_cast<void*>(transport_aexit), kFastKw,
                              "__aexit__($self, _exc_type, _exc_val, _exc_tb)"));
  } else {
    methods->push_back(method("__enter__", reinterpret_cast<void*>(transport_enter), METH_NOARGS,
                              "__enter__($self)"));
    methods->push_back(method("__exit__", reinterpret_cast<void*>(transport_exit), kFastKw,
                              "__exit__($self, _exc_type, _exc_val, _exc_tb)"));
  }
  methods->push_back(method("set_request_timeout", reinterpret_cast<void*>(transport_set_timeout),
                            kFastKw, "set_request_timeout($self, timeout_ms)"));
  methods->push_back(method("clear_request_timeout",
                            reinterpret_cast<void*>(transport_clear_timeout), METH_NOARGS,
                            "clear_request_timeout($self)"));
  methods->push_back(method("has_pending_requests", reinterpret_cast<void*>(transport_has_pending),
                            METH_NOARGS, "has_pending_requests($self)"));
  methods->push_back({nullptr, nullptr, 0, nullptr});
  return methods->data();
}

PyObject* make_type(const char* name, std::size_t size, void (*destroy)(PyObject*),
                    PyMethodDef* methods) {
  PyType_Slot slots[] = {
      {Py_tp_dealloc, reinterpret_cast<void*>(destroy)},
      {Py_tp_methods, methods},
      {0, nullptr},
  };
  PyType_Spec spec = {
      name, static_cast<int>(size), 0,
      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE, slots};
  return PyType_FromSpec(&spec);
}

// Creates a type once; later calls return the same object.
template <typename F>
PyObject* once(PyObject*& slot, F create) {
  if (slot == nullptr) slot = create();
  return slot;
}

constexpr const char* kConnectSignature = "connect($cls, host, port=502, timeout_ms=1000)";
constexpr const char* kOpenSignature =
    "open($cls, port, baud_rate=9600, timeout_ms=1000, data_bits=8, parity=\"none\", "
    "stop_bits=1, retry_attempts=3)";
constexpr const char* kRtuOpenText =
    "Create a new sync serial client.\n\n"
    ":param port: Serial port path (e.g. ``\"/dev/ttyUSB0\"`` or ``\"COM3\"``).\n"
    ":param baud_rate: Baud rate in bits/s (default 9600).\n"
    ":param timeout_ms: Per-request timeout in milliseconds (default 1000).\n"
    ":param data_bits: Data bits per serial character (5/6/7/8, default 8).\n"
    ":param parity: Parity mode: ``\"none\"`` (default), ``\"even\"``, or ``\"odd\"``.\n"
    ":param stop_bits: Stop bit count (1 or 2, default 1).\n"
    ":param retry_attempts: Number of client retry attempts (default 3).";

PyObject* g_tcp_transport[2] = {nullptr, nullptr};
PyObject* g_tcp_client[2] = {nullptr, nullptr};
PyObject* g_serial_transport[2][2] = {{nullptr, nullptr}, {nullptr, nullptr}};
PyObject* g_serial_client[2] = {nullptr, nullptr};

bool serial_doc(OperationId id) {
  return id == OperationId::ReadFileRecord || id == OperationId::WriteFileRecord ||
         id == OperationId::Diagnostics || id == OperationId::GetCommEventLog ||
         id == OperationId::ReportServerId;
}

}  // namespace

PyObject* tcp_client_type(bool async) {
  return once(g_tcp_client[async], [async] {
    return make_type(async ? "AsyncTcpModbusClient" : "TcpModbusClient", sizeof(ClientObject),
                     dealloc<ClientObject>,
                     client_methods([async](OperationId) { return !async; }));
  });
}

PyObject* serial_client_type(bool async) {
  return once(g_serial_client[async], [async] {
    return make_type(async ? "AsyncSerialModbusClient" : "SerialModbusClient", sizeof(ClientObject),
                     dealloc<ClientObject>,
                     client_methods([async](OperationId id) { return !async && serial_doc(id); }));
  });
}

PyObject* tcp_transport_type(bool async) {
  return once(g_tcp_transport[async], [async] {
    void* connect = async ? reinterpret_cast<void*>(async_tcp_connect)
                          : reinterpret_cast<void*>(sync_tcp_connect);
    return make_type(async ? "AsyncTcpTransport" : "TcpTransport", sizeof(TransportObject),
                     dealloc<TransportObject>,
                     transport_methods(async, connect, kConnectSignature, nullptr));
  });
}

PyObject* serial_transport_type(bool async, bool ascii) {
  return once(g_serial_transport[async][ascii], [async, ascii] {
    void* open;
    if (ascii)
      open = async ? reinterpret_cast<void*>(serial_open_method<true, core::SerialMode::Ascii>)
                   : reinterpret_cast<void*>(serial_open_method<false, core::SerialMode::Ascii>);
    else
      open = async ? reinterpret_cast<void*>(serial_open_method<true, core::SerialMode::Rtu>)
                   : reinterpret_cast<void*>(serial_open_method<false, core::SerialMode::Rtu>);
    const char* name = ascii ? (async ? "AsyncAsciiTransport" : "AsciiTransport")
                             : (async ? "AsyncRtuTransport" : "RtuTransport");
    const char* text = (!async && !ascii) ? kRtuOpenText : nullptr;
    return make_type(name, sizeof(TransportObject), dealloc<TransportObject>,
                     transport_methods(async, open, kOpenSignature, text));
  });
}

}  // namespace tessaly::py
