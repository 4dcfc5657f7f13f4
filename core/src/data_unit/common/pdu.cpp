// PDU decoding and encoding, function-code lookups and unit-id rules.
#include "data_unit/common/pdu.hpp"

#include <algorithm>
#include <cstring>

namespace tessaly::core {

namespace {
constexpr std::array<bool, 128> make_plain_table() {
  std::array<bool, 128> table{};
  for (FunctionCode code : kPlainFunctionCodes) table[static_cast<std::uint8_t>(code)] = true;
  return table;
}
constexpr std::array<bool, 128> kPlain = make_plain_table();
}  // namespace

bool is_plain_function_code(std::uint8_t byte) {
  return byte < 128 && kPlain[byte];
}

Result<FunctionCode> function_code_from_byte(std::uint8_t byte) {
  if (is_plain_function_code(byte & 0x7F)) return static_cast<FunctionCode>(byte);
  return fail(CoreErrorKind::UnsupportedFunction, byte);
}

bool is_exception_member(FunctionCode code) {
  return (static_cast<std::uint8_t>(code) & 0x80) != 0;
}

FunctionCode exception_member(FunctionCode code) {
  return static_cast<FunctionCode>(static_cast<std::uint8_t>(code) | 0x80);
}

Result<UnitId> validate_unit_id(UnitId unit) {
  if (unit == kBroadcastUnit) return fail(CoreErrorKind::InvalidBroadcastAddress);
  if (unit > kMaxIndividualUnit) return fail(CoreErrorKind::InvalidSlaveAddress);
  return unit;
}

UnitId received_unit(UnitId raw) {
  return raw <= kMaxIndividualUnit ? raw : UnitId{255};
}

Result<Pdu> decode_pdu(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return fail(CoreErrorKind::InvalidPduLength);
  const std::uint8_t first = bytes[0];
  const bool exception = (first & 0x80) != 0;
  if (exception && bytes.size() == 1) return fail(CoreErrorKind::InvalidPduLength);
  const std::uint8_t code = first & 0x7F;
  if (!is_plain_function_code(code)) return fail(CoreErrorKind::UnsupportedFunction, code);
  const auto data = bytes.subspan(1);
  if (data.size() > kPduDataCapacity) return fail(CoreErrorKind::InvalidPduLength);
  Pdu pdu;
  pdu.function_code = code;
  pdu.is_exception = exception;
  pdu.exception_code = exception ? bytes[1] : 0;
  pdu.data_len = static_cast<std::uint8_t>(data.size());
  if (!data.empty()) std::memcpy(pdu.data.data(), data.data(), data.size());
  return pdu;
}

Result<PduBytes> encode_pdu(const Pdu& pdu) {
  PduBytes out;
  if (!out.push(pdu.function_code) || !out.append(pdu.payload()))
    return fail(CoreErrorKind::BufferLenMissmatch);
  return out;
}

}  // namespace tessaly::core
