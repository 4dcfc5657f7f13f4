// TcpServer, AsyncTcpServer, SerialServer and AsyncSerialServer.
#pragma once

#include "python/ref.hpp"

namespace tessaly::py {

PyObject* tcp_server_type(bool async);
PyObject* serial_server_type(bool async);

}  // namespace tessaly::py
