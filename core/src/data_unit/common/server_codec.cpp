// Server side: request decoding and response encoding.
#include "data_unit/common/codec.hpp"
#include "data_unit/common/overloaded.hpp"

namespace tessaly::core {

namespace {

using E = CoreErrorKind;
using R = ServerRequest;

struct AddressPair {
  std::uint16_t first, second;
};

Result<AddressPair> exactly_four(std::span<const std::uint8_t> data) {
  if (data.size() != 4) return fail(E::InvalidPduLength);
  return AddressPair{read_u16(data, 0), read_u16(data, 2)};
}

// 0x0F and 0x10: address, quantity, byte count, bytes.
template <typename Out>
Result<R::Body> decode_multiple_write(std::span<const std::uint8_t> data) {
  if (data.size() <= 4) return fail(E::InvalidPduLength);
  if (std::size_t{data[4]} + 5 != data.size()) return fail(E::InvalidByteCount);
  Out out{read_u16(data, 0), read_u16(data, 2), {}};
  out.bytes.assign(data.subspan(5));
  return R::Body{out};
}

Result<R::Body> decode_read_file_record(std::span<const std::uint8_t> data) {
  if (data.size() < 8) return fail(E::InvalidPduLength);
  const std::size_t byte_count = data[0];
  if (byte_count + 1 != data.size() || byte_count > 245 || byte_count % 7 != 0)
    return fail(E::InvalidByteCount);
  R::ReadFileRecord out{};
  for (std::size_t pos = 1; pos < data.size(); pos += 7) {
    if (data[pos] != kFileReferenceType) return fail(E::InvalidValue);
    const FileReadSubRequest sub{read_u16(data, pos + 1), read_u16(data, pos + 3),
                                 read_u16(data, pos + 5)};
    if (sub.record_length == 0) return fail(E::InvalidQuantity);
    out.items.push(sub);
  }
  return R::Body{out};
}

Result<R::Body> decode_write_file_record(std::span<const std::uint8_t> data) {
  if (data.size() < 10) return fail(E::InvalidPduLength);
  const std::size_t byte_count = data[0];
  if (byte_count + 1 != data.size() || byte_count > 245) return fail(E::InvalidByteCount);
  R::WriteFileRecord out{};
  std::size_t pos = 1;
  while (pos < data.size()) {
    if (data.size() - pos < 7) return fail(E::InvalidPduLength);
    if (data[pos] != kFileReferenceType) return fail(E::InvalidValue);
    ServerWriteSubRequest sub{read_u16(data, pos + 1), read_u16(data, pos + 3),
                              read_u16(data, pos + 5), static_cast<std::uint16_t>(out.values.size)};
    if (sub.record_length == 0) return fail(E::InvalidQuantity);
    const std::size_t value_bytes = 2 * std::size_t{sub.record_length};
    if (pos + 7 + value_bytes > data.size()) return fail(E::InvalidByteCount);
    if (!out.items.push(sub) || !out.values.append(data.subspan(pos + 7, value_bytes)))
      return fail(E::BufferLenMissmatch);
    pos += 7 + value_bytes;
  }
  if (out.items.empty()) return fail(E::InvalidPduLength);
  out.request.assign(data);
  return R::Body{out};
}

Result<R::Body> decode_body(const Pdu& pdu) {
  const auto data = pdu.payload();
  auto pair = [&](auto make) -> Result<R::Body> {
    auto p = exactly_four(data);
    if (!p) return std::unexpected(p.error());
    return R::Body{make(*p)};
  };
  switch (static_cast<FunctionCode>(pdu.function_code)) {
    case FunctionCode::ReadCoils:
      return pair([](AddressPair p) { return R::ReadCoils{p.first, p.second}; });
    case FunctionCode::ReadDiscreteInputs:
      return pair([](AddressPair p) { return R::ReadDiscreteInputs{p.first, p.second}; });
    case FunctionCode::ReadHoldingRegisters:
      return pair([](AddressPair p) { return R::ReadHoldingRegisters{p.first, p.second}; });
    case FunctionCode::ReadInputRegisters:
      return pair([](AddressPair p) { return R::ReadInputRegisters{p.first, p.second}; });
    case FunctionCode::WriteSingleCoil:
      return pair([](AddressPair p) {
        return R::WriteSingleCoil{p.first, p.second == 0xFF00 ? CoilState::On : CoilState::Off};
      });
    case FunctionCode::WriteSingleRegister:
      return pair([](AddressPair p) { return R::WriteSingleRegister{p.first, p.second}; });
    case FunctionCode::WriteMultipleCoils:
      return decode_multiple_write<R::WriteMultipleCoils>(data);
    case FunctionCode::WriteMultipleRegisters:
      return decode_multiple_write<R::WriteMultipleRegisters>(data);
    case FunctionCode::MaskWriteRegister:
      if (data.size() != 6) return fail(E::InvalidPduLength);
      return R::Body{R::MaskWriteRegister{read_u16(data, 0), read_u16(data, 2), read_u16(data, 4)}};
    case FunctionCode::ReadWriteMultipleRegisters: {
      if (data.size() < 9) return fail(E::InvalidPduLength);
      if (std::size_t{data[8]} + 9 != data.size()) return fail(E::InvalidByteCount);
      R::ReadWriteMultipleRegisters out{
          read_u16(data, 0), read_u16(data, 2), read_u16(data, 4), read_u16(data, 6), {}};
      out.bytes.assign(data.subspan(9));
      return R::Body{out};
    }
    case FunctionCode::ReadExceptionStatus:
      return R::Body{R::ReadExceptionStatus{}};
    case FunctionCode::GetCommEventCounter:
      return R::Body{R::GetCommEventCounter{}};
    case FunctionCode::GetCommEventLog:
      return R::Body{R::GetCommEventLog{}};
    case FunctionCode::ReportServerId:
      return R::Body{R::ReportServerId{}};
    case FunctionCode::Diagnostics:
      if (data.size() < 4) return fail(E::InvalidPduLength);
      return R::Body{R::Diagnostics{read_u16(data, 0), read_u16(data, 2)}};
    case FunctionCode::ReadFifoQueue:
      if (data.size() != 2) return fail(E::InvalidPduLength);
      return R::Body{R::ReadFifoQueue{read_u16(data, 0)}};
    case FunctionCode::EncapsulatedInterfaceTransport: {
      if (data.empty()) return fail(E::InvalidPduLength);
      R::EncapsulatedInterfaceTransport out{data[0], {}};
      out.data.assign(data.subspan(1));
      return R::Body{out};
    }
    case FunctionCode::ReadFileRecord:
      return decode_read_file_record(data);
    case FunctionCode::WriteFileRecord:
      return decode_write_file_record(data);
    default:
      return fail(E::UnsupportedFunction, pdu.function_code);
  }
}

Status encode_device_identification(Writer& w, const ServerResponse::DeviceIdentification& r) {
  const auto list = r.objects.view();
  std::size_t count = 0;
  for (std::size_t pos = 0; pos < list.size(); ++count) {
    if (pos + 2 > list.size()) return fail(E::InvalidPduLength);
    pos += 2 + std::size_t{list[pos + 1]};
    if (pos > list.size()) return fail(E::InvalidPduLength);
  }
  if (count > 255) return fail(E::InvalidPduLength);
  if (7 + list.size() > kPduCapacity) return fail(E::BufferTooSmall);
  w.u8(0x2B), w.u8(0x0E), w.u8(r.code), w.u8(r.conformity_level);
  w.u8(r.more_follows ? 0xFF : 0x00), w.u8(r.next_object_id);
  w.u8(static_cast<std::uint8_t>(count));
  w.bytes(list);
  return {};
}

Status encode_body(Writer& w, const ServerResponse::Body& body) {
  using S = ServerResponse;
  return std::visit(
      Overloaded{
          [&](const S::Nothing&) -> Status { return fail(E::Unexpected); },
          [&](const S::ByteCounted& r) -> Status {
            if (r.bytes.size >= 256) return fail(E::InvalidByteCount);
            if (r.bytes.size > 251) return fail(E::BufferTooSmall);
            w.u8(r.function_code), w.u8(static_cast<std::uint8_t>(r.bytes.size));
            w.bytes(r.bytes.view());
            return {};
          },
          [&](const S::CoilEcho& r) -> Status {
            w.u8(0x05), w.u16(r.address), w.u16(r.value);
            return {};
          },
          [&](const S::RegisterEcho& r) -> Status {
            w.u8(0x06), w.u16(r.address), w.u16(r.value);
            return {};
          },
          [&](const S::TwoFieldEcho& r) -> Status {
            w.u8(r.function_code), w.u16(r.first), w.u16(r.second);
            return {};
          },
          [&](const S::MaskWriteEcho& r) -> Status {
            w.u8(0x16), w.u16(r.address), w.u16(r.and_mask), w.u16(r.or_mask);
            return {};
          },
          [&](const S::Exception& r) -> Status {
            if (is_exception_member(r.function)) return fail(E::InvalidFunctionCode);
            w.u8(static_cast<std::uint8_t>(exception_member(r.function))), w.u8(r.code);
            return {};
          },
          [&](const S::RawException& r) -> Status {
            w.u8(static_cast<std::uint8_t>(r.function_code | 0x80)), w.u8(r.code);
            return {};
          },
          [&](const S::StatusByte& r) -> Status {
            w.u8(r.function_code), w.u8(r.value);
            return {};
          },
          [&](const S::DiagnosticsEcho& r) -> Status {
            w.u8(0x08), w.u16(r.sub_function), w.u16(r.data);
            return {};
          },
          [&](const S::FifoData& r) -> Status {
            if (r.bytes.size > 250) return fail(E::BufferTooSmall);
            w.u8(0x18), w.u16(static_cast<std::uint16_t>(r.bytes.size)), w.bytes(r.bytes.view());
            return {};
          },
          [&](const S::DeviceIdentification& r) -> Status {
            return encode_device_identification(w, r);
          },
          [&](const S::FileRecordEcho& r) -> Status {
            w.u8(0x15), w.bytes(r.request.view());
            return {};
          },
      },
      body);
}

}  // namespace

std::uint8_t function_code_of(const ServerRequest& request) {
  return std::visit(
      [](const auto& r) -> std::uint8_t {
        using T = std::decay_t<decltype(r)>;
        using Q = ServerRequest;
        if constexpr (std::is_same_v<T, Q::ReadCoils>)
          return 0x01;
        else if constexpr (std::is_same_v<T, Q::ReadDiscreteInputs>)
          return 0x02;
        else if constexpr (std::is_same_v<T, Q::ReadHoldingRegisters>)
          return 0x03;
        else if constexpr (std::is_same_v<T, Q::ReadInputRegisters>)
          return 0x04;
        else if constexpr (std::is_same_v<T, Q::WriteSingleCoil>)
          return 0x05;
        else if constexpr (std::is_same_v<T, Q::WriteSingleRegister>)
          return 0x06;
        else if constexpr (std::is_same_v<T, Q::ReadExceptionStatus>)
          return 0x07;
        else if constexpr (std::is_same_v<T, Q::Diagnostics>)
          return 0x08;
        else if constexpr (std::is_same_v<T, Q::GetCommEventCounter>)
          return 0x0B;
        else if constexpr (std::is_same_v<T, Q::GetCommEventLog>)
          return 0x0C;
        else if constexpr (std::is_same_v<T, Q::WriteMultipleCoils>)
          return 0x0F;
        else if constexpr (std::is_same_v<T, Q::WriteMultipleRegisters>)
          return 0x10;
        else if constexpr (std::is_same_v<T, Q::ReportServerId>)
          return 0x11;
        else if constexpr (std::is_same_v<T, Q::ReadFileRecord>)
          return 0x14;
        else if constexpr (std::is_same_v<T, Q::WriteFileRecord>)
          return 0x15;
        else if constexpr (std::is_same_v<T, Q::MaskWriteRegister>)
          return 0x16;
        else if constexpr (std::is_same_v<T, Q::ReadWriteMultipleRegisters>)
          return 0x17;
        else if constexpr (std::is_same_v<T, Q::ReadFifoQueue>)
          return 0x18;
        else
          return 0x2B;
      },
      request.body);
}

Result<ServerRequest> decode_request(UnitId unit, TransactionId transaction_id, const Pdu& pdu) {
  auto body = decode_body(pdu);
  if (!body) return std::unexpected(body.error());
  return ServerRequest{unit, transaction_id, std::move(*body)};
}

Status encode_response_pdu(PduBytes& out, const ServerResponse& response) {
  Writer w(out.items);
  if (auto s = encode_body(w, response.body); !s) return s;
  if (w.overflow()) return fail(E::BufferLenMissmatch);
  out.size = w.pos();
  return {};
}

Status encode_response(Frame& out, const ServerResponse& response, TransactionId transaction_id,
                       UnitId unit, TransportKind kind, SerialMode mode) {
  PduBytes pdu;
  if (auto s = encode_response_pdu(pdu, response); !s) return s;
  return encode_frame(out, transaction_id, unit, pdu.view(), kind, mode);
}

}  // namespace tessaly::core
