// CoreError: the library-wide error value, and its user-visible text form.
#pragma once

#include <cstdint>
#include <expected>
#include <string_view>

namespace tessaly::core {

// Declaration order is the discriminant and must not change: users see these names.
enum class CoreErrorKind : std::uint8_t {
  ParseError,
  BasicParseError,
  Timeout,
  ModbusException,
  IoError,
  Unexpected,
  ConnectionLost,
  UnsupportedFunction,
  ReservedSubFunction,
  InvalidPduLength,
  InvalidAduLength,
  ConnectionFailed,
  ConnectionClosed,
  BufferTooSmall,
  BufferLenMissmatch,
  SendFailed,
  InvalidAddress,
  InvalidOffset,
  TooManyRequests,
  InvalidFunctionCode,
  NoRetriesLeft,
  TooManyFileReadSubRequests,
  FileReadPduOverflow,
  UnexpectedResponse,
  InvalidTransport,
  InvalidSlaveAddress,
  ChecksumError,
  InvalidConfiguration,
  InvalidNumOfExpectedRsps,
  InvalidDataLen,
  InvalidQuantity,
  InvalidValue,
  InvalidAndMask,
  InvalidOrMask,
  InvalidByteCount,
  InvalidDeviceIdentification,
  InvalidDeviceIdCode,
  InvalidMeiType,
  InvalidBroadcastAddress,
  BroadcastNotAllowed,
  FramingError,
};

inline constexpr std::size_t kCoreErrorKindCount = 41;

// A tag plus at most a 16-bit payload (exception code, function code or sub-function).
struct CoreError {
  CoreErrorKind kind = CoreErrorKind::Unexpected;
  std::uint16_t payload = 0;

  constexpr CoreError() = default;
  constexpr CoreError(CoreErrorKind k, std::uint16_t p = 0) : kind(k), payload(p) {}  // NOLINT
  friend constexpr bool operator==(const CoreError&, const CoreError&) = default;
};

// The bare variant name, e.g. "InvalidQuantity".
std::string_view error_name(CoreErrorKind kind);
// True for the three variants that carry a payload.
bool error_has_payload(CoreErrorKind kind);

// The text form: the name, followed by "(payload)" in decimal for the payload variants.
struct ErrorText {
  char chars[48];
  std::uint8_t len;
  std::string_view view() const { return {chars, len}; }
};
ErrorText error_text(CoreError error);

template <typename T>
using Result = std::expected<T, CoreError>;
using Status = std::expected<void, CoreError>;

inline std::unexpected<CoreError> fail(CoreErrorKind kind, std::uint16_t payload = 0) {
  return std::unexpected<CoreError>(CoreError{kind, payload});
}

}  // namespace tessaly::core
