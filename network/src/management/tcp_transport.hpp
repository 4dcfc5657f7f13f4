// TCP transport: cuts Modbus TCP frames out of a byte stream by the MBAP length field.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <system_error>

#include <asio/awaitable.hpp>
#include <asio/ip/tcp.hpp>

#include "data_unit/common/buffer.hpp"
#include "data_unit/common/error.hpp"

namespace tessaly::net {

inline constexpr std::size_t kReceiveBufferSize = 1026;
inline constexpr std::size_t kReadChunk = 128;
inline constexpr std::uint16_t kMaxLengthField = 507;

// Operating-system and runtime errors as the TCP transport reports them.
core::CoreError map_tcp_error(const std::error_code& error);

class TcpConnection {
 public:
  explicit TcpConnection(asio::ip::tcp::socket socket);

  // Writes the whole frame. A not-connected connection answers ConnectionClosed.
  asio::awaitable<core::Status> send(std::span<const std::uint8_t> frame);
  // Fills `out` with the next whole frame (at most 513 bytes). Waits as long as it takes.
  asio::awaitable<core::Status> receive(core::Frame& out);

  // The same steps without waiting, for callers that wait for readiness themselves (any
  // thread, one at a time). The socket is non-blocking.
  //
  // A whole buffered frame into `out`; nullopt when more bytes are needed.
  std::optional<core::Status> take_frame(core::Frame& out);
  // Reads up to 128 bytes into the buffer: true if bytes came, false if none are available.
  core::Result<bool> fill_now();
  // Writes what the socket takes at once: the number of bytes written (0 if none).
  core::Result<std::size_t> write_now(std::span<const std::uint8_t> bytes);
  int native_handle() { return socket_.native_handle(); }

  bool connected() const { return connected_; }
  // Closes the socket now; operations under way complete with an error.
  void close();
  asio::ip::tcp::socket& socket() { return socket_; }

 private:
  core::CoreError fail_io(const std::error_code& error);

  asio::ip::tcp::socket socket_;
  std::array<std::uint8_t, kReceiveBufferSize> buffer_{};
  std::size_t fill_ = 0;
  bool connected_ = true;
};

// Resolves (numeric addresses directly, names away from the I/O threads), tries each address in
// order and enables TCP_NODELAY. Every failure is ConnectionFailed.
asio::awaitable<core::Result<TcpConnection>> connect_tcp(std::string host, std::uint16_t port);

// Sets TCP_NODELAY, ignoring failure.
void set_no_delay(asio::ip::tcp::socket& socket);

}  // namespace tessaly::net
