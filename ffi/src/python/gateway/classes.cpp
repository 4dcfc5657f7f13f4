// The gateway classes: configuration, runs of the engine and the event-handler bridge.
#include "python/gateway/classes.hpp"

#include <array>
#include <asio/co_spawn.hpp>
#include <string>
#include <variant>

#include "gateway_async/gateway.hpp"
#include "python/args.hpp"
#include "python/client/helpers.hpp"
#include "python/engine_gil.hpp"
#include "python/server/app.hpp"
#include "runtime/runtime.hpp"

namespace tessaly::py {

namespace {

using gateway::GatewayConfig;

// ------------------------------------------------------------------------------------------
// GatewayEventHandler: five no-op hooks that check their arguments.

struct Hook {
  const char* name;
  std::array<const char*, 3> params;
  std::array<std::uint64_t, 3> max;
  std::size_t count;
  const char* doc;
};

const Hook kHooks[] = {
    {"on_forward",
     {"session_id", "unit_id", "channel_idx"},
     {255, 255, 65535},
     3,
     "on_forward($self, session_id, unit_id, channel_idx)\n--\n\n"
     "Called when the gateway forwards a request to a downstream channel."},
    {"on_routing_miss",
     {"session_id", "unit_id"},
     {255, 255},
     2,
     "on_routing_miss($self, session_id, unit_id)\n--\n\n"
     "Called when no route matches the unit ID in an upstream request."},
    {"on_response_returned",
     {"session_id", "upstream_txn"},
     {255, 65535},
     2,
     "on_response_returned($self, session_id, upstream_txn)\n--\n\n"
     "Called when a downstream response has been returned upstream."},
    {"on_downstream_timeout",
     {"session_id", "internal_txn"},
     {255, 65535},
     2,
     "on_downstream_timeout($self, session_id, internal_txn)\n--\n\n"
     "Called when a downstream did not respond before the timeout."},
    {"on_upstream_disconnect",
     {"session_id"},
     {255},
     1,
     "on_upstream_disconnect($self, session_id)\n--\n\n"
     "Called when the upstream session disconnects."},
};

template <std::size_t I>
PyObject* hook(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  const Hook& h = kHooks[I];
  PyObject* parsed[3];
  if (!parse_args(h.name, args, nargs, kw, {h.params.data(), h.count}, h.count, parsed))
    return nullptr;
  for (std::size_t i = 0; i < h.count; ++i)
    if (!to_unsigned(parsed[i], h.max[i], h.max[i] == 255 ? "unsigned char" : "unsigned short"))
      return nullptr;
  Py_RETURN_NONE;
}

PyObject* handler_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  if (PyTuple_GET_SIZE(args) != 0 || (kwargs && PyDict_GET_SIZE(kwargs) != 0)) {
    PyErr_SetString(PyExc_TypeError, "GatewayEventHandler() takes no arguments");
    return nullptr;
  }
  return type->tp_alloc(type, 0);
}

PyObject* g_handler_type = nullptr;

// ------------------------------------------------------------------------------------------
// The engine's event sink: calls the hooks by name (positional ints), printing their failures.

class PythonEvents : public gateway::GatewayEventSink {
 public:
  explicit PythonEvents(PyObject* handler) : handler_(Ref::borrow(handler)) {}
  ~PythonEvents() override {
    if (python_exiting()) {
      handler_.release();  // the interpreter is going away
      return;
    }
    EngineGil gil;
    handler_ = Ref();
  }
  void on_forward(core::UnitId unit, std::size_t channel) override {
    call("on_forward", "(iin)", 0, unit, static_cast<Py_ssize_t>(channel));
  }
  void on_routing_miss(core::UnitId unit) override { call("on_routing_miss", "(ii)", 0, unit); }
  void on_downstream_timeout(core::TransactionId txn) override {
    call("on_downstream_timeout", "(ii)", 0, txn);
  }
  void on_response_returned(core::TransactionId txn) override {
    call("on_response_returned", "(ii)", 0, txn);
  }
  void on_upstream_disconnect() override { call("on_upstream_disconnect", "(i)", 0); }

 private:
  template <typename... A>
  void call(const char* name, const char* format, A... args) {
    if (python_exiting()) return;
    EngineGil gil;
    Ref result = Ref::steal(PyObject_CallMethod(handler_.get(), name, format, args...));
    if (!result) PyErr_PrintEx(0);
  }
  Ref handler_;
};

// ------------------------------------------------------------------------------------------
// The gateways

struct GatewayObject {
  PyObject_HEAD GatewayConfig* config;
  PyObject* handler;  // strong, or nullptr
  std::shared_ptr<gateway::GatewayStop> stop;
  bool async;
};

GatewayObject* as_gateway(PyObject* self) {
  return reinterpret_cast<GatewayObject*>(self);
}

void gateway_dealloc(PyObject* self) {
  auto* gw = as_gateway(self);
  delete gw->config;
  Py_XDECREF(gw->handler);
  gw->stop.~shared_ptr();
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* gateway_new(PyTypeObject* type, PyObject* args, PyObject* kwargs, bool async) {
  static const char* names[] = {"bind_addr", "event_handler", nullptr};
  PyObject *bind, *handler = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "U|O", const_cast<char**>(names), &bind, &handler))
    return nullptr;
  if (handler != Py_None) {
    PyObject* base = gateway_event_handler_type();
    if (base == nullptr) return nullptr;
    if (!PyObject_TypeCheck(handler, reinterpret_cast<PyTypeObject*>(base))) {
      PyErr_Format(PyExc_TypeError,
                   "argument 'event_handler' must be GatewayEventHandler or None, not %.50s",
                   Py_TYPE(handler)->tp_name);
      return nullptr;
    }
  }
  PyObject* raw = type->tp_alloc(type, 0);
  if (raw == nullptr) return nullptr;
  auto* gw = as_gateway(raw);
  gw->config = new GatewayConfig(PyUnicode_AsUTF8(bind));
  gw->handler = handler == Py_None ? nullptr : Ref::borrow(handler).release();
  new (&gw->stop) std::shared_ptr<gateway::GatewayStop>(std::make_shared<gateway::GatewayStop>());
  gw->async = async;
  return raw;
}

PyObject* sync_new(PyTypeObject* t, PyObject* a, PyObject* k) {
  return gateway_new(t, a, k, false);
}
PyObject* async_new(PyTypeObject* t, PyObject* a, PyObject* k) {
  return gateway_new(t, a, k, true);
}

PyObject* raise_value(const gateway::ConfigResult& result) {
  PyErr_SetString(PyExc_ValueError, result.error().c_str());
  return nullptr;
}

PyObject* bind_address(PyObject* self, PyObject*) {
  return PyUnicode_FromString(as_gateway(self)->config->bind_address().c_str());
}

PyObject* add_tcp_downstream(PyObject* self, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
  static constexpr const char* kNames[] = {"host", "port"};
  PyObject* a[2];
  if (!parse_args("add_tcp_downstream", args, n, kw, kNames, 2, a)) return nullptr;
  auto host = to_string(a[0], "add_tcp_downstream", "host");
  if (!host) return nullptr;
  std::uint16_t port = 502;
  if (a[1] != Py_None) {
    auto v = to_u16(a[1]);
    if (!v) return nullptr;
    port = *v;
  }
  return PyLong_FromSize_t(as_gateway(self)->config->add_tcp_downstream(std::move(*host), port));
}

std::optional<std::size_t> channel_of(PyObject* value) {
  auto v = to_unsigned(value, SIZE_MAX, "size_t");
  if (!v) return std::nullopt;
  return static_cast<std::size_t>(*v);
}

PyObject* add_unit_route(PyObject* self, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
  static constexpr const char* kNames[] = {"unit", "channel"};
  PyObject* a[2];
  if (!parse_args("add_unit_route", args, n, kw, kNames, 2, a)) return nullptr;
  auto unit = to_u8(a[0]);
  auto channel = unit ? channel_of(a[1]) : std::nullopt;
  if (!channel) return nullptr;
  auto added = as_gateway(self)->config->add_unit_route(*unit, *channel);
  if (!added) return raise_value(added);
  Py_RETURN_NONE;
}

PyObject* add_range_route(PyObject* self, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
  static constexpr const char* kNames[] = {"min", "max", "channel"};
  PyObject* a[3];
  if (!parse_args("add_range_route", args, n, kw, kNames, 3, a)) return nullptr;
  auto min = to_u8(a[0]);
  auto max = min ? to_u8(a[1]) : std::nullopt;
  auto channel = max ? channel_of(a[2]) : std::nullopt;
  if (!channel) return nullptr;
  auto added = as_gateway(self)->config->add_range_route(*min, *max, *channel);
  if (!added) return raise_value(added);
  Py_RETURN_NONE;
}

PyObject* stop(PyObject* self, PyObject*) {
  as_gateway(self)->stop->signal();
  Py_RETURN_NONE;
}

// How a run ended.
struct Stopped {};
using RunOutcome = std::variant<Stopped, gateway::ConnectFailure, gateway::GatewayError>;

Ref outcome_result(const RunOutcome& outcome) {
  if (std::holds_alternative<Stopped>(outcome)) return Ref::borrow(Py_None);
  if (auto* failure = std::get_if<gateway::ConnectFailure>(&outcome)) {
    const std::string message = "downstream connect to " + failure->downstream.host + ":" +
                                std::to_string(failure->downstream.port) +
                                " failed: " + std::string(core::error_text(failure->error).view());
    PyErr_SetString(PyExc_ConnectionError, message.c_str());
    return {};
  }
  PyErr_SetString(PyExc_RuntimeError, std::get<gateway::GatewayError>(outcome).text().c_str());
  return {};
}

using Slot = engine::ReplySlot<RunOutcome>;

class GatewayJob : public AsyncJob {
 public:
  GatewayJob(std::shared_ptr<Slot> slot, std::shared_ptr<gateway::GatewayStop> stop)
      : slot_(std::move(slot)), stop_(std::move(stop)) {}
  bool abandon() override {
    stop_->signal();
    return slot_->abandon();
  }
  bool stop_on_cancel() const override { return true; }
  Ref finish() override {
    if (slot_->state() != Slot::Filled) {
      PyErr_SetString(PyExc_RuntimeError, "the gateway run ended without a result");
      return {};
    }
    return outcome_result(slot_->take());
  }

 private:
  std::shared_ptr<Slot> slot_;
  std::shared_ptr<gateway::GatewayStop> stop_;
};

std::shared_ptr<Slot> start(GatewayObject* gw, std::function<void()> ready) {
  auto snapshot = gw->config->snapshot();
  std::shared_ptr<gateway::GatewayEventSink> events;
  if (gw->handler) events = std::make_shared<PythonEvents>(gw->handler);
  auto slot = std::make_shared<Slot>();
  if (ready) slot->on_ready(std::move(ready));
  auto stop = gw->stop;
  const std::uint64_t epoch = stop->epoch();  // a stop from now on ends this run
  asio::co_spawn(
      engine::runtime(),
      [snapshot = std::move(snapshot), events, stop,
       epoch]() mutable -> asio::awaitable<RunOutcome> {
        auto channels = co_await gateway::connect_downstreams(snapshot.downstreams);
        if (!channels) co_return channels.error();
        gateway::GatewayRun run{snapshot.bind_address,
                                std::move(*channels),
                                snapshot.routes,
                                events,
                                std::chrono::seconds(1),
                                stop,
                                epoch};
        auto ended = co_await gateway::run_gateway(std::move(run));
        if (!ended) co_return ended.error();
        co_return Stopped{};
      },
      [slot](std::exception_ptr, RunOutcome outcome) { slot->fulfil(std::move(outcome)); });
  return slot;
}

PyObject* serve_forever(PyObject* self, PyObject*) {
  auto* gw = as_gateway(self);
  if (auto startable = gw->config->check_startable(); !startable) return raise_value(startable);
  if (gw->async) {
    return make_awaitable([&](std::function<void()> ready) -> std::unique_ptr<AsyncJob> {
             return std::make_unique<GatewayJob>(start(gw, std::move(ready)), gw->stop);
           })
        .release();
  }
  if (!check_blocking_allowed()) return nullptr;
  auto slot = start(gw, {});
  if (!wait_run(*slot, [gw] { gw->stop->signal(); })) return nullptr;
  GatewayJob job(slot, gw->stop);
  return job.finish().release();
}

PyObject* enter(PyObject* self, PyObject*) {
  return Ref::borrow(self).release();
}

PyObject* exit_method(PyObject* self, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
  if (!parse_exit_args("__exit__", args, n, kw)) return nullptr;
  as_gateway(self)->stop->signal();
  Py_RETURN_FALSE;
}

PyObject* aenter(PyObject* self, PyObject*) {
  return completed_future(self).release();
}

PyObject* aexit(PyObject* self, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
  if (!parse_exit_args("__aexit__", args, n, kw)) return nullptr;
  as_gateway(self)->stop->signal();
  return completed_future(Py_False).release();
}

constexpr int kFastKw = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef def(const char* name, void* function, int flags, const char* doc) {
  return {name, reinterpret_cast<PyCFunction>(function), flags, doc};
}

PyObject* g_gateway[2] = {nullptr, nullptr};

template <std::size_t... I>
std::vector<PyMethodDef>* hook_methods(std::index_sequence<I...>) {
  return new std::vector<PyMethodDef>{
      def(kHooks[I].name, reinterpret_cast<void*>(hook<I>), kFastKw, kHooks[I].doc)...,
      {nullptr, nullptr, 0, nullptr}};
}

}  // namespace

PyObject* gateway_event_handler_type() {
  if (g_handler_type) return g_handler_type;
  auto* methods = hook_methods(std::make_index_sequence<5>{});
  PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(handler_new)},
      {Py_tp_methods, methods->data()},
      {Py_tp_doc, const_cast<char*>("GatewayEventHandler()\n--\n\n"
                                    "Subclass to receive gateway lifecycle events.\n\n"
                                    "All methods are no-ops by default. Override only those you "
                                    "need.")},
      {0, nullptr},
  };
  PyType_Spec spec = {"GatewayEventHandler", sizeof(PyObject), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, slots};
  g_handler_type = PyType_FromSpec(&spec);
  return g_handler_type;
}

PyObject* gateway_type(bool async) {
  if (g_gateway[async]) return g_gateway[async];
  const bool a = async;
  auto* methods = new std::vector<PyMethodDef>{
      def("bind_address", reinterpret_cast<void*>(bind_address), METH_NOARGS,
          a ? "bind_address($self)\n--\n\nReturn the configured upstream bind address."
            : "bind_address($self)\n--\n\n"),
      def("add_tcp_downstream", reinterpret_cast<void*>(add_tcp_downstream), kFastKw,
          a ? "add_tcp_downstream($self, host, port)\n--\n\n"
              "Register a TCP downstream channel and return its zero-based index.\n\n"
              ":param host: Downstream host name or IP.\n"
              ":param port: Downstream TCP port (default 502)."
            : "add_tcp_downstream($self, host, port)\n--\n\n"),
      def("add_unit_route", reinterpret_cast<void*>(add_unit_route), kFastKw,
          a ? "add_unit_route($self, unit, channel)\n--\n\nMap a single unit ID to a channel."
            : "add_unit_route($self, unit, channel)\n--\n\n"),
      def("add_range_route", reinterpret_cast<void*>(add_range_route), kFastKw,
          a ? "add_range_route($self, min, max, channel)\n--\n\n"
              "Map an inclusive unit-ID range to a channel."
            : "add_range_route($self, min, max, channel)\n--\n\n"),
      def("serve_forever", reinterpret_cast<void*>(serve_forever), METH_NOARGS,
          a ? "serve_forever($self)\n--\n\n"
              "Bind, accept and serve until :meth:`stop` is called.\n\n"
              "Returns ``None`` when shutdown completes; raises on bind or accept errors."
            : "serve_forever($self)\n--\n\n"
              "Block and serve until :meth:`stop` is called from another thread."),
      def("stop", reinterpret_cast<void*>(stop), METH_NOARGS,
          a ? "stop($self)\n--\n\nSignal :meth:`serve_forever` to stop accepting new connections."
            : "stop($self)\n--\n\n"),
  };
  if (async) {
    methods->push_back(def("__aenter__", reinterpret_cast<void*>(aenter), METH_NOARGS,
                           "__aenter__($self)\n--\n\n"));
    methods->push_back(def("__aexit__", reinterpret_cast<void*>(aexit), kFastKw,
                           "__aexit__($self, _exc_type, _exc_val, _exc_tb)\n--\n\n"));
  } else {
    methods->push_back(
        def("__enter__", reinterpret_cast<void*>(enter), METH_NOARGS, "__enter__($self)\n--\n\n"));
    methods->push_back(def("__exit__", reinterpret_cast<void*>(exit_method), kFastKw,
                           "__exit__($self, _exc_type, _exc_val, _exc_tb)\n--\n\n"));
  }
  methods->push_back({nullptr, nullptr, 0, nullptr});
  const char* doc =
      async ? "AsyncTcpGateway(bind_addr, event_handler=None)\n--\n\n"
              "Asyncio Modbus TCP\xE2\x86\x92TCP gateway.\n\n"
              "Accepts upstream Modbus TCP connections on ``bind_addr`` and forwards each request\n"
              "to one of the configured downstream TCP endpoints, chosen by the unit and range\n"
              "routing rules.\n\n"
              "Example::\n\n"
              "    async def main():\n"
              "        gw = AsyncTcpGateway(\"127.0.0.1:5020\")\n"
              "        ch = gw.add_tcp_downstream(\"192.168.1.10\", 502)\n"
              "        gw.add_unit_route(1, ch)\n"
              "        await gw.serve_forever()\n"
            : "TcpGateway(bind_addr, event_handler=None)\n--\n\n"
              "Blocking Modbus TCP\xE2\x86\x92TCP gateway.\n\n"
              "The configuration surface is that of :class:`AsyncTcpGateway`. ``serve_forever``\n"
              "blocks the calling thread with the GIL released while the gateway runs; use this\n"
              "class outside an asyncio event loop.";
  PyType_Slot slots[] = {
      {Py_tp_dealloc, reinterpret_cast<void*>(gateway_dealloc)},
      {Py_tp_new, reinterpret_cast<void*>(async ? async_new : sync_new)},
      {Py_tp_doc, const_cast<char*>(doc)},
      {Py_tp_methods, methods->data()},
      {0, nullptr},
  };
  PyType_Spec spec = {async ? "AsyncTcpGateway" : "TcpGateway", sizeof(GatewayObject), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
  g_gateway[async] = PyType_FromSpec(&spec);
  return g_gateway[async];
}

}  // namespace tessaly::py
