// ModbusApp and ModbusAppHandle: Python handlers behind the engine's ServerApplication.
#include "python/server/app.hpp"

#include <array>
#include <atomic>
#include <string>

#include "python/args.hpp"
#include "python/engine_gil.hpp"
#include "python/enums.hpp"
#include "python/errors.hpp"
#include "runtime/runtime.hpp"

namespace tessaly::py {

namespace {

using core::ServerRequest;
using core::ServerResponse;

// --------------------------------------------------------------------------------------------
// The base class: every handler raises NotImplementedError naming its arguments.

enum class Kind { U16, U8, Coil, CoilList, U16List };

struct Param {
  const char* name;
  Kind kind;
};

struct BaseMethod {
  const char* name;
  std::array<Param, 4> params;
  std::size_t count;
  const char* doc;
  const char* message;  // printf-style, %s for each formatted argument
};

constexpr const char* kWriteValuesDoc =
    "handle_read_write_registers($self, read_address, read_count, write_address, write_values)\n"
    "--\n\nHandle FC17 Read/Write Multiple Registers.\n"
    "``write_values`` is a list of holding registers to write. Returns ``list[int]``.";

const BaseMethod kMethods[] = {
    {"handle_read_coils",
     {{{"address", Kind::U16}, {"count", Kind::U16}}},
     2,
     "handle_read_coils($self, address, count)\n--\n\n"
     "Handle FC01 Read Coils. Returns ``list[CoilState]``.",
     "handle_read_coils(address=%s, count=%s) not implemented"},
    {"handle_read_discrete_inputs",
     {{{"address", Kind::U16}, {"count", Kind::U16}}},
     2,
     "handle_read_discrete_inputs($self, address, count)\n--\n\n"
     "Handle FC02 Read Discrete Inputs. Returns ``list[CoilState]``.",
     "handle_read_discrete_inputs(address=%s, count=%s) not implemented"},
    {"handle_read_holding_registers",
     {{{"address", Kind::U16}, {"count", Kind::U16}}},
     2,
     "handle_read_holding_registers($self, address, count)\n--\n\n"
     "Handle FC03 Read Holding Registers. Returns ``list[int]``.",
     "handle_read_holding_registers(address=%s, count=%s) not implemented"},
    {"handle_read_input_registers",
     {{{"address", Kind::U16}, {"count", Kind::U16}}},
     2,
     "handle_read_input_registers($self, address, count)\n--\n\n"
     "Handle FC04 Read Input Registers. Returns ``list[int]``.",
     "handle_read_input_registers(address=%s, count=%s) not implemented"},
    {"handle_write_coil",
     {{{"address", Kind::U16}, {"value", Kind::Coil}}},
     2,
     "handle_write_coil($self, address, value)\n--\n\nHandle FC05 Write Single Coil.",
     "handle_write_coil(address=%s, value=%s) not implemented"},
    {"handle_write_register",
     {{{"address", Kind::U16}, {"value", Kind::U16}}},
     2,
     "handle_write_register($self, address, value)\n--\n\nHandle FC06 Write Single Register.",
     "handle_write_register(address=%s, value=%s) not implemented"},
    {"handle_read_exception_status",
     {},
     0,
     "handle_read_exception_status($self)\n--\n\n"
     "Handle FC07 Read Exception Status. Returns ``int`` status byte.",
     "handle_read_exception_status() not implemented"},
    {"handle_diagnostics",
     {{{"sub_function", Kind::U16}, {"data", Kind::U16}}},
     2,
     "handle_diagnostics($self, sub_function, data)\n--\n\n"
     "Handle FC08 Diagnostics. Returns ``(sub_function, result)`` to echo.",
     "handle_diagnostics(sub_function=%s, data=%s) not implemented"},
    {"handle_get_comm_event_counter",
     {},
     0,
     "handle_get_comm_event_counter($self)\n--\n\n"
     "Handle FC0B Get Comm Event Counter. Returns ``(status_word, event_count)``.",
     "handle_get_comm_event_counter() not implemented"},
    {"handle_get_comm_event_log",
     {},
     0,
     "handle_get_comm_event_log($self)\n--\n\nHandle FC0C Get Comm Event Log. Return byte payload.",
     "handle_get_comm_event_log() not implemented"},
    {"handle_write_coils",
     {{{"address", Kind::U16}, {"values", Kind::CoilList}}},
     2,
     "handle_write_coils($self, address, values)\n--\n\n"
     "Handle FC0F Write Multiple Coils. ``values`` is a list of CoilState.",
     "handle_write_coils(address=%s, values=<%s items>) not implemented"},
    {"handle_write_registers",
     {{{"address", Kind::U16}, {"values", Kind::U16List}}},
     2,
     "handle_write_registers($self, address, values)\n--\n\n"
     "Handle FC10 Write Multiple Registers. ``values`` is a list of holding registers.",
     "handle_write_registers(address=%s, values=<%s items>) not implemented"},
    {"handle_report_server_id",
     {},
     0,
     "handle_report_server_id($self)\n--\n\nHandle FC11 Report Server ID. Return byte payload.",
     "handle_report_server_id() not implemented"},
    {"handle_mask_write_register",
     {{{"address", Kind::U16}, {"and_mask", Kind::U16}, {"or_mask", Kind::U16}}},
     3,
     "handle_mask_write_register($self, address, and_mask, or_mask)\n--\n\n"
     "Handle FC16 Mask Write Register.",
     "handle_mask_write_register(address=%s, and_mask=%s, or_mask=%s) not implemented"},
    {"handle_read_write_registers",
     {{{"read_address", Kind::U16},
       {"read_count", Kind::U16},
       {"write_address", Kind::U16},
       {"write_values", Kind::U16List}}},
     4,
     kWriteValuesDoc,
     "handle_read_write_registers not implemented"},
    {"handle_read_fifo_queue",
     {{{"pointer_address", Kind::U16}}},
     1,
     "handle_read_fifo_queue($self, pointer_address)\n--\n\n"
     "Handle FC18 Read FIFO Queue. Returns ``list[int]`` (\xE2\x89\xA4"
     "31 values).",
     "handle_read_fifo_queue(pointer_address=%s) not implemented"},
};
constexpr std::size_t kMethodCount = sizeof(kMethods) / sizeof(kMethods[0]);

// Checks one argument as the table types it; its text for the message, or nullopt with an error.
std::optional<std::string> check_param(PyObject* value, Kind kind) {
  switch (kind) {
    case Kind::U16: {
      auto v = to_u16(value);
      if (!v) return std::nullopt;
      return std::to_string(*v);
    }
    case Kind::U8: {
      auto v = to_u8(value);
      if (!v) return std::nullopt;
      return std::to_string(*v);
    }
    case Kind::Coil: {
      auto v = coil_state_from(value, "value");
      if (!v) return std::nullopt;
      return *v == core::CoilState::On ? "On" : "Off";
    }
    case Kind::CoilList: {
      auto v = to_list<core::CoilState>(
          value, "values", [](PyObject* item) { return coil_state_from(item, "values"); });
      if (!v) return std::nullopt;
      return std::to_string(v->size());
    }
    case Kind::U16List: {
      auto v = to_list<std::uint16_t>(value, "values", to_u16);
      if (!v) return std::nullopt;
      return std::to_string(v->size());
    }
  }
  return std::nullopt;
}

template <std::size_t I>
PyObject* base_method(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const BaseMethod& method = kMethods[I];
  std::array<const char*, 4> names{};
  for (std::size_t i = 0; i < method.count; ++i) names[i] = method.params[i].name;
  PyObject* parsed[4] = {};
  if (!parse_args(method.name, args, nargs, kwnames, {names.data(), method.count}, method.count,
                  parsed))
    return nullptr;
  std::array<std::string, 4> texts;
  for (std::size_t i = 0; i < method.count; ++i) {
    auto text = check_param(parsed[i], method.params[i].kind);
    if (!text) return nullptr;
    texts[i] = *text;
  }
  char message[256];
  std::snprintf(message, sizeof message, method.message, texts[0].c_str(), texts[1].c_str(),
                texts[2].c_str(), texts[3].c_str());
  PyErr_SetString(PyExc_NotImplementedError, message);
  return nullptr;
}

PyObject* base_on_exception(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  static constexpr const char* kNames[] = {"txn_id", "unit_id", "function_code", "exception_code"};
  PyObject* parsed[4];
  if (!parse_args("on_exception", args, nargs, kw, kNames, 4, parsed)) return nullptr;
  if (!to_u16(parsed[0]) || !to_u8(parsed[1]) || !to_u8(parsed[2]) || !to_u8(parsed[3]))
    return nullptr;
  Py_RETURN_NONE;
}

using Fast = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

template <std::size_t... I>
constexpr std::array<Fast, sizeof...(I)> base_functions(std::index_sequence<I...>) {
  return {base_method<I>...};
}
constexpr auto kBaseFunctions = base_functions(std::make_index_sequence<kMethodCount>{});

PyObject* g_app_type = nullptr;

constexpr const char* kAppDoc =
    "ModbusApp()\n--\n\n"
    "Base class for a Modbus server application.\n\n"
    "Subclass this and override the ``handle_*`` methods for the function codes\n"
    "your device supports.  Any method that is not overridden returns an\n"
    "``IllegalFunction`` exception to the Modbus client.\n\n"
    "Example::\n\n"
    "    class MyApp(tessaly.ModbusApp):\n"
    "        def handle_read_holding_registers(self, address, count):\n"
    "            return [address + i for i in range(count)]\n\n"
    "        def handle_write_register(self, address, value):\n"
    "            pass\n";

// --------------------------------------------------------------------------------------------
// The bridge

ServerResponse exception_response(std::uint8_t function_code, std::uint8_t code) {
  return ServerResponse{
      ServerResponse::Exception{static_cast<core::FunctionCode>(function_code), code}};
}

// What is left to do with the handler's value once it is known (GIL held).
struct Pending {
  ServerRequest request;
  engine::ServerApplication::Done done;
};

// The pending Python exception as an answer (GIL held).
ServerResponse exception_path(const ServerRequest& request) {
  if (auto* diag = std::get_if<ServerRequest::Diagnostics>(&request.body)) {
    if (PyErr_ExceptionMatches(PyExc_NotImplementedError)) {
      PyErr_Clear();
      return ServerResponse{ServerResponse::DiagnosticsEcho{diag->sub_function, diag->data}};
    }
  }
  std::uint8_t code = 4;
  if (PyErr_ExceptionMatches(PyExc_NotImplementedError))
    code = 1;
  else if (PyErr_ExceptionMatches(PyExc_ValueError) || PyErr_ExceptionMatches(PyExc_IndexError))
    code = 2;
  PyErr_PrintEx(0);
  return exception_response(core::function_code_of(request), code);
}

Ref list_of_u16(std::span<const std::uint8_t> bytes) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(bytes.size() / 2)));
  if (!list) return {};
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i / 2),
                    PyLong_FromLong((bytes[i] << 8) | bytes[i + 1]));
  return list;
}

Ref coil_list(std::span<const std::uint8_t> bytes, std::uint16_t quantity) {
  Ref list = Ref::steal(PyList_New(quantity));
  if (!list) return {};
  for (std::size_t i = 0; i < quantity; ++i) {
    const bool on = i / 8 < bytes.size() && ((bytes[i / 8] >> (i % 8)) & 1);
    Ref member = coil_state_member(on ? core::CoilState::On : core::CoilState::Off);
    if (!member) return {};
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), member.release());
  }
  return list;
}

// Calls the handler for the request (GIL held): its value, or nullptr with an exception set.
Ref call_handler(PyObject* app, const ServerRequest& request) {
  using Q = ServerRequest;
  auto call = [app](const char* name, const char* format, auto... args) {
    return Ref::steal(PyObject_CallMethod(app, name, format, args...));
  };
  return std::visit(
      [&](const auto& r) -> Ref {
        using T = std::decay_t<decltype(r)>;
        if constexpr (std::is_same_v<T, Q::ReadCoils>)
          return call("handle_read_coils", "(ii)", r.address, r.quantity);
        else if constexpr (std::is_same_v<T, Q::ReadDiscreteInputs>)
          return call("handle_read_discrete_inputs", "(ii)", r.address, r.quantity);
        else if constexpr (std::is_same_v<T, Q::ReadHoldingRegisters>)
          return call("handle_read_holding_registers", "(ii)", r.address, r.quantity);
        else if constexpr (std::is_same_v<T, Q::ReadInputRegisters>)
          return call("handle_read_input_registers", "(ii)", r.address, r.quantity);
        else if constexpr (std::is_same_v<T, Q::WriteSingleCoil>) {
          Ref state = coil_state_member(r.state);
          if (!state) return {};
          return call("handle_write_coil", "(iO)", r.address, state.get());
        } else if constexpr (std::is_same_v<T, Q::WriteSingleRegister>)
          return call("handle_write_register", "(ii)", r.address, r.value);
        else if constexpr (std::is_same_v<T, Q::ReadExceptionStatus>)
          return call("handle_read_exception_status", "()");
        else if constexpr (std::is_same_v<T, Q::Diagnostics>)
          return call("handle_diagnostics", "(ii)", r.sub_function, r.data);
        else if constexpr (std::is_same_v<T, Q::GetCommEventCounter>)
          return call("handle_get_comm_event_counter", "()");
        else if constexpr (std::is_same_v<T, Q::GetCommEventLog>)
          return call("handle_get_comm_event_log", "()");
        else if constexpr (std::is_same_v<T, Q::WriteMultipleCoils>) {
          Ref values = coil_list(r.bytes.view(), r.quantity);
          if (!values) return {};
          return call("handle_write_coils", "(iO)", r.address, values.get());
        } else if constexpr (std::is_same_v<T, Q::WriteMultipleRegisters>) {
          Ref values = list_of_u16(r.bytes.view());
          if (!values) return {};
          return call("handle_write_registers", "(iO)", r.address, values.get());
        } else if constexpr (std::is_same_v<T, Q::ReportServerId>)
          return call("handle_report_server_id", "()");
        else if constexpr (std::is_same_v<T, Q::MaskWriteRegister>)
          return call("handle_mask_write_register", "(iii)", r.address, r.and_mask, r.or_mask);
        else if constexpr (std::is_same_v<T, Q::ReadWriteMultipleRegisters>) {
          Ref values = list_of_u16(r.bytes.view());
          if (!values) return {};
          return call("handle_read_write_registers", "(iiiO)", r.read_address, r.read_quantity,
                      r.write_address, values.get());
        } else if constexpr (std::is_same_v<T, Q::ReadFifoQueue>)
          return call("handle_read_fifo_queue", "(i)", r.pointer_address);
        else {
          PyErr_SetString(PyExc_RuntimeError, "request has no handler");
          return {};
        }
      },
      request.body);
}

// Python sequence → values, as the result conversions need them (GIL held).
std::optional<std::vector<std::uint16_t>> registers_of(PyObject* value) {
  return to_list<std::uint16_t>(value, "result", to_u16);
}

// A payload longer than any answer: the encoder refuses it, which ends the session. It is
// never replaced by an empty one.
core::ByteBuffer overlong() {
  core::ByteBuffer out;
  out.size = out.kCapacity;
  return out;
}

std::optional<core::ByteBuffer> payload_of(PyObject* value) {
  core::ByteBuffer out;
  if (PyBytes_Check(value) || PyByteArray_Check(value)) {
    Py_buffer view;
    if (PyObject_GetBuffer(value, &view, PyBUF_SIMPLE) < 0) return std::nullopt;
    const bool fits = out.assign(
        {static_cast<const std::uint8_t*>(view.buf), static_cast<std::size_t>(view.len)});
    PyBuffer_Release(&view);
    return fits ? out : overlong();
  }
  auto bytes = to_list<std::uint8_t>(value, "result", to_u8);
  if (!bytes) return std::nullopt;
  return out.assign(*bytes) ? out : overlong();
}

std::optional<std::pair<std::uint16_t, std::uint16_t>> pair_of(PyObject* value) {
  if (!PyTuple_Check(value) || PyTuple_GET_SIZE(value) != 2) {
    PyErr_Format(PyExc_TypeError, "expected a tuple of two ints, not %.50s",
                 Py_TYPE(value)->tp_name);
    return std::nullopt;
  }
  auto first = to_u16(PyTuple_GET_ITEM(value, 0));
  auto second = first ? to_u16(PyTuple_GET_ITEM(value, 1)) : std::nullopt;
  if (!second) return std::nullopt;
  return std::pair{*first, *second};
}

core::ByteBuffer pack_registers(const std::vector<std::uint16_t>& values) {
  core::ByteBuffer out;
  for (auto v : values)
    if (!out.push(static_cast<std::uint8_t>(v >> 8)) || !out.push(static_cast<std::uint8_t>(v)))
      return overlong();
  return out;
}

// The handler's value as an answer; nullopt with an exception set when it does not convert.
std::optional<ServerResponse> convert(const ServerRequest& request, PyObject* value) {
  using Q = ServerRequest;
  using S = ServerResponse;
  const std::uint8_t function = core::function_code_of(request);
  auto bits = [&](std::uint16_t count) -> std::optional<S> {
    auto states = to_list<core::CoilState>(
        value, "result", [](PyObject* item) { return coil_state_from(item, "result"); });
    if (!states) return std::nullopt;
    if (states->size() != count) return exception_response(function, 2);
    core::ByteBuffer out;
    for (std::size_t i = 0; i < states->size(); i += 8) {
      std::uint8_t byte = 0;
      for (std::size_t b = 0; b < 8 && i + b < states->size(); ++b)
        if ((*states)[i + b] == core::CoilState::On) byte |= static_cast<std::uint8_t>(1u << b);
      if (!out.push(byte)) return S{S::ByteCounted{function, overlong()}};
    }
    return S{S::ByteCounted{function, out}};
  };
  auto registers = [&](std::uint16_t count) -> std::optional<S> {
    auto values = registers_of(value);
    if (!values) return std::nullopt;
    if (values->size() != count) return exception_response(function, 2);
    return S{S::ByteCounted{function, pack_registers(*values)}};
  };
  return std::visit(
      [&](const auto& r) -> std::optional<S> {
        using T = std::decay_t<decltype(r)>;
        if constexpr (std::is_same_v<T, Q::ReadCoils> || std::is_same_v<T, Q::ReadDiscreteInputs>)
          return bits(r.quantity);
        else if constexpr (std::is_same_v<T, Q::ReadHoldingRegisters> ||
                           std::is_same_v<T, Q::ReadInputRegisters>)
          return registers(r.quantity);
        else if constexpr (std::is_same_v<T, Q::ReadWriteMultipleRegisters>)
          return registers(r.read_quantity);
        else if constexpr (std::is_same_v<T, Q::ReadFifoQueue>) {
          auto values = registers_of(value);
          if (!values) return std::nullopt;
          if (values->size() > 31) return exception_response(function, 2);
          std::vector<std::uint16_t> fifo{static_cast<std::uint16_t>(values->size())};
          fifo.insert(fifo.end(), values->begin(), values->end());
          return S{S::FifoData{pack_registers(fifo)}};
        } else if constexpr (std::is_same_v<T, Q::ReadExceptionStatus>) {
          auto status = to_u8(value);
          if (!status) return std::nullopt;
          return S{S::StatusByte{0x07, *status}};
        } else if constexpr (std::is_same_v<T, Q::Diagnostics>) {
          auto echo = pair_of(value);
          if (!echo) return std::nullopt;
          return S{S::DiagnosticsEcho{echo->first, echo->second}};
        } else if constexpr (std::is_same_v<T, Q::GetCommEventCounter>) {
          auto counter = pair_of(value);
          if (!counter) return std::nullopt;
          return S{S::TwoFieldEcho{0x0B, counter->first, counter->second}};
        } else if constexpr (std::is_same_v<T, Q::GetCommEventLog> ||
                             std::is_same_v<T, Q::ReportServerId>) {
          auto payload = payload_of(value);
          if (!payload) return std::nullopt;
          return S{S::ByteCounted{function, *payload}};
        } else if constexpr (std::is_same_v<T, Q::WriteSingleCoil>) {
          return S{S::CoilEcho{
              r.address, static_cast<std::uint16_t>(r.state == core::CoilState::On ? 0xFF00 : 0)}};
        } else if constexpr (std::is_same_v<T, Q::WriteSingleRegister>) {
          return S{S::RegisterEcho{r.address, r.value}};
        } else if constexpr (std::is_same_v<T, Q::WriteMultipleCoils> ||
                             std::is_same_v<T, Q::WriteMultipleRegisters>) {
          return S{S::TwoFieldEcho{function, r.address, r.quantity}};
        } else if constexpr (std::is_same_v<T, Q::MaskWriteRegister>) {
          return S{S::MaskWriteEcho{r.address, r.and_mask, r.or_mask}};
        } else {
          return S{S::RawException{function, 1}};
        }
      },
      request.body);
}

// Conversion of a value (GIL held), with every failure through the exception path.
ServerResponse answer_from(const ServerRequest& request, PyObject* value) {
  auto response = convert(request, value);
  if (!response) return exception_path(request);
  return std::move(*response);
}

std::atomic<bool> g_exiting{false};

}  // namespace

bool python_exiting() {
  return g_exiting.load(std::memory_order_acquire) || _Py_IsFinalizing();
}

namespace {

bool interpreter_gone() {
  return python_exiting();
}

class ModbusAppHandle : public engine::ServerApplication {
 public:
  ModbusAppHandle(PyObject* app, PyObject* loop)
      : app_(Ref::borrow(app)), loop_(Ref::borrow(loop)) {}
  ~ModbusAppHandle() override {
    if (interpreter_gone()) {
      // Leaked on purpose: the interpreter is going away.
      app_.release();
      loop_.release();
      return;
    }
    EngineGil gil;
    app_ = Ref();
    loop_ = Ref();
  }

  std::optional<ServerResponse> handle(ServerRequest& request, Done done) override {
    using Q = ServerRequest;
    if (std::holds_alternative<Q::ReadFileRecord>(request.body) ||
        std::holds_alternative<Q::WriteFileRecord>(request.body) ||
        std::holds_alternative<Q::EncapsulatedInterfaceTransport>(request.body))
      return ServerResponse{ServerResponse::RawException{core::function_code_of(request), 1}};
    if (interpreter_gone()) return exception_response(core::function_code_of(request), 4);
    EngineGil gil;
    return handle_locked(request, done);
  }

  void on_exception(core::TransactionId txn, core::UnitId unit, std::uint8_t function,
                    std::uint8_t code) override {
    if (interpreter_gone()) return;
    EngineGil gil;
    Ref result = Ref::steal(
        PyObject_CallMethod(app_.get(), "on_exception", "(iiii)", txn, unit, function, code));
    if (!result) PyErr_PrintEx(0);
  }

 private:
  // The answer now, or nullopt when a coroutine will give it later through `done`.
  std::optional<ServerResponse> handle_locked(ServerRequest& request, Done& done) {
    Ref value = call_handler(app_.get(), request);
    if (!value) return exception_path(request);
    Ref await = Ref::steal(PyObject_GetAttrString(value.get(), "__await__"));
    if (!await) {
      PyErr_Clear();
      return answer_from(request, value.get());
    }
    if (!loop_ || loop_.get() == Py_None) {
      // Never to be awaited: close it so that it does not warn when collected.
      Ref closed = Ref::steal(PyObject_CallMethod(value.get(), "close", nullptr));
      if (!closed) PyErr_Clear();
      PyErr_SetString(PyExc_RuntimeError,
                      "Async handlers are only supported when running within an active asyncio "
                      "event loop.");
      return exception_path(request);
    }
    return await_on_loop(request, done, std::move(value));
  }

  std::optional<ServerResponse> await_on_loop(ServerRequest& request, Done& done, Ref awaitable);

  Ref app_;
  Ref loop_;
};

// --------------------------------------------------------------------------------------------
// Coroutine handlers: scheduled on the captured loop, finished by a done-callback there.

struct AwaitCall {
  PyObject_HEAD PyObject* awaitable;
  Pending* pending;
};

PyObject* g_await_type = nullptr;

void await_dealloc(PyObject* self) {
  auto* call = reinterpret_cast<AwaitCall*>(self);
  Py_XDECREF(call->awaitable);
  if (call->pending) {
    // Never completed (the loop went away): answer rather than leave the session waiting.
    auto pending = std::unique_ptr<Pending>(call->pending);
    pending->done(exception_response(core::function_code_of(pending->request), 4));
  }
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

// On the loop: the task finished.
PyObject* await_finished(PyObject* self, PyObject* task) {
  auto* call = reinterpret_cast<AwaitCall*>(self);
  if (!call->pending) Py_RETURN_NONE;
  std::unique_ptr<Pending> pending(call->pending);
  call->pending = nullptr;
  Ref value = Ref::steal(PyObject_CallMethod(task, "result", nullptr));
  ServerResponse response =
      value ? answer_from(pending->request, value.get()) : exception_path(pending->request);
  pending->done(std::move(response));
  Py_RETURN_NONE;
}

// On the loop: wrap the awaitable as a task there.
PyObject* await_start(PyObject* self, PyObject*) {
  auto* call = reinterpret_cast<AwaitCall*>(self);
  Ref asyncio = Ref::steal(PyImport_ImportModule("asyncio"));
  Ref task =
      asyncio
          ? Ref::steal(PyObject_CallMethod(asyncio.get(), "ensure_future", "O", call->awaitable))
          : Ref();
  Ref finished = task ? Ref::steal(PyObject_GetAttrString(self, "_finished")) : Ref();
  Ref added =
      finished
          ? Ref::steal(PyObject_CallMethod(task.get(), "add_done_callback", "O", finished.get()))
          : Ref();
  if (!added && call->pending) {
    std::unique_ptr<Pending> pending(call->pending);
    call->pending = nullptr;
    pending->done(exception_path(pending->request));
  }
  PyErr_Clear();
  Py_RETURN_NONE;
}

PyMethodDef g_await_methods[] = {
    {"_start", await_start, METH_NOARGS, nullptr},
    {"_finished", await_finished, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

std::optional<ServerResponse> ModbusAppHandle::await_on_loop(ServerRequest& request, Done& done,
                                                             Ref awaitable) {
  if (g_await_type == nullptr) {
    PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(await_dealloc)},
        {Py_tp_methods, g_await_methods},
        {0, nullptr},
    };
    PyType_Spec spec = {"tessaly._AwaitHandler", sizeof(AwaitCall), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
    g_await_type = PyType_FromSpec(&spec);
    if (g_await_type == nullptr) return exception_path(request);
  }
  auto* call = PyObject_New(AwaitCall, reinterpret_cast<PyTypeObject*>(g_await_type));
  if (call == nullptr) return exception_path(request);
  call->awaitable = awaitable.release();
  call->pending = new Pending{request, std::move(done)};  // the session keeps its own
  Ref owned = Ref::steal(reinterpret_cast<PyObject*>(call));
  Ref start = Ref::steal(PyObject_GetAttrString(owned.get(), "_start"));
  Ref scheduled =
      start ? Ref::steal(PyObject_CallMethod(loop_.get(), "call_soon_threadsafe", "O", start.get()))
            : Ref();
  if (!scheduled) {
    std::unique_ptr<Pending> pending(call->pending);
    call->pending = nullptr;
    ServerResponse response = exception_path(pending->request);
    pending->done(std::move(response));
  }
  return std::nullopt;
}

}  // namespace

void set_python_exiting() {
  g_exiting.store(true, std::memory_order_release);
}

PyObject* modbus_app_type() {
  if (g_app_type != nullptr) return g_app_type;
  static std::vector<PyMethodDef> methods;
  for (std::size_t i = 0; i < kMethodCount; ++i)
    methods.push_back({kMethods[i].name,
                       reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(kBaseFunctions[i])),
                       METH_FASTCALL | METH_KEYWORDS, kMethods[i].doc});
  methods.push_back({"on_exception",
                     reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(base_on_exception)),
                     METH_FASTCALL | METH_KEYWORDS,
                     "on_exception($self, txn_id, unit_id, function_code, exception_code)\n--\n\n"
                     "Lifecycle hook fired when an exception response is sent.\n\n"
                     "Default implementation is a no-op. Override in Python to log or\n"
                     "observe exception traffic."});
  methods.push_back({nullptr, nullptr, 0, nullptr});
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(kAppDoc)},
      {Py_tp_methods, methods.data()},
      {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
      {0, nullptr},
  };
  PyType_Spec spec = {"ModbusApp", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
                      slots};
  g_app_type = PyType_FromSpec(&spec);
  return g_app_type;
}

std::shared_ptr<engine::ServerApplication> make_app_handle(PyObject* app, PyObject* loop) {
  return std::make_shared<ModbusAppHandle>(app, loop);
}

Ref server_error_to_exception(const engine::ServerError& error) {
  using K = engine::ServerErrorKind;
  switch (error.kind) {
    case K::ClientClosed: {
      Ref args = Ref::steal(Py_BuildValue("(s)", "Client connection closed"));
      return Ref::steal(
          PyObject_CallObject(exception_class(ExceptionClass::ModbusConnectionError), args.get()));
    }
    case K::Framing: {
      std::string text = "Framing error: ";
      text += core::error_text(error.core).view();
      Ref args = Ref::steal(Py_BuildValue("(s)", text.c_str()));
      return Ref::steal(
          PyObject_CallObject(exception_class(ExceptionClass::ModbusProtocolError), args.get()));
    }
    case K::Bind: {
      std::string text = "Server bind failed: " + error.bind_error;
      Ref args = Ref::steal(Py_BuildValue("(s)", text.c_str()));
      return Ref::steal(
          PyObject_CallObject(exception_class(ExceptionClass::ModbusConfigError), args.get()));
    }
    case K::Core:
      break;
  }
  return core_error_to_exception(error.core);
}

}  // namespace tessaly::py
