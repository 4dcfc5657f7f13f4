// The Python surface of a client request: argument conversion into a ClientRequest, and the
// conversion of its answer into Python objects.
#pragma once

#include <array>
#include <optional>

#include "python/client/helpers.hpp"

namespace tessaly::py {

// Each Python client method: its name, parameters, how to build the request from the parsed
// arguments and how to convert the answer.
struct ClientOperation {
  const char* name;
  std::array<const char*, 4> params;
  std::size_t count;     // parameters used
  std::size_t required;  // leading parameters that must be given
  // Builds the request body from the parsed arguments (borrowed; nullptr when omitted). Empty
  // with an exception set on bad arguments.
  std::optional<core::ClientRequest::Body> (*build)(PyObject** args);
  // Converts the answer; `request` is the request that was sent, for the conversions that echo
  // it (those with `needs_request`; the others are given an empty request).
  Ref (*convert)(engine::ClientResult<core::ClientResponse> result,
                 const core::ClientRequest& request);
  bool needs_request = false;
};

enum class OperationId {
  ReadCoils,
  WriteCoil,
  WriteCoils,
  ReadDiscreteInputs,
  ReadHoldingRegisters,
  ReadInputRegisters,
  WriteRegister,
  WriteRegisters,
  MaskWriteRegister,
  ReadWriteRegisters,
  ReadFifoQueue,
  ReadFileRecord,
  WriteFileRecord,
  ReadExceptionStatus,
  GetEventCounter,
  Diagnostics,
  GetCommEventLog,
  ReportServerId,
  GetDeviceIdentification,
};
inline constexpr int kOperationCount = 19;

const ClientOperation& client_operation(OperationId id);

}  // namespace tessaly::py
