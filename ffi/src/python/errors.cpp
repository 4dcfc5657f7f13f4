// Exception classes of tessaly and the conversion of CoreError values into them.
#include "python/errors.hpp"

#include <array>
#include <cstdio>

namespace tessaly::py {

namespace {

struct ExceptionInfo {
  const char* qualified_name;
  const char* short_name;
  int base;  // index of the base class, -1 for Exception
  const char* doc;
};

constexpr std::array<ExceptionInfo, kExceptionClassCount> kExceptions = {{
    {"tessaly.ModbusError", "ModbusError", -1, "Base class for all tessaly exceptions."},
    {"tessaly.ModbusTimeout", "ModbusTimeout", 0,
     "Raised when a Modbus request times out before a response is received."},
    {"tessaly.ModbusConnectionError", "ModbusConnectionError", 0,
     "Raised when the connection to the Modbus device fails or is lost."},
    {"tessaly.ModbusProtocolError", "ModbusProtocolError", 0,
     "Raised when a Modbus protocol framing or parse error occurs."},
    {"tessaly.ModbusDeviceException", "ModbusDeviceException", 3,
     "Raised when the remote device returns a Modbus exception response (exception code in "
     "args[1])."},
    {"tessaly.ModbusConfigError", "ModbusConfigError", 0,
     "Raised when client or server configuration is invalid (e.g. bad port, bad unit ID at "
     "construction)."},
    {"tessaly.ModbusInvalidArgument", "ModbusInvalidArgument", 0,
     "Raised when a per-request argument is out of range or otherwise invalid (e.g. address out "
     "of range, invalid quantity, bad coil value, invalid mask)."},
}};

// Guarded by the GIL; never released, like the classes themselves.
std::array<PyObject*, kExceptionClassCount> g_classes{};

ExceptionClass class_for(core::CoreErrorKind kind) {
  using K = core::CoreErrorKind;
  switch (kind) {
    case K::ParseError:
    case K::BasicParseError:
    case K::InvalidPduLength:
    case K::InvalidAduLength:
    case K::UnexpectedResponse:
    case K::ChecksumError:
      return ExceptionClass::ModbusProtocolError;
    case K::Timeout:
      return ExceptionClass::ModbusTimeout;
    case K::ModbusException:
      return ExceptionClass::ModbusDeviceException;
    case K::IoError:
    case K::ConnectionLost:
    case K::ConnectionFailed:
    case K::ConnectionClosed:
      return ExceptionClass::ModbusConnectionError;
    case K::InvalidAddress:
    case K::InvalidOffset:
    case K::InvalidDataLen:
    case K::InvalidQuantity:
    case K::InvalidValue:
    case K::InvalidAndMask:
    case K::InvalidOrMask:
    case K::InvalidByteCount:
      return ExceptionClass::ModbusInvalidArgument;
    case K::InvalidSlaveAddress:
    case K::InvalidConfiguration:
    case K::InvalidBroadcastAddress:
      return ExceptionClass::ModbusConfigError;
    default:
      return ExceptionClass::ModbusError;
  }
}

Ref instantiate(ExceptionClass which, PyObject* args_tuple) {
  PyObject* cls = exception_class(which);
  if (cls == nullptr || args_tuple == nullptr) return {};
  return Ref::steal(PyObject_CallObject(cls, args_tuple));
}

}  // namespace

PyObject* exception_class(ExceptionClass which) {
  const auto index = static_cast<std::size_t>(which);
  if (g_classes[index] != nullptr) return g_classes[index];
  const ExceptionInfo& info = kExceptions[index];
  PyObject* base = PyExc_Exception;
  if (info.base >= 0) {
    base = exception_class(static_cast<ExceptionClass>(info.base));
    if (base == nullptr) return nullptr;
  }
  PyObject* cls = PyErr_NewExceptionWithDoc(info.qualified_name, info.doc, base, nullptr);
  // Creation may run Python code and let another thread in; keep whichever finished first.
  if (cls != nullptr && g_classes[index] == nullptr) {
    g_classes[index] = cls;
  } else {
    Py_XDECREF(cls);
  }
  return g_classes[index];
}

const char* exception_short_name(ExceptionClass which) {
  return kExceptions[static_cast<std::size_t>(which)].short_name;
}

Ref core_error_to_exception(core::CoreError error) {
  const ExceptionClass which = class_for(error.kind);
  if (error.kind == core::CoreErrorKind::ModbusException) {
    char message[40];
    std::snprintf(message, sizeof message, "Device exception code 0x%02X",
                  static_cast<unsigned>(error.payload));
    Ref args = Ref::steal(Py_BuildValue("(si)", message, static_cast<int>(error.payload)));
    return instantiate(which, args.get());
  }
  const char* text = nullptr;
  core::ErrorText name = core::error_text(error);
  Ref args;
  if (error.kind == core::CoreErrorKind::Timeout) {
    text = "Request timed out";
    args = Ref::steal(Py_BuildValue("(s)", text));
  } else {
    args = Ref::steal(Py_BuildValue("(s#)", name.chars, static_cast<Py_ssize_t>(name.len)));
  }
  return instantiate(which, args.get());
}

PyObject* raise_instance(Ref instance) {
  if (instance)
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(instance.get())), instance.get());
  return nullptr;
}

PyObject* raise_core_error(core::CoreError error) {
  return raise_instance(core_error_to_exception(error));
}

PyObject* raise_message(ExceptionClass which, const char* message) {
  Ref args = Ref::steal(Py_BuildValue("(s)", message));
  return raise_instance(instantiate(which, args.get()));
}

}  // namespace tessaly::py
