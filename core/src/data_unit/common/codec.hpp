// Request and response codecs for both directions: the client encodes requests and decodes
// responses, the server decodes requests and encodes responses.
#pragma once

#include <span>

#include "data_unit/common/frame.hpp"
#include "data_unit/common/records.hpp"

namespace tessaly::core {

// Builds the request PDU (checking every limit first) and frames it.
Status encode_request(Frame& out, const ClientRequest& request, TransactionId transaction_id,
                      TransportKind kind, SerialMode mode);
Status encode_request_pdu(PduBytes& out, const ClientRequest::Body& request);

// Outer error: the frame itself could not be decoded. Inner error: tied to the transaction.
Result<TaggedResponse> decode_response(std::span<const std::uint8_t> frame, TransportKind kind,
                                       SerialMode mode);
Result<ClientResponse> decode_response_pdu(const Pdu& pdu);

// What a pending request must remember to re-base its response: the read it asked for.
struct RequestContext {
  enum class Kind : std::uint8_t {
    Other,
    ReadCoils,
    ReadDiscreteInputs,
    ReadHoldingRegisters,
    ReadInputRegisters,
    ReadWriteMultipleRegisters,
    ReadFifoQueue,
  };
  Kind kind = Kind::Other;
  std::uint16_t address = 0;
  std::uint16_t quantity = 0;
};
RequestContext request_context(const ClientRequest& request);

// Re-bases a read response on the pending request's address and quantity.
ClientResponse attach_request_context(ClientResponse response, const RequestContext& request);
inline ClientResponse attach_request_context(ClientResponse response,
                                             const ClientRequest& request) {
  return attach_request_context(std::move(response), request_context(request));
}

// The function code of a decoded request.
std::uint8_t function_code_of(const ServerRequest& request);

Result<ServerRequest> decode_request(UnitId unit, TransactionId transaction_id, const Pdu& pdu);

Status encode_response(Frame& out, const ServerResponse& response, TransactionId transaction_id,
                       UnitId unit, TransportKind kind, SerialMode mode);
Status encode_response_pdu(PduBytes& out, const ServerResponse& response);

// Known diagnostics sub-functions of a response.
bool is_known_diagnostics_sub_function(std::uint16_t sub_function);
inline bool is_accepted_conformity_level(std::uint8_t level) {
  return (level >= 1 && level <= 3) || (level >= 0x81 && level <= 0x83);
}

}  // namespace tessaly::core
