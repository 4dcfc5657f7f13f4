// ModbusApp, the Python base class of server applications, and the bridge that serves
// requests with an instance of it.
#pragma once

#include <memory>

#include "python/ref.hpp"
#include "server/session.hpp"

namespace tessaly::py {

// Borrowed type object, created once (nullptr with an exception set on failure).
PyObject* modbus_app_type();

// The engine's view of one ModbusApp instance for one run; `loop` (may be null) is the event
// loop on which coroutine handlers are awaited.
std::shared_ptr<engine::ServerApplication> make_app_handle(PyObject* app, PyObject* loop);

// Set once Python has begun to exit; from then on no engine thread calls into Python.
void set_python_exiting();
bool python_exiting();

// ServerError → exception instance.
Ref server_error_to_exception(const engine::ServerError& error);

}  // namespace tessaly::py
