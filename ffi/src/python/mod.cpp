// The extension module tessaly._tessaly: multi-phase initialisation and attribute order.
#include "python/client/classes.hpp"
#include "python/enums.hpp"
#include "python/gateway/classes.hpp"
#include "python/errors.hpp"
#include "python/server/app.hpp"
#include "python/server/classes.hpp"
#include "python/version.hpp"
#include "runtime/runtime.hpp"

namespace tessaly::py {

namespace {

int add_type(PyObject* module, const char* name, PyObject* type) {
  if (type == nullptr) return -1;
  return PyModule_AddObjectRef(module, name, type);
}

// Runs from Python's own atexit, while the interpreter is still whole: the runtime's workers are
// stopped then, so none of them calls into Python (handlers, hooks) once it is finalizing.
PyObject* shutdown(PyObject*, PyObject*) {
  set_python_exiting();
  Py_BEGIN_ALLOW_THREADS;
  engine::stop_runtime();
  Py_END_ALLOW_THREADS;
  Py_RETURN_NONE;
}

PyMethodDef g_shutdown = {"_shutdown", shutdown, METH_NOARGS, nullptr};

int register_shutdown() {
  Ref atexit = Ref::steal(PyImport_ImportModule("atexit"));
  Ref function = Ref::steal(PyCFunction_New(&g_shutdown, nullptr));
  if (!atexit || !function) return -1;
  Ref registered = Ref::steal(PyObject_CallMethod(atexit.get(), "register", "O", function.get()));
  return registered ? 0 : -1;
}

int module_exec(PyObject* module) {
  if (register_shutdown() < 0) return -1;
  if (PyModule_AddStringConstant(module, "__version__", kVersion) < 0) return -1;
  for (int i = 0; i < kExceptionClassCount; ++i) {
    const auto which = static_cast<ExceptionClass>(i);
    PyObject* cls = exception_class(which);
    if (cls == nullptr || PyModule_AddObjectRef(module, exception_short_name(which), cls) < 0)
      return -1;
  }
  if (add_type(module, "CoilState", coil_state_type()) < 0) return -1;
  if (add_type(module, "SerialMode", serial_mode_type()) < 0) return -1;
  if (add_type(module, "AsyncTcpTransport", tcp_transport_type(true)) < 0) return -1;
  if (add_type(module, "AsyncTcpModbusClient", tcp_client_type(true)) < 0) return -1;
  if (add_type(module, "TcpTransport", tcp_transport_type(false)) < 0) return -1;
  if (add_type(module, "TcpModbusClient", tcp_client_type(false)) < 0) return -1;
  if (add_type(module, "AsyncRtuTransport", serial_transport_type(true, false)) < 0) return -1;
  if (add_type(module, "AsyncAsciiTransport", serial_transport_type(true, true)) < 0) return -1;
  if (add_type(module, "AsyncSerialModbusClient", serial_client_type(true)) < 0) return -1;
  if (add_type(module, "RtuTransport", serial_transport_type(false, false)) < 0) return -1;
  if (add_type(module, "AsciiTransport", serial_transport_type(false, true)) < 0) return -1;
  if (add_type(module, "SerialModbusClient", serial_client_type(false)) < 0) return -1;
  if (add_type(module, "ModbusApp", modbus_app_type()) < 0) return -1;
  if (add_type(module, "AsyncTcpServer", tcp_server_type(true)) < 0) return -1;
  if (add_type(module, "TcpServer", tcp_server_type(false)) < 0) return -1;
  if (add_type(module, "AsyncSerialServer", serial_server_type(true)) < 0) return -1;
  if (add_type(module, "SerialServer", serial_server_type(false)) < 0) return -1;
  if (add_type(module, "GatewayEventHandler", gateway_event_handler_type()) < 0) return -1;
  if (add_type(module, "AsyncTcpGateway", gateway_type(true)) < 0) return -1;
  if (add_type(module, "TcpGateway", gateway_type(false)) < 0) return -1;
  return 0;
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT,
    "_tessaly",
    "Native entry point of the tessaly package: Modbus clients, servers and gateway.",
    0,
    nullptr,
    g_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace tessaly::py

PyMODINIT_FUNC PyInit__tessaly() {
  return PyModuleDef_Init(&tessaly::py::g_module);
}
