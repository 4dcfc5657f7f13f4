// Frame codecs for Modbus TCP, RTU and ASCII.
#include "data_unit/common/frame.hpp"

#include <array>

namespace tessaly::core {

namespace {

constexpr std::array<std::uint16_t, 256> make_crc_table() {
  std::array<std::uint16_t, 256> table{};
  for (unsigned i = 0; i < 256; ++i) {
    std::uint16_t crc = static_cast<std::uint16_t>(i);
    for (int bit = 0; bit < 8; ++bit)
      crc = (crc & 1) ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001) : (crc >> 1);
    table[i] = crc;
  }
  return table;
}
constexpr std::array<std::uint16_t, 256> kCrcTable = make_crc_table();

constexpr char kHexDigits[] = "0123456789ABCDEF";

int hex_value(std::uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

Result<Adu> serial_adu(std::uint8_t address, std::span<const std::uint8_t> pdu_bytes) {
  if (address > kMaxIndividualUnit) return fail(CoreErrorKind::InvalidSlaveAddress);
  auto pdu = decode_pdu(pdu_bytes);
  if (!pdu) return std::unexpected(pdu.error());
  Adu adu;
  adu.kind = TransportKind::Serial;
  adu.slave_address = address;
  adu.pdu = *pdu;
  return adu;
}

}  // namespace

std::uint16_t crc16(std::span<const std::uint8_t> bytes) {
  std::uint16_t crc = 0xFFFF;
  for (std::uint8_t b : bytes)
    crc = static_cast<std::uint16_t>((crc >> 8) ^ kCrcTable[(crc ^ b) & 0xFF]);
  return crc;
}

std::uint8_t lrc(std::span<const std::uint8_t> bytes) {
  std::uint8_t sum = 0;
  for (std::uint8_t b : bytes) sum = static_cast<std::uint8_t>(sum + b);
  return static_cast<std::uint8_t>(-sum);
}

Status encode_frame(Frame& out, TransactionId transaction_id, UnitId unit,
                    std::span<const std::uint8_t> pdu, TransportKind kind, SerialMode mode) {
  if (pdu.size() > kPduCapacity) return fail(CoreErrorKind::InvalidPduLength);
  Writer w(out.items);
  if (kind == TransportKind::Tcp) {
    w.u16(transaction_id);
    w.u16(0);
    w.u16(static_cast<std::uint16_t>(pdu.size() + 1));
    w.u8(unit);
    w.bytes(pdu);
  } else if (mode == SerialMode::Rtu) {
    w.u8(unit);
    w.bytes(pdu);
    const std::uint16_t crc = crc16({out.items.data(), w.pos()});
    w.u8(static_cast<std::uint8_t>(crc));
    w.u8(static_cast<std::uint8_t>(crc >> 8));
  } else {
    std::uint8_t sum = unit;
    for (std::uint8_t b : pdu) sum = static_cast<std::uint8_t>(sum + b);
    const std::uint8_t check = static_cast<std::uint8_t>(-sum);
    auto hex = [&w](std::uint8_t b) {
      w.u8(static_cast<std::uint8_t>(kHexDigits[b >> 4]));
      w.u8(static_cast<std::uint8_t>(kHexDigits[b & 0x0F]));
    };
    w.u8(':');
    hex(unit);
    for (std::uint8_t b : pdu) hex(b);
    hex(check);
    w.u8('\r');
    w.u8('\n');
  }
  if (w.overflow()) return fail(CoreErrorKind::BufferLenMissmatch);
  out.size = w.pos();
  return {};
}

Status encode_frame(Frame& out, TransactionId transaction_id, UnitId unit, const Pdu& pdu,
                    TransportKind kind, SerialMode mode) {
  auto bytes = encode_pdu(pdu);
  if (!bytes) return std::unexpected(bytes.error());
  return encode_frame(out, transaction_id, unit, bytes->view(), kind, mode);
}

Result<Adu> decode_tcp_frame(std::span<const std::uint8_t> frame) {
  if (frame.size() < kMbapHeaderSize + 1) return fail(CoreErrorKind::InvalidAduLength);
  MbapHeader header;
  header.transaction_id = read_u16(frame, 0);
  header.protocol_id = read_u16(frame, 2);
  header.length = read_u16(frame, 4);
  header.unit_id = frame[6];
  if (header.protocol_id != 0) return fail(CoreErrorKind::BasicParseError);
  const std::size_t end = std::size_t{header.length} + 6;
  // A length of 0 would end the PDU before it starts.
  if (header.length == 0 || frame.size() < end) return fail(CoreErrorKind::InvalidPduLength);
  auto pdu = decode_pdu(frame.subspan(kMbapHeaderSize, end - kMbapHeaderSize));
  if (!pdu) return std::unexpected(pdu.error());
  Adu adu;
  adu.kind = TransportKind::Tcp;
  adu.mbap = header;
  adu.pdu = *pdu;
  return adu;
}

Result<Adu> decode_rtu_frame(std::span<const std::uint8_t> frame) {
  if (frame.size() < 4) return fail(CoreErrorKind::InvalidAduLength);
  const std::size_t body = frame.size() - 2;
  const std::uint16_t received = static_cast<std::uint16_t>(frame[body] | (frame[body + 1] << 8));
  if (received != crc16(frame.first(body))) return fail(CoreErrorKind::ChecksumError);
  return serial_adu(frame[0], frame.subspan(1, body - 1));
}

Result<Adu> decode_ascii_frame(std::span<const std::uint8_t> frame) {
  const std::size_t n = frame.size();
  if (n <= 8) return fail(CoreErrorKind::InvalidAduLength);
  if (frame[0] != ':' || frame[n - 2] != '\r' || frame[n - 1] != '\n' || (n - 3) % 2 != 0)
    return fail(CoreErrorKind::BasicParseError);
  std::array<std::uint8_t, kMaxAsciiBinary> binary;
  std::size_t count = 0;
  for (std::size_t i = 1; i + 1 < n - 2; i += 2) {
    const int hi = hex_value(frame[i]);
    const int lo = hex_value(frame[i + 1]);
    if (hi < 0 || lo < 0) return fail(CoreErrorKind::BasicParseError);
    if (count == binary.size()) return fail(CoreErrorKind::BufferTooSmall);
    binary[count++] = static_cast<std::uint8_t>((hi << 4) | lo);
  }
  const std::span<const std::uint8_t> message(binary.data(), count - 1);
  if (binary[count - 1] != lrc(message)) return fail(CoreErrorKind::ChecksumError);
  return serial_adu(message[0], message.subspan(1));
}

Result<Adu> decode_frame(std::span<const std::uint8_t> frame, TransportKind kind, SerialMode mode) {
  if (kind == TransportKind::Tcp) return decode_tcp_frame(frame);
  return mode == SerialMode::Rtu ? decode_rtu_frame(frame) : decode_ascii_frame(frame);
}

}  // namespace tessaly::core
