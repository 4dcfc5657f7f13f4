// CoilState and SerialMode: closed two-member enumerations with cached members.
#pragma once

#include <optional>

#include "data_unit/common/pdu.hpp"
#include "models/coil/model.hpp"
#include "python/ref.hpp"

namespace tessaly::py {

// Borrowed type objects, created once per process (NULL with an error set on failure).
PyObject* coil_state_type();
PyObject* serial_mode_type();

// New references to the cached members.
Ref coil_state_member(core::CoilState state);
Ref serial_mode_member(core::SerialMode mode);

// Accepts only CoilState members; anything else raises TypeError as argument parsing does.
std::optional<core::CoilState> coil_state_from(PyObject* object, const char* argument);

// A SerialMode member or the texts "rtu"/"ascii" in any case; otherwise ModbusConfigError.
std::optional<core::SerialMode> parse_serial_mode(PyObject* object);

}  // namespace tessaly::py
