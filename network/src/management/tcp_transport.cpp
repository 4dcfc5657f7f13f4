// TCP transport: connect, send whole frames, receive whole frames.
#include "management/tcp_transport.hpp"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include <asio/connect.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

namespace tessaly::net {

namespace {
constexpr auto kTuple = asio::experimental::as_tuple(asio::use_awaitable);
using core::CoreErrorKind;
}  // namespace

core::CoreError map_tcp_error(const std::error_code& error) {
  if (error == asio::error::eof) return CoreErrorKind::ConnectionClosed;
  if (error.category() == std::system_category() ||
      error.category() == asio::error::get_system_category()) {
    switch (error.value()) {
      case ENOENT:
      case ECONNREFUSED:
        return CoreErrorKind::ConnectionFailed;
      case ECONNRESET:
      case ECONNABORTED:
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

void set_no_delay(asio::ip::tcp::socket& socket) {
  std::error_code ignored;
  socket.set_option(asio::ip::tcp::no_delay(true), ignored);
}

TcpConnection::TcpConnection(asio::ip::tcp::socket socket) : socket_(std::move(socket)) {
  std::error_code ignored;
  socket_.non_blocking(true, ignored);
}

void TcpConnection::close() {
  std::error_code ignored;
  socket_.close(ignored);
  connected_ = false;
}

core::CoreError TcpConnection::fail_io(const std::error_code& error) {
  const core::CoreError mapped = map_tcp_error(error);
  if (mapped.kind == CoreErrorKind::ConnectionClosed) connected_ = false;
  return mapped;
}

asio::awaitable<core::Status> TcpConnection::send(std::span<const std::uint8_t> frame) {
  if (!connected_) co_return core::fail(CoreErrorKind::ConnectionClosed);
  auto [error, written] =
      co_await asio::async_write(socket_, asio::buffer(frame.data(), frame.size()), kTuple);
  if (error) co_return std::unexpected(fail_io(error));
  co_return core::Status{};
}

std::optional<core::Status> TcpConnection::take_frame(core::Frame& out) {
  if (fill_ < 6) return std::nullopt;
  const std::uint16_t length = static_cast<std::uint16_t>((buffer_[4] << 8) | buffer_[5]);
  if (length == 0 || length > kMaxLengthField) {
    fill_ = 0;
    return core::fail(length == 0 ? CoreErrorKind::InvalidDataLen : CoreErrorKind::BufferTooSmall);
  }
  const std::size_t size = std::size_t{length} + 6;
  if (fill_ < size) return std::nullopt;
  std::memcpy(out.items.data(), buffer_.data(), size);
  out.size = size;
  fill_ -= size;
  if (fill_ > 0) std::memmove(buffer_.data(), buffer_.data() + size, fill_);
  return core::Status{};
}

core::Result<bool> TcpConnection::fill_now() {
  if (!connected_) return core::fail(CoreErrorKind::ConnectionClosed);
  if (fill_ + kReadChunk > buffer_.size()) {
    // Unreachable with length fields capped at 507 and frames taken as soon as complete.
    fill_ = 0;
    return core::fail(CoreErrorKind::BufferTooSmall);
  }
  for (;;) {
    const ssize_t n = ::recv(socket_.native_handle(), buffer_.data() + fill_, kReadChunk, 0);
    if (n > 0) {
      fill_ += static_cast<std::size_t>(n);
      return true;
    }
    if (n == 0) {
      connected_ = false;
      return core::fail(CoreErrorKind::ConnectionClosed);
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return false;
    return std::unexpected(fail_io(std::error_code(errno, std::system_category())));
  }
}

core::Result<std::size_t> TcpConnection::write_now(std::span<const std::uint8_t> bytes) {
  if (!connected_) return core::fail(CoreErrorKind::ConnectionClosed);
  for (;;) {
    const ssize_t n =
        ::send(socket_.native_handle(), bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    return std::unexpected(fail_io(std::error_code(errno, std::system_category())));
  }
}

asio::awaitable<core::Status> TcpConnection::receive(core::Frame& out) {
  for (;;) {
    if (auto done = take_frame(out)) co_return *done;
    auto filled = fill_now();
    if (!filled) co_return std::unexpected(filled.error());
    if (*filled) continue;
    auto [error] = co_await socket_.async_wait(asio::ip::tcp::socket::wait_read, kTuple);
    if (error) co_return std::unexpected(fail_io(error));
  }
}

asio::awaitable<core::Result<TcpConnection>> connect_tcp(std::string host, std::uint16_t port) {
  auto executor = co_await asio::this_coro::executor;
  asio::ip::tcp::resolver resolver(executor);
  auto [resolve_error, endpoints] =
      co_await resolver.async_resolve(host, std::to_string(port), kTuple);
  if (resolve_error || endpoints.empty()) co_return core::fail(CoreErrorKind::ConnectionFailed);
  asio::ip::tcp::socket socket(executor);
  auto [connect_error, endpoint] = co_await asio::async_connect(socket, endpoints, kTuple);
  if (connect_error) co_return core::fail(CoreErrorKind::ConnectionFailed);
  set_no_delay(socket);
  co_return TcpConnection(std::move(socket));
}

}  // namespace tessaly::net
