// Client side: request encoding, response decoding and re-basing reads on their request.
#include <algorithm>
#include <optional>

#include "data_unit/common/codec.hpp"
#include "data_unit/common/overloaded.hpp"

namespace tessaly::core {

namespace {

using E = CoreErrorKind;

Status check_quantity(std::size_t quantity, std::size_t max) {
  if (quantity == 0 || quantity > max) return fail(E::InvalidQuantity);
  return {};
}

// The shared layout address, quantity, byte count, data.
Status write_counted(Writer& w, std::uint16_t address, std::uint16_t quantity,
                     std::span<const std::uint8_t> data) {
  if (data.size() > 255) return fail(E::InvalidByteCount);
  if (data.size() > 247) return fail(E::BufferTooSmall);
  w.u16(address);
  w.u16(quantity);
  w.u8(static_cast<std::uint8_t>(data.size()));
  w.bytes(data);
  return {};
}

Status write_counted_words(Writer& w, std::uint16_t address, std::span<const std::uint16_t> words) {
  std::array<std::uint8_t, 2 * kWordListCapacity> bytes;
  Writer packed(bytes);
  packed.words(words);
  return write_counted(w, address, static_cast<std::uint16_t>(words.size()),
                       {bytes.data(), packed.pos()});
}

Status encode_file_headers_check(Writer& w) {
  // A header written past the 251st data byte cannot fit any more.
  if (w.pos() > 1 + 251) return fail(E::BufferTooSmall);
  return {};
}

Status encode_body(Writer& w, const ClientRequest::Body& body) {
  return std::visit(Overloaded{
                        [&](const ClientRequest::ReadCoils& r) -> Status {
                          if (auto s = check_quantity(r.quantity, 2000); !s) return s;
                          w.u8(0x01), w.u16(r.address), w.u16(r.quantity);
                          return {};
                        },
                        [&](const ClientRequest::ReadDiscreteInputs& r) -> Status {
                          if (auto s = check_quantity(r.quantity, 2000); !s) return s;
                          w.u8(0x02), w.u16(r.address), w.u16(r.quantity);
                          return {};
                        },
                        [&](const ClientRequest::ReadHoldingRegisters& r) -> Status {
                          if (auto s = check_quantity(r.quantity, 125); !s) return s;
                          w.u8(0x03), w.u16(r.address), w.u16(r.quantity);
                          return {};
                        },
                        [&](const ClientRequest::ReadInputRegisters& r) -> Status {
                          if (auto s = check_quantity(r.quantity, 125); !s) return s;
                          w.u8(0x04), w.u16(r.address), w.u16(r.quantity);
                          return {};
                        },
                        [&](const ClientRequest::WriteSingleCoil& r) -> Status {
                          w.u8(0x05), w.u16(r.address),
                              w.u16(r.state == CoilState::On ? 0xFF00 : 0x0000);
                          return {};
                        },
                        [&](const ClientRequest::WriteSingleRegister& r) -> Status {
                          w.u8(0x06), w.u16(r.address), w.u16(r.value);
                          return {};
                        },
                        [&](const ClientRequest::WriteMultipleCoils& r) -> Status {
                          if (auto s = check_quantity(r.coils.quantity, 1968); !s) return s;
                          w.u8(0x0F);
                          return write_counted(w, r.address, r.coils.quantity, r.coils.packed());
                        },
                        [&](const ClientRequest::WriteMultipleRegisters& r) -> Status {
                          if (auto s = check_quantity(r.values.size, 123); !s) return s;
                          w.u8(0x10);
                          return write_counted_words(w, r.address, r.values.view());
                        },
                        [&](const ClientRequest::MaskWriteRegister& r) -> Status {
                          w.u8(0x16), w.u16(r.address), w.u16(r.and_mask), w.u16(r.or_mask);
                          return {};
                        },
                        [&](const ClientRequest::ReadWriteMultipleRegisters& r) -> Status {
                          if (auto s = check_quantity(r.read_quantity, 125); !s) return s;
                          if (auto s = check_quantity(r.values.size, 123); !s) return s;
                          if (2 * r.values.size > 243) return fail(E::BufferTooSmall);
                          w.u8(0x17), w.u16(r.read_address), w.u16(r.read_quantity);
                          return write_counted_words(w, r.write_address, r.values.view());
                        },
                        [&](const ClientRequest::ReadExceptionStatus&) -> Status {
                          w.u8(0x07);
                          return {};
                        },
                        [&](const ClientRequest::Diagnostics& r) -> Status {
                          if (r.data.size > 125) return fail(E::BufferTooSmall);
                          w.u8(0x08), w.u16(r.sub_function), w.words(r.data.view());
                          return {};
                        },
                        [&](const ClientRequest::GetCommEventCounter&) -> Status {
                          w.u8(0x0B);
                          return {};
                        },
                        [&](const ClientRequest::GetCommEventLog&) -> Status {
                          w.u8(0x0C);
                          return {};
                        },
                        [&](const ClientRequest::ReportServerId&) -> Status {
                          w.u8(0x11);
                          return {};
                        },
                        [&](const ClientRequest::ReadFileRecord& r) -> Status {
                          w.u8(0x14), w.u8(static_cast<std::uint8_t>(7 * r.list.items.size));
                          for (const auto& sub : r.list.items.view()) {
                            if (auto s = encode_file_headers_check(w); !s) return s;
                            w.u8(kFileReferenceType), w.u16(sub.file_number),
                                w.u16(sub.record_number), w.u16(sub.record_length);
                          }
                          return {};
                        },
                        [&](const ClientRequest::WriteFileRecord& r) -> Status {
                          std::size_t byte_count = 0;
                          for (const auto& sub : r.list.items.view())
                            byte_count += 7 + 2 * sub.record_length;
                          w.u8(0x15), w.u8(static_cast<std::uint8_t>(byte_count));
                          for (const auto& sub : r.list.items.view()) {
                            if (auto s = encode_file_headers_check(w); !s) return s;
                            w.u8(kFileReferenceType), w.u16(sub.file_number),
                                w.u16(sub.record_number), w.u16(sub.record_length);
                            w.words(r.list.values_of(sub));
                          }
                          return {};
                        },
                        [&](const ClientRequest::ReadFifoQueue& r) -> Status {
                          w.u8(0x18), w.u16(r.pointer_address);
                          return {};
                        },
                        [&](const ClientRequest::ReadDeviceIdentification& r) -> Status {
                          w.u8(0x2B), w.u8(0x0E), w.u8(r.code), w.u8(r.object_id);
                          return {};
                        },
                        [&](const ClientRequest::EncapsulatedInterfaceTransport& r) -> Status {
                          if (r.data.size >= 252) return fail(E::BufferTooSmall);
                          w.u8(0x2B), w.u8(r.mei_type), w.bytes(r.data.view());
                          return {};
                        },
                    },
                    body);
}

// Data must be non-empty and hold exactly the announced byte count.
Result<std::span<const std::uint8_t>> byte_counted(const Pdu& pdu) {
  if (pdu.data_len == 0) return fail(E::InvalidPduLength);
  if (std::size_t{pdu.data[0]} + 1 != pdu.data_len) return fail(E::InvalidByteCount);
  return pdu.payload().subspan(1);
}

template <typename Run>
Result<ClientResponse> decode_bits(const Pdu& pdu) {
  auto bytes = byte_counted(pdu);
  if (!bytes) return std::unexpected(bytes.error());
  auto run = Run::create(0, static_cast<std::uint16_t>(bytes->size() * 8));
  if (!run) return std::unexpected(run.error());
  std::copy(bytes->begin(), bytes->end(), run->values.begin());
  return ClientResponse{*run};
}

Result<Registers> decode_register_run(const Pdu& pdu) {
  auto bytes = byte_counted(pdu);
  if (!bytes) return std::unexpected(bytes.error());
  if (bytes->size() % 2 != 0) return fail(E::InvalidByteCount);
  auto run = Registers::create(0, static_cast<std::uint16_t>(bytes->size() / 2));
  if (!run) return std::unexpected(run.error());
  for (std::size_t i = 0; i < run->quantity; ++i) run->values[i] = read_u16(*bytes, 2 * i);
  return run;
}

Result<ClientResponse> decode_file_records(const Pdu& pdu) {
  auto bytes = byte_counted(pdu);
  if (!bytes) return std::unexpected(bytes.error());
  ClientResponse::FileRecordRead result{};
  auto& records = result.records;
  std::size_t pos = 0;
  while (pos < bytes->size()) {
    if (bytes->size() - pos < 2) return fail(E::ParseError);
    const std::size_t length = (*bytes)[pos];
    if ((*bytes)[pos + 1] != kFileReferenceType || length == 0 ||
        pos + 1 + length > bytes->size() || (length - 1) % 2 != 0)
      return fail(E::ParseError);
    const std::size_t words = (length - 1) / 2;
    if (words > 252 || records.items.size == kMaxFileSubRequests) return fail(E::BufferTooSmall);
    FileReadResponse::Slice slice{static_cast<std::uint16_t>(records.words.size),
                                  static_cast<std::uint16_t>(words)};
    for (std::size_t i = 0; i < words; ++i)
      if (!records.words.push(read_u16(*bytes, pos + 2 + 2 * i))) return fail(E::BufferTooSmall);
    records.items.push(slice);
    pos += 1 + length;
  }
  return ClientResponse{result};
}

Result<ClientResponse> decode_device_identification(const Pdu& pdu) {
  const auto data = pdu.payload();
  if (data.size() < 6) return fail(E::InvalidPduLength);
  const std::uint8_t count = data[5];
  std::size_t pos = 6;
  for (std::size_t i = 0; i < count; ++i) {
    if (pos + 2 > data.size()) return fail(E::InvalidPduLength);
    pos += 2 + std::size_t{data[pos + 1]};
    if (pos > data.size()) return fail(E::InvalidPduLength);
  }
  ClientResponse::DeviceIdentification id{};
  id.code = data[1];
  id.conformity_level = data[2];
  id.more_follows = data[3] == 0xFF;
  id.next_object_id = data[4];
  id.next_object_class = classify_object_id(data[4]);
  id.number_of_objects = count;
  id.objects.assign(data.subspan(6));
  if (id.code < 1 || id.code > 4) return fail(E::InvalidDeviceIdCode);
  if (!is_accepted_conformity_level(id.conformity_level)) return fail(E::ParseError);
  return ClientResponse{id};
}

Result<ClientResponse> decode_fifo(const Pdu& pdu) {
  const auto data = pdu.payload();
  if (data.size() < 4) return fail(E::InvalidPduLength);
  const std::uint16_t byte_count = read_u16(data, 0);
  if (byte_count != data.size() - 2) return fail(E::InvalidAduLength);
  const std::uint16_t count = read_u16(data, 2);
  if (2 * std::size_t{count} + 2 != byte_count) return fail(E::ParseError);
  if (count > kMaxFifoCount) return fail(E::BufferLenMissmatch);
  FifoQueue fifo;
  fifo.count = count;
  for (std::size_t i = 0; i < count; ++i) fifo.values[i] = read_u16(data, 4 + 2 * i);
  return ClientResponse{fifo};
}

Result<ClientResponse> decode_diagnostics(const Pdu& pdu) {
  const auto data = pdu.payload();
  if (data.size() < 2 || data.size() % 2 != 0) return fail(E::InvalidPduLength);
  const std::uint16_t sub = read_u16(data, 0);
  if (!is_known_diagnostics_sub_function(sub)) return fail(E::ReservedSubFunction, sub);
  ClientResponse::Diagnostics diag{};
  diag.sub_function = sub;
  for (std::size_t i = 2; i < data.size(); i += 2) diag.data.push(read_u16(data, i));
  return ClientResponse{diag};
}

}  // namespace

bool is_known_diagnostics_sub_function(std::uint16_t sub) {
  return sub <= 0x04 || (sub >= 0x0A && sub <= 0x12) || sub == 0x14;
}

Status encode_request_pdu(PduBytes& out, const ClientRequest::Body& request) {
  Writer w(out.items);
  if (auto s = encode_body(w, request); !s) return s;
  if (w.overflow()) return fail(E::BufferLenMissmatch);
  out.size = w.pos();
  return {};
}

Status encode_request(Frame& out, const ClientRequest& request, TransactionId transaction_id,
                      TransportKind kind, SerialMode mode) {
  PduBytes pdu;
  if (auto s = encode_request_pdu(pdu, request.body); !s) return s;
  return encode_frame(out, transaction_id, request.unit, pdu.view(), kind, mode);
}

Result<ClientResponse> decode_response_pdu(const Pdu& pdu) {
  if (pdu.is_exception) return fail(E::ModbusException, pdu.exception_code);
  const auto data = pdu.payload();
  switch (static_cast<FunctionCode>(pdu.function_code)) {
    case FunctionCode::ReadCoils:
      return decode_bits<Coils>(pdu);
    case FunctionCode::ReadDiscreteInputs:
      return decode_bits<DiscreteInputs>(pdu);
    case FunctionCode::ReadHoldingRegisters:
    case FunctionCode::ReadWriteMultipleRegisters: {
      auto run = decode_register_run(pdu);
      if (!run) return std::unexpected(run.error());
      return ClientResponse{*run};
    }
    case FunctionCode::ReadInputRegisters: {
      auto run = decode_register_run(pdu);
      if (!run) return std::unexpected(run.error());
      return ClientResponse{ClientResponse::InputRegisters{*run}};
    }
    case FunctionCode::WriteSingleCoil: {
      if (data.size() != 4) return fail(E::InvalidPduLength);
      Coils run = *Coils::create(read_u16(data, 0), 1);
      run.set_bit(0, read_u16(data, 2) == 0xFF00);
      return ClientResponse{run};
    }
    case FunctionCode::WriteSingleRegister:
      if (data.size() != 4) return fail(E::InvalidPduLength);
      return ClientResponse{ClientResponse::SingleRegister{read_u16(data, 0), read_u16(data, 2)}};
    case FunctionCode::WriteMultipleCoils: {
      if (data.size() != 4) return fail(E::InvalidPduLength);
      auto run = Coils::create(read_u16(data, 0), read_u16(data, 2));
      if (!run) return std::unexpected(run.error());
      return ClientResponse{*run};
    }
    case FunctionCode::WriteMultipleRegisters: {
      if (data.size() != 4) return fail(E::InvalidPduLength);
      auto run = Registers::create(read_u16(data, 0), read_u16(data, 2));
      if (!run) return std::unexpected(run.error());
      return ClientResponse{*run};
    }
    case FunctionCode::MaskWriteRegister:
      return ClientResponse{ClientResponse::MaskWriteRegister{}};
    case FunctionCode::ReadExceptionStatus:
      if (data.size() != 1) return fail(E::InvalidPduLength);
      return ClientResponse{ClientResponse::ExceptionStatus{data[0]}};
    case FunctionCode::Diagnostics:
      return decode_diagnostics(pdu);
    case FunctionCode::GetCommEventCounter:
      if (data.size() != 4) return fail(E::InvalidPduLength);
      return ClientResponse{ClientResponse::CommEventCounter{read_u16(data, 0), read_u16(data, 2)}};
    case FunctionCode::GetCommEventLog: {
      auto bytes = byte_counted(pdu);
      if (!bytes) return std::unexpected(bytes.error());
      if (bytes->size() < 6) return fail(E::InvalidByteCount);
      ClientResponse::CommEventLog log{};
      log.status = read_u16(*bytes, 0);
      log.event_count = read_u16(*bytes, 2);
      log.message_count = read_u16(*bytes, 4);
      log.events.assign(bytes->subspan(6));
      return ClientResponse{log};
    }
    case FunctionCode::ReportServerId: {
      auto bytes = byte_counted(pdu);
      if (!bytes) return std::unexpected(bytes.error());
      ClientResponse::ServerId id{};
      id.bytes.assign(*bytes);
      return ClientResponse{id};
    }
    case FunctionCode::ReadFileRecord:
      return decode_file_records(pdu);
    case FunctionCode::WriteFileRecord:
      return ClientResponse{ClientResponse::FileRecordWritten{}};
    case FunctionCode::ReadFifoQueue:
      return decode_fifo(pdu);
    case FunctionCode::EncapsulatedInterfaceTransport: {
      if (data.empty()) return fail(E::InvalidPduLength);
      if (data[0] == 0x0E) return decode_device_identification(pdu);
      if (data[0] != 0x0D) return fail(E::ReservedSubFunction, data[0]);
      ClientResponse::EncapsulatedInterface mei{};
      mei.mei_type = 0x0D;
      mei.data.assign(data.subspan(1));
      return ClientResponse{mei};
    }
    default:
      // Decoded PDUs only carry the nineteen codes; anything else is not a response of ours.
      return fail(E::UnsupportedFunction, pdu.function_code);
  }
}

Result<TaggedResponse> decode_response(std::span<const std::uint8_t> frame, TransportKind kind,
                                       SerialMode mode) {
  auto adu = decode_frame(frame, kind, mode);
  if (!adu) return std::unexpected(adu.error());
  return TaggedResponse{adu->transaction_id(), received_unit(*adu), decode_response_pdu(adu->pdu)};
}

namespace {

template <typename Run>
ClientResponse rebase_bits(ClientResponse response, const Run& decoded, std::uint16_t address,
                           std::uint16_t quantity) {
  auto run = Run::create(address, quantity);
  if (!run || !run->fill_packed(decoded.packed(), quantity)) return response;
  return ClientResponse{*run};
}

std::optional<Registers> rebase_registers(const Registers& decoded, std::uint16_t address,
                                          std::uint16_t quantity) {
  auto run = Registers::create(address, quantity);
  if (!run || !run->fill(decoded.values, quantity)) return std::nullopt;
  return *run;
}

}  // namespace

RequestContext request_context(const ClientRequest& request) {
  using K = RequestContext::Kind;
  return std::visit(Overloaded{
                        [](const ClientRequest::ReadCoils& r) {
                          return RequestContext{K::ReadCoils, r.address, r.quantity};
                        },
                        [](const ClientRequest::ReadDiscreteInputs& r) {
                          return RequestContext{K::ReadDiscreteInputs, r.address, r.quantity};
                        },
                        [](const ClientRequest::ReadHoldingRegisters& r) {
                          return RequestContext{K::ReadHoldingRegisters, r.address, r.quantity};
                        },
                        [](const ClientRequest::ReadInputRegisters& r) {
                          return RequestContext{K::ReadInputRegisters, r.address, r.quantity};
                        },
                        [](const ClientRequest::ReadWriteMultipleRegisters& r) {
                          return RequestContext{K::ReadWriteMultipleRegisters, r.read_address,
                                                r.read_quantity};
                        },
                        [](const ClientRequest::ReadFifoQueue& r) {
                          return RequestContext{K::ReadFifoQueue, r.pointer_address, 0};
                        },
                        [](const auto&) { return RequestContext{}; },
                    },
                    request.body);
}

ClientResponse attach_request_context(ClientResponse response, const RequestContext& request) {
  using K = RequestContext::Kind;
  auto& body = response.body;
  if (auto* coils = std::get_if<Coils>(&body)) {
    if (request.kind == K::ReadCoils)
      return rebase_bits(std::move(response), *coils, request.address, request.quantity);
  } else if (auto* inputs = std::get_if<DiscreteInputs>(&body)) {
    if (request.kind == K::ReadDiscreteInputs)
      return rebase_bits(std::move(response), *inputs, request.address, request.quantity);
  } else if (auto* regs = std::get_if<Registers>(&body)) {
    if (request.kind == K::ReadHoldingRegisters || request.kind == K::ReadWriteMultipleRegisters)
      if (auto run = rebase_registers(*regs, request.address, request.quantity)) *regs = *run;
  } else if (auto* input = std::get_if<ClientResponse::InputRegisters>(&body)) {
    if (request.kind == K::ReadInputRegisters)
      if (auto run = rebase_registers(input->run, request.address, request.quantity))
        input->run = *run;
  } else if (auto* fifo = std::get_if<FifoQueue>(&body)) {
    if (request.kind == K::ReadFifoQueue) fifo->pointer_address = request.address;
  }
  return response;
}

}  // namespace tessaly::core
