// The server classes: configuration, serve_forever (blocking or awaitable), stop.
#include "python/server/classes.hpp"

#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <string>

#include "python/args.hpp"
#include "python/client/helpers.hpp"
#include "python/enums.hpp"
#include "python/errors.hpp"
#include "python/server/app.hpp"
#include "runtime/runtime.hpp"
#include "server/listeners.hpp"

namespace tessaly::py {

namespace {

using engine::ServerError;
using RunResult = std::expected<void, ServerError>;

struct ServerObject {
  PyObject_HEAD std::string bind_address;  // TCP: "host:port" exactly as given
  serial::SerialConfig line;               // serial
  std::uint8_t unit;
  PyObject* app;
  std::shared_ptr<engine::StopSignal> stop;
  bool async;
  bool serial;
};

ServerObject* as_server(PyObject* self) {
  return reinterpret_cast<ServerObject*>(self);
}

void server_dealloc(PyObject* self) {
  auto* server = as_server(self);
  Py_XDECREF(server->app);
  server->~ServerObject();
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

bool check_unit(std::uint8_t unit) {
  if (auto valid = core::validate_unit_id(unit); !valid) {
    raise_core_error(valid.error());
    return false;
  }
  return true;
}

PyObject* check_app(PyObject* app) {
  PyObject* base = modbus_app_type();
  if (base == nullptr) return nullptr;
  if (!PyObject_TypeCheck(app, reinterpret_cast<PyTypeObject*>(base))) {
    PyErr_Format(PyExc_TypeError, "argument 'app' must be ModbusApp, not %.50s",
                 Py_TYPE(app)->tp_name);
    return nullptr;
  }
  return app;
}

ServerObject* allocate(PyTypeObject* type, bool async, bool serial) {
  PyObject* raw = type->tp_alloc(type, 0);
  if (raw == nullptr) return nullptr;
  auto* server = as_server(raw);
  new (&server->bind_address) std::string();
  new (&server->line) serial::SerialConfig();
  new (&server->stop) std::shared_ptr<engine::StopSignal>(std::make_shared<engine::StopSignal>());
  server->app = nullptr;
  server->unit = 1;
  server->async = async;
  server->serial = serial;
  return server;
}

PyObject* tcp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs, bool async) {
  static const char* names[] = {"host", "app", "port", "unit_id", nullptr};
  PyObject *host, *app, *port = nullptr, *unit = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "UO|OO", const_cast<char**>(names), &host, &app,
                                   &port, &unit))
    return nullptr;
  if (!check_app(app)) return nullptr;
  std::uint16_t port_number = 502;
  if (port) {
    auto v = to_u16(port);
    if (!v) return nullptr;
    port_number = *v;
  }
  std::uint8_t unit_id = 1;
  if (unit) {
    auto v = to_u8(unit);
    if (!v) return nullptr;
    unit_id = *v;
  }
  if (!check_unit(unit_id)) return nullptr;
  ServerObject* server = allocate(type, async, false);
  if (server == nullptr) return nullptr;
  server->bind_address = std::string(PyUnicode_AsUTF8(host)) + ":" + std::to_string(port_number);
  server->unit = unit_id;
  server->app = Ref::borrow(app).release();
  return reinterpret_cast<PyObject*>(server);
}

PyObject* sync_tcp_new(PyTypeObject* t, PyObject* a, PyObject* k) {
  return tcp_new(t, a, k, false);
}
PyObject* async_tcp_new(PyTypeObject* t, PyObject* a, PyObject* k) {
  return tcp_new(t, a, k, true);
}

PyObject* serial_new(PyTypeObject* type, PyObject* args, PyObject* kwargs, bool async) {
  static const char* names[] = {
      "port",      "app",    "baud_rate", "unit_id",        "mode", "timeout_ms",
      "data_bits", "parity", "stop_bits", "retry_attempts", nullptr};
  PyObject *port, *app, *baud = nullptr, *unit = nullptr, *mode = Py_None, *timeout = nullptr,
                        *data_bits = nullptr, *parity = nullptr, *stop_bits = nullptr,
                        *retries = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "UO|OOOOOUOO", const_cast<char**>(names), &port,
                                   &app, &baud, &unit, &mode, &timeout, &data_bits, &parity,
                                   &stop_bits, &retries))
    return nullptr;
  if (!check_app(app)) return nullptr;
  serial::SerialConfig line;
  line.port = PyUnicode_AsUTF8(port);
  auto number = [](PyObject* value, auto convert, auto& out) {
    if (value == nullptr) return true;
    auto v = convert(value);
    if (!v) return false;
    out = *v;
    return true;
  };
  std::uint8_t unit_id = 1, retry_attempts = 0;
  std::uint64_t timeout_ms = 1000;
  if (!number(baud, to_u32, line.baud_rate) || !number(unit, to_u8, unit_id) ||
      !number(timeout, to_u64, timeout_ms) || !number(data_bits, to_u8, line.data_bits) ||
      !number(stop_bits, to_u8, line.stop_bits) || !number(retries, to_u8, retry_attempts))
    return nullptr;
  if (mode != Py_None) {
    auto parsed = parse_serial_mode(mode);
    if (!parsed) return nullptr;
    line.mode = *parsed;
  }
  auto raise_check = [](const auto& result) {
    if (result) return true;
    raise_message(ExceptionClass::ModbusConfigError, result.error().c_str());
    return false;
  };
  if (!raise_check(serial::check_data_bits(line.data_bits))) return nullptr;
  Ref lowered = parity ? Ref::steal(PyObject_CallMethod(parity, "lower", nullptr))
                       : Ref::steal(PyUnicode_FromString("none"));
  if (!lowered) return nullptr;
  auto parsed_parity = serial::parse_parity(PyUnicode_AsUTF8(lowered.get()));
  if (!raise_check(parsed_parity)) return nullptr;
  line.parity = *parsed_parity;
  if (!raise_check(serial::check_stop_bits(line.stop_bits))) return nullptr;
  if (!check_unit(unit_id)) return nullptr;
  ServerObject* server = allocate(type, async, true);
  if (server == nullptr) return nullptr;
  server->line = std::move(line);
  server->unit = unit_id;
  server->app = Ref::borrow(app).release();
  return reinterpret_cast<PyObject*>(server);
}

PyObject* sync_serial_new(PyTypeObject* t, PyObject* a, PyObject* k) {
  return serial_new(t, a, k, false);
}
PyObject* async_serial_new(PyTypeObject* t, PyObject* a, PyObject* k) {
  return serial_new(t, a, k, true);
}

PyObject* raise_server_error(const ServerError& error) {
  return raise_instance(server_error_to_exception(error));
}

// ------------------------------------------------------------------------------------------
// Runs

// A run on the shared runtime whose outcome lands in a slot; stopping it is the stop signal's.
class ListenerJob : public AsyncJob {
 public:
  ListenerJob(std::shared_ptr<engine::ReplySlot<RunResult>> slot,
              std::shared_ptr<engine::StopSignal> stop, std::function<void()> cancel = {})
      : slot_(std::move(slot)), stop_(std::move(stop)), cancel_(std::move(cancel)) {}
  bool abandon() override {
    if (cancel_) cancel_();
    stop_->signal();
    return slot_->abandon();
  }
  bool stop_on_cancel() const override { return true; }
  Ref finish() override {
    if (slot_->state() != engine::ReplySlot<RunResult>::Filled) {
      PyErr_SetString(PyExc_RuntimeError, "the server run ended without a result");
      return {};
    }
    auto result = slot_->take();
    if (!result) {
      raise_server_error(result.error());
      return {};
    }
    return Ref::borrow(Py_None);
  }

 private:
  std::shared_ptr<engine::ReplySlot<RunResult>> slot_;
  std::shared_ptr<engine::StopSignal> stop_;
  std::function<void()> cancel_;
};

// Starts the server's listener on the runtime; its outcome goes to the returned slot.
std::shared_ptr<engine::ReplySlot<RunResult>> start_run(
    ServerObject* server, std::shared_ptr<engine::ServerApplication> app,
    std::function<void()> ready, std::function<void()>& cancel) {
  auto slot = std::make_shared<engine::ReplySlot<RunResult>>();
  if (ready) slot->on_ready(std::move(ready));
  auto finish = [slot](std::exception_ptr, RunResult result) { slot->fulfil(std::move(result)); };
  if (!server->serial) {
    asio::co_spawn(
        engine::runtime(),
        engine::run_tcp_listener({server->bind_address, server->unit, app, server->stop}), finish);
    return slot;
  }
  // The asyncio serial server: a stop cancels the session where it waits and closes the port.
  auto signal = std::make_shared<asio::cancellation_signal>();
  auto stopped = std::make_shared<std::atomic<bool>>(false);
  auto stopper = [signal, stopped] {
    asio::post(engine::runtime(), [signal, stopped] {
      stopped->store(true);
      signal->emit(asio::cancellation_type::all);
    });
  };
  if (!server->stop->attach(stopper)) {
    slot->fulfil(RunResult{});
    return slot;
  }
  auto stop = server->stop;
  cancel = stopper;
  asio::co_spawn(
      engine::runtime(), engine::run_serial_listener({server->line, server->unit, app}),
      asio::bind_cancellation_slot(
          signal->slot(), [slot, stopped, stop, signal](std::exception_ptr, ServerError e) {
            stop->detach();
            if (stopped->load())
              slot->fulfil(RunResult{});
            else
              slot->fulfil(std::unexpected(std::move(e)));
          }));
  return slot;
}

bool check_path(ServerObject* server) {
  if (!server->serial) return true;
  auto checked = serial::check_port_path(server->line.port);
  if (checked) return true;
  raise_message(ExceptionClass::ModbusConfigError, checked.error().c_str());
  return false;
}

// The blocking serial server: its one session, and every handler call, runs on this thread.
PyObject* serve_serial_here(ServerObject* server, std::shared_ptr<engine::ServerApplication> app) {
  asio::io_context local;
  std::optional<ServerError> ended;
  asio::co_spawn(local, engine::run_serial_listener({server->line, server->unit, app}),
                 [&ended](std::exception_ptr, ServerError error) { ended = std::move(error); });
  for (;;) {
    Py_BEGIN_ALLOW_THREADS;
    local.run_for(std::chrono::milliseconds(100));
    Py_END_ALLOW_THREADS;
    if (ended) return raise_server_error(*ended);
    if (PyErr_CheckSignals() < 0) return nullptr;  // leaving closes the port
  }
}

PyObject* serve_forever(PyObject* self, PyObject*) {
  auto* server = as_server(self);
  if (!check_unit(server->unit) || !check_path(server)) return nullptr;
  if (server->async) {
    Ref asyncio = Ref::steal(PyImport_ImportModule("asyncio"));
    Ref loop = asyncio ? Ref::steal(PyObject_CallMethod(asyncio.get(), "get_running_loop", nullptr))
                       : Ref();
    if (!loop) return nullptr;
    auto app = make_app_handle(server->app, loop.get());
    return make_awaitable([&](std::function<void()> ready) -> std::unique_ptr<AsyncJob> {
             std::function<void()> cancel;
             auto slot = start_run(server, app, std::move(ready), cancel);
             return std::make_unique<ListenerJob>(slot, server->stop, cancel);
           })
        .release();
  }
  if (!check_blocking_allowed()) return nullptr;
  auto app = make_app_handle(server->app, nullptr);
  if (server->serial) return serve_serial_here(server, std::move(app));
  std::function<void()> cancel;
  auto slot = start_run(server, app, {}, cancel);
  // Ctrl-C stops the listener, lets it close its socket, then the exception propagates.
  if (!wait_run(*slot, [server] { server->stop->signal(); })) return nullptr;
  ListenerJob job(slot, server->stop);
  return job.finish().release();
}

PyObject* stop(PyObject* self, PyObject*) {
  auto* server = as_server(self);
  server->stop->signal();
  if (server->async) return completed_future(Py_None).release();
  Py_RETURN_NONE;
}

PyObject* bind_address(PyObject* self, PyObject*) {
  return PyUnicode_FromString(as_server(self)->bind_address.c_str());
}

PyObject* enter(PyObject* self, PyObject*) {
  return Ref::borrow(self).release();
}

PyObject* exit_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  if (!parse_exit_args("__exit__", args, nargs, kw)) return nullptr;
  auto* server = as_server(self);
  if (!server->serial) server->stop->signal();
  Py_RETURN_FALSE;
}

PyObject* aenter(PyObject* self, PyObject*) {
  return completed_future(self).release();
}

PyObject* aexit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  if (!parse_exit_args("__aexit__", args, nargs, kw)) return nullptr;
  as_server(self)->stop->signal();
  return completed_future(Py_False).release();
}

constexpr int kFastKw = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef def(const char* name, void* function, int flags, const char* doc) {
  return {name, reinterpret_cast<PyCFunction>(function), flags, doc};
}

PyObject* make_type(const char* name, const char* doc, newfunc create,
                    std::vector<PyMethodDef>* methods) {
  methods->push_back({nullptr, nullptr, 0, nullptr});
  PyType_Slot slots[] = {
      {Py_tp_dealloc, reinterpret_cast<void*>(server_dealloc)},
      {Py_tp_new, reinterpret_cast<void*>(create)},
      {Py_tp_doc, const_cast<char*>(doc)},
      {Py_tp_methods, methods->data()},
      {0, nullptr},
  };
  PyType_Spec spec = {name, sizeof(ServerObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
                      slots};
  return PyType_FromSpec(&spec);
}

constexpr const char* kExitDoc = "__exit__($self, _exc_type, _exc_val, _exc_tb)\n--\n\n";
constexpr const char* kAexitDoc = "__aexit__($self, _exc_type, _exc_val, _exc_tb)\n--\n\n";
constexpr const char* kBindDoc =
    "bind_address($self)\n--\n\nReturn the configured TCP bind address as ``\"host:port\"``.";

PyObject* g_tcp[2] = {nullptr, nullptr};
PyObject* g_serial[2] = {nullptr, nullptr};

}  // namespace

PyObject* tcp_server_type(bool async) {
  if (g_tcp[async]) return g_tcp[async];
  auto* methods = new std::vector<PyMethodDef>();
  methods->push_back(
      def("bind_address", reinterpret_cast<void*>(bind_address), METH_NOARGS, kBindDoc));
  if (!async) {
    methods->push_back(
        def("serve_forever", reinterpret_cast<void*>(serve_forever), METH_NOARGS,
            "serve_forever($self)\n--\n\n"
            "Block and serve until :meth:`stop` is called. Releases the GIL during I/O."));
    methods->push_back(def("stop", reinterpret_cast<void*>(stop), METH_NOARGS,
                           "stop($self)\n--\n\nSignal the blocking server loop to stop."));
    methods->push_back(
        def("__enter__", reinterpret_cast<void*>(enter), METH_NOARGS, "__enter__($self)\n--\n\n"));
    methods->push_back(def("__exit__", reinterpret_cast<void*>(exit_method), kFastKw, kExitDoc));
    g_tcp[0] = make_type("TcpServer",
                         "TcpServer(host, app, port=502, unit_id=1)\n--\n\n"
                         "Synchronous (blocking) Modbus TCP server.\n\n"
                         "Blocks the calling thread until an error or shutdown.\n"
                         "Use :class:`AsyncTcpServer` if you need non-blocking I/O.\n\n"
                         "Example::\n\n"
                         "    server = TcpServer(\"0.0.0.0\", port=502, app=MyApp(), unit_id=1)\n"
                         "    server.serve_forever()\n",
                         sync_tcp_new, methods);
    return g_tcp[0];
  }
  methods->push_back(def("serve_forever", reinterpret_cast<void*>(serve_forever), METH_NOARGS,
                         "serve_forever($self)\n--\n\n"
                         "Bind and serve until :meth:`stop` is called or an error occurs.\n\n"
                         "Returns normally (``None``) when :meth:`stop` has been called.\n"
                         "Raises on a fatal bind or transport error."));
  methods->push_back(def("stop", reinterpret_cast<void*>(stop), METH_NOARGS,
                         "stop($self)\n--\n\n"
                         "Signal the server to stop accepting new connections.\n\n"
                         "After this call, :meth:`serve_forever` returns.  In-flight sessions\n"
                         "finish normally.  The server can be started again by calling\n"
                         ":meth:`serve_forever` once more."));
  methods->push_back(def("__aenter__", reinterpret_cast<void*>(aenter), METH_NOARGS,
                         "__aenter__($self)\n--\n\n"
                         "Enter the async context manager.\n\n"
                         "This method returns ``self`` and does not implicitly start serving.\n"
                         "Use :meth:`serve_forever` to run the listener."));
  methods->push_back(def("__aexit__", reinterpret_cast<void*>(aexit), kFastKw, kAexitDoc));
  g_tcp[1] = make_type(
      "AsyncTcpServer",
      "AsyncTcpServer(host, app, port=502, unit_id=1)\n--\n\n"
      "Asyncio Modbus TCP server.\n\n"
      "Pass a :class:`ModbusApp` subclass instance; the server dispatches\n"
      "each incoming request to the corresponding ``handle_*`` method.\n\n"
      "Example::\n\n"
      "    class MyApp(tessaly.ModbusApp):\n"
      "        def handle_read_holding_registers(self, address, count):\n"
      "            return [0] * count\n\n"
      "    async with AsyncTcpServer(\"0.0.0.0\", port=502, app=MyApp(), unit_id=1) as server:\n"
      "        await server.serve_forever()\n",
      async_tcp_new, methods);
  return g_tcp[1];
}

PyObject* serial_server_type(bool async) {
  if (g_serial[async]) return g_serial[async];
  auto* methods = new std::vector<PyMethodDef>();
  if (!async) {
    methods->push_back(def("serve_forever", reinterpret_cast<void*>(serve_forever), METH_NOARGS,
                           "serve_forever($self)\n--\n\n"));
    methods->push_back(
        def("__enter__", reinterpret_cast<void*>(enter), METH_NOARGS, "__enter__($self)\n--\n\n"));
    methods->push_back(def("__exit__", reinterpret_cast<void*>(exit_method), kFastKw, kExitDoc));
    g_serial[0] =
        make_type("SerialServer",
                  "SerialServer(port, app, baud_rate=9600, unit_id=1, mode=None, timeout_ms=1000, "
                  "data_bits=8, parity=\"none\", stop_bits=1, retry_attempts=0)\n--\n\n"
                  "Synchronous (blocking) Modbus serial server.",
                  sync_serial_new, methods);
    return g_serial[0];
  }
  methods->push_back(def("serve_forever", reinterpret_cast<void*>(serve_forever), METH_NOARGS,
                         "serve_forever($self)\n--\n\n"
                         "Run the server loop until :meth:`stop` is called or the port closes.\n\n"
                         "Returns normally when :meth:`stop` has been called.  Raises on a\n"
                         "fatal transport error."));
  methods->push_back(def("stop", reinterpret_cast<void*>(stop), METH_NOARGS,
                         "stop($self)\n--\n\n"
                         "Signal the server to stop.\n\n"
                         "After this call, :meth:`serve_forever` returns.  The server can be\n"
                         "restarted by calling :meth:`serve_forever` again."));
  methods->push_back(
      def("__aenter__", reinterpret_cast<void*>(aenter), METH_NOARGS, "__aenter__($self)\n--\n\n"));
  methods->push_back(def("__aexit__", reinterpret_cast<void*>(aexit), kFastKw, kAexitDoc));
  g_serial[1] = make_type(
      "AsyncSerialServer",
      "AsyncSerialServer(port, app, baud_rate=9600, unit_id=1, mode=None, timeout_ms=1000, "
      "data_bits=8, parity=\"none\", stop_bits=1, retry_attempts=0)\n--\n\n"
      "Asyncio Modbus serial server (RTU or ASCII).\n\n"
      "Runs a single-connection serial Modbus server on the given port.\n\n"
      "Example::\n\n"
      "    async with AsyncSerialServer(\"/dev/ttyUSB0\", app=MyApp(), unit_id=1) as srv:\n"
      "        await srv.serve_forever()\n",
      async_serial_new, methods);
  return g_serial[1];
}

}  // namespace tessaly::py
