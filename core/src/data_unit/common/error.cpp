// Names and text form of CoreError.
#include "data_unit/common/error.hpp"

#include <array>
#include <charconv>
#include <cstring>

namespace tessaly::core {

namespace {
constexpr std::array<std::string_view, kCoreErrorKindCount> kNames = {
    "ParseError",
    "BasicParseError",
    "Timeout",
    "ModbusException",
    "IoError",
    "Unexpected",
    "ConnectionLost",
    "UnsupportedFunction",
    "ReservedSubFunction",
    "InvalidPduLength",
    "InvalidAduLength",
    "ConnectionFailed",
    "ConnectionClosed",
    "BufferTooSmall",
    "BufferLenMissmatch",
    "SendFailed",
    "InvalidAddress",
    "InvalidOffset",
    "TooManyRequests",
    "InvalidFunctionCode",
    "NoRetriesLeft",
    "TooManyFileReadSubRequests",
    "FileReadPduOverflow",
    "UnexpectedResponse",
    "InvalidTransport",
    "InvalidSlaveAddress",
    "ChecksumError",
    "InvalidConfiguration",
    "InvalidNumOfExpectedRsps",
    "InvalidDataLen",
    "InvalidQuantity",
    "InvalidValue",
    "InvalidAndMask",
    "InvalidOrMask",
    "InvalidByteCount",
    "InvalidDeviceIdentification",
    "InvalidDeviceIdCode",
    "InvalidMeiType",
    "InvalidBroadcastAddress",
    "BroadcastNotAllowed",
    "FramingError",
};
}  // namespace

std::string_view error_name(CoreErrorKind kind) {
  auto index = static_cast<std::size_t>(kind);
  return index < kNames.size() ? kNames[index] : std::string_view{"Unexpected"};
}

bool error_has_payload(CoreErrorKind kind) {
  return kind == CoreErrorKind::ModbusException || kind == CoreErrorKind::UnsupportedFunction ||
         kind == CoreErrorKind::ReservedSubFunction;
}

ErrorText error_text(CoreError error) {
  ErrorText text{};
  std::string_view name = error_name(error.kind);
  std::memcpy(text.chars, name.data(), name.size());
  std::size_t len = name.size();
  if (error_has_payload(error.kind)) {
    text.chars[len++] = '(';
    auto [end, ec] = std::to_chars(text.chars + len, text.chars + sizeof(text.chars) - 1,
                                   static_cast<unsigned>(error.payload));
    len = static_cast<std::size_t>(end - text.chars);
    text.chars[len++] = ')';
  }
  text.len = static_cast<std::uint8_t>(len);
  return text;
}

}  // namespace tessaly::core
