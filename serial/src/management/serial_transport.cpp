// Serial transport: configuration checks, open, send with drain, framing by silence or CR LF.
#include "management/serial_transport.hpp"

#include <unistd.h>

#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

#include "management/serial_line.hpp"

namespace tessaly::serial {

namespace {
constexpr auto kTuple = asio::experimental::as_tuple(asio::use_awaitable);
using core::CoreErrorKind;
using namespace asio::experimental::awaitable_operators;
}  // namespace

std::expected<Parity, std::string> parse_parity(std::string_view lowered) {
  if (lowered == "none" || lowered == "n") return Parity::None;
  if (lowered == "even" || lowered == "e") return Parity::Even;
  if (lowered == "odd" || lowered == "o") return Parity::Odd;
  return std::unexpected("Unknown parity '" + std::string(lowered) +
                         "'; expected 'none', 'even', or 'odd'");
}

CheckResult check_data_bits(std::uint8_t bits) {
  if (bits >= 5 && bits <= 8) return {};
  return std::unexpected("Invalid data_bits '" + std::to_string(bits) +
                         "'; expected one of 5, 6, 7, or 8");
}

CheckResult check_stop_bits(std::uint8_t bits) {
  if (bits == 1 || bits == 2) return {};
  return std::unexpected("Invalid stop_bits '" + std::to_string(bits) + "'; expected 1 or 2");
}

CheckResult check_port_path(std::string_view path) {
  if (path.size() <= kMaxPortPath) return {};
  return std::unexpected("Port path too long (max 64 chars): " + std::string(path));
}

std::chrono::microseconds inter_frame_delay(std::uint32_t baud_rate) {
  const std::uint32_t b = baud_rate == 0 ? 1 : baud_rate;
  const std::uint32_t t = ((11000000u / b) * 7u) / 2u;
  return std::chrono::microseconds(std::max<std::uint32_t>(t, 35000u));
}

core::CoreError map_serial_error(const std::error_code& error) {
  if (error == asio::error::eof) return CoreErrorKind::ConnectionClosed;
  if (error.category() == std::system_category() ||
      error.category() == asio::error::get_system_category()) {
    switch (error.value()) {
      case ECONNRESET:
      case EPIPE:
        return CoreErrorKind::ConnectionClosed;
      case EAGAIN:
      case ETIMEDOUT:
        return CoreErrorKind::Timeout;
      default:
        break;
    }
  }
  return CoreErrorKind::IoError;
}

SerialConnection::SerialConnection(asio::posix::stream_descriptor stream, core::SerialMode framing,
                                   std::uint32_t baud_rate)
    : stream_(std::move(stream)),
      timer_(stream_.get_executor()),
      framing_(framing),
      baud_rate_(baud_rate == 0 ? 1 : baud_rate),
      delay_(inter_frame_delay(baud_rate)) {}

void SerialConnection::close() {
  std::error_code ignored;
  timer_.cancel();
  stream_.close(ignored);
}

asio::awaitable<core::Status> SerialConnection::drain() {
  for (;;) {
    const int queued = output_queue(stream_.native_handle());
    if (queued <= 0) co_return core::Status{};  // a line that cannot tell is taken as drained
    auto [wait_error] =
        co_await stream_.async_wait(asio::posix::descriptor_base::wait_write, kTuple);
    if (wait_error) co_return std::unexpected(map_serial_error(wait_error));
    // The queue leaves at the line's own pace: wait for its transmission time, then look again.
    timer_.expires_after(std::chrono::microseconds(
        std::max<std::uint64_t>(1000, 11'000'000ull * static_cast<unsigned>(queued) / baud_rate_)));
    co_await timer_.async_wait(kTuple);
  }
}

asio::awaitable<core::Status> SerialConnection::send(std::span<const std::uint8_t> frame) {
  auto [error, written] =
      co_await asio::async_write(stream_, asio::buffer(frame.data(), frame.size()), kTuple);
  if (error) co_return std::unexpected(map_serial_error(error));
  co_return co_await drain();
}

asio::awaitable<core::Result<std::optional<std::uint8_t>>> SerialConnection::read_byte(
    std::optional<std::chrono::microseconds> limit) {
  for (;;) {
    std::uint8_t byte = 0;
    const ssize_t n = ::read(stream_.native_handle(), &byte, 1);
    if (n == 1) co_return byte;
    if (n == 0) co_return core::fail(CoreErrorKind::ConnectionClosed);
    if (errno != EAGAIN && errno != EINTR)
      co_return std::unexpected(map_serial_error(std::error_code(errno, std::system_category())));
    if (errno == EINTR) continue;
    // Waiting for readiness consumes nothing, so a silence never loses a byte.
    if (!limit) {
      auto [error] = co_await stream_.async_wait(asio::posix::descriptor_base::wait_read, kTuple);
      if (error) co_return std::unexpected(map_serial_error(error));
      continue;
    }
    timer_.expires_after(*limit);
    auto result = co_await (stream_.async_wait(asio::posix::descriptor_base::wait_read, kTuple) ||
                            timer_.async_wait(kTuple));
    if (result.index() == 1) co_return std::nullopt;  // silence: the frame has ended
    if (auto [error] = std::get<0>(result); error)
      co_return std::unexpected(map_serial_error(error));
    // A hang-up also reports readiness; the next read tells which it was.
  }
}

asio::awaitable<core::Status> SerialConnection::receive(core::Frame& out) {
  out.clear();
  const bool rtu = framing_ == core::SerialMode::Rtu;
  for (;;) {
    auto byte = co_await read_byte(rtu && !out.empty() ? std::optional(delay_) : std::nullopt);
    if (!byte) {
      out.clear();
      co_return std::unexpected(byte.error());
    }
    if (!*byte) co_return core::Status{};  // RTU silence after at least one byte
    if (out.size == core::kFrameCapacity) {
      out.clear();
      co_return core::fail(CoreErrorKind::BufferTooSmall);
    }
    out.push(**byte);
    if (!rtu && out.size >= 2 && out[out.size - 2] == '\r' && out[out.size - 1] == '\n')
      co_return core::Status{};
  }
}

core::Result<SerialConnection> open_serial(const asio::any_io_executor& executor,
                                           const SerialConfig& config, core::SerialMode framing) {
  if (config.mode != framing) return core::fail(CoreErrorKind::InvalidConfiguration);
  const int fd = open_line(config);
  if (fd < 0) return core::fail(CoreErrorKind::ConnectionFailed);
  asio::posix::stream_descriptor stream(executor);
  std::error_code error;
  stream.assign(fd, error);
  if (error) {
    ::close(fd);
    return core::fail(CoreErrorKind::ConnectionFailed);
  }
  return SerialConnection(std::move(stream), framing, config.baud_rate);
}

}  // namespace tessaly::serial
