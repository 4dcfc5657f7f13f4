// The transport and client classes: one implementation for the blocking and asyncio, TCP and
// serial forms, and the type objects that differ only in names and docstrings.
#pragma once

#include "python/ref.hpp"

namespace tessaly::py {

// Borrowed type objects, created once (nullptr with an exception set on failure).
PyObject* tcp_transport_type(bool async);
PyObject* tcp_client_type(bool async);
PyObject* serial_transport_type(bool async, bool ascii);
PyObject* serial_client_type(bool async);

}  // namespace tessaly::py
