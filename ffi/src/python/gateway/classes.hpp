// GatewayEventHandler, TcpGateway and AsyncTcpGateway.
#pragma once

#include "python/ref.hpp"

namespace tessaly::py {

PyObject* gateway_event_handler_type();
PyObject* gateway_type(bool async);

}  // namespace tessaly::py
