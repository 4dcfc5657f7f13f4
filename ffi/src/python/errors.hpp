// The exception hierarchy and the one place where engine errors become Python exceptions.
#pragma once

#include "data_unit/common/error.hpp"
#include "python/ref.hpp"

namespace tessaly::py {

enum class ExceptionClass {
  ModbusError,
  ModbusTimeout,
  ModbusConnectionError,
  ModbusProtocolError,
  ModbusDeviceException,
  ModbusConfigError,
  ModbusInvalidArgument,
};
inline constexpr int kExceptionClassCount = 7;

// Borrowed reference to the class, created on first use and cached for the process;
// NULL with a Python error set if creation failed.
PyObject* exception_class(ExceptionClass which);
const char* exception_short_name(ExceptionClass which);

// A new exception instance for the error (NULL with a Python error set on failure).
Ref core_error_to_exception(core::CoreError error);

// Sets the Python error for `error`; always returns nullptr so callers can `return raise_...`.
PyObject* raise_core_error(core::CoreError error);
// Raises `which` with args == (message,); returns nullptr.
PyObject* raise_message(ExceptionClass which, const char* message);
// Raises an already built instance; returns nullptr.
PyObject* raise_instance(Ref instance);

}  // namespace tessaly::py
