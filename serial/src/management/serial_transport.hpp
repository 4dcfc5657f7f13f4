// Serial transport: RTU frames end at a silence on the line, ASCII frames at CR LF.
#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include <asio/awaitable.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/steady_timer.hpp>

#include "data_unit/common/buffer.hpp"
#include "data_unit/common/error.hpp"
#include "data_unit/common/pdu.hpp"

namespace tessaly::serial {

enum class Parity : std::uint8_t { None, Even, Odd };

inline constexpr std::size_t kMaxPortPath = 64;

struct SerialConfig {
  std::string port;
  std::uint32_t baud_rate = 9600;
  std::uint8_t data_bits = 8;
  Parity parity = Parity::None;
  std::uint8_t stop_bits = 1;
  core::SerialMode mode = core::SerialMode::Rtu;
};

// Configuration checks; a failure carries the message users see.
using CheckResult = std::expected<void, std::string>;
// `lowered` is the caller's text already lower-cased (full Unicode lower-casing).
std::expected<Parity, std::string> parse_parity(std::string_view lowered);
CheckResult check_data_bits(std::uint8_t bits);
CheckResult check_stop_bits(std::uint8_t bits);
CheckResult check_port_path(std::string_view path);

// Three and a half 11-bit characters at the baud rate, in whole microseconds, at least 35 ms.
std::chrono::microseconds inter_frame_delay(std::uint32_t baud_rate);

// Errors of the serial line as the transport reports them.
core::CoreError map_serial_error(const std::error_code& error);

class SerialConnection {
 public:
  SerialConnection(asio::posix::stream_descriptor stream, core::SerialMode framing,
                   std::uint32_t baud_rate);

  // Writes every byte, then waits until the line has transmitted them.
  asio::awaitable<core::Status> send(std::span<const std::uint8_t> frame);
  // The next frame, byte by byte; waits as long as it takes for its first byte.
  asio::awaitable<core::Status> receive(core::Frame& out);

  core::SerialMode framing() const { return framing_; }
  // Closes the device now; operations under way complete with an error.
  void close();
  std::chrono::microseconds delay() const { return delay_; }

 private:
  asio::awaitable<core::Status> drain();
  // One byte if one arrives within `limit` (none = no limit); nullopt on silence.
  asio::awaitable<core::Result<std::optional<std::uint8_t>>> read_byte(
      std::optional<std::chrono::microseconds> limit);

  asio::posix::stream_descriptor stream_;
  asio::steady_timer timer_;
  core::SerialMode framing_;
  std::uint32_t baud_rate_;
  std::chrono::microseconds delay_;
};

// Opens the device raw, exclusively, without flow control, at any baud rate.
// InvalidConfiguration when the configured mode is not `framing`; ConnectionFailed otherwise.
core::Result<SerialConnection> open_serial(const asio::any_io_executor& executor,
                                           const SerialConfig& config, core::SerialMode framing);

}  // namespace tessaly::serial
