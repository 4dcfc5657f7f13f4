// Test peers: a scripted Modbus TCP device on loopback, pseudo-terminal pairs, and a way to
// run an engine coroutine to completion from a test thread.
#pragma once

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <chrono>
#include <cstdint>
#include <future>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "runtime/runtime.hpp"

namespace tessaly::test {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

template <typename T>
T run_sync(asio::awaitable<T> operation) {
  std::promise<T> promise;
  auto future = promise.get_future();
  asio::co_spawn(
      engine::runtime(),
      [&]() -> asio::awaitable<void> { promise.set_value(co_await std::move(operation)); },
      asio::detached);
  return future.get();
}

// Reads up to `n` bytes from a descriptor within `timeout`; fewer if the time runs out.
inline Bytes read_exactly(int fd, std::size_t n, std::chrono::milliseconds timeout) {
  Bytes out;
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (out.size() < n) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    std::uint8_t buffer[600];
    const ssize_t got = ::read(fd, buffer, std::min(sizeof buffer, n - out.size()));
    if (got <= 0) break;
    out.insert(out.end(), buffer, buffer + got);
  }
  return out;
}

inline void write_all(int fd, const Bytes& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) throw std::runtime_error("write failed");
    done += static_cast<std::size_t>(n);
  }
}

// A listening socket on 127.0.0.1 and one accepted connection at a time, driven by the test.
class FakeDevice {
 public:
  FakeDevice() {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0 ||
        ::listen(listener_, 16) < 0)
      throw std::runtime_error("listen failed");
    socklen_t length = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
  }
  ~FakeDevice() {
    close_connection();
    ::close(listener_);
  }
  std::uint16_t port() const { return port_; }

  bool accept(std::chrono::milliseconds timeout = 2000ms) {
    pollfd p{listener_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return false;
    connection_ = ::accept(listener_, nullptr, nullptr);
    int one = 1;
    ::setsockopt(connection_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return connection_ >= 0;
  }

  // One whole MBAP frame, or nothing within the timeout.
  std::optional<Bytes> read_frame(std::chrono::milliseconds timeout = 2000ms) {
    Bytes header = read_exactly(connection_, 6, timeout);
    if (header.size() < 6) return std::nullopt;
    const std::size_t length = (header[4] << 8) | header[5];
    Bytes rest = read_exactly(connection_, length, timeout);
    if (rest.size() < length) return std::nullopt;
    header.insert(header.end(), rest.begin(), rest.end());
    return header;
  }

  void send(const Bytes& bytes) { write_all(connection_, bytes); }

  // Answers a read-holding-registers request with `values`, echoing its id and unit.
  void answer_registers(const Bytes& request, const std::vector<std::uint16_t>& values) {
    Bytes out = {request[0], request[1], 0,
                 0,          0,          static_cast<std::uint8_t>(3 + 2 * values.size()),
                 request[6], 0x03,       static_cast<std::uint8_t>(2 * values.size())};
    for (auto v : values) out.push_back(static_cast<std::uint8_t>(v >> 8)), out.push_back(v & 0xFF);
    send(out);
  }

  void close_connection() {
    if (connection_ >= 0) ::close(connection_);
    connection_ = -1;
  }
  int connection() const { return connection_; }

 private:
  int listener_ = -1;
  int connection_ = -1;
  std::uint16_t port_ = 0;
};

// A plain client socket to a loopback port: sends bytes as given, reads what comes back.
struct RawClient {
  int fd = -1;
  explicit RawClient(std::uint16_t port) {
    fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0)
      throw std::runtime_error("connect failed");
  }
  ~RawClient() { ::close(fd); }
  void send(const Bytes& bytes) { write_all(fd, bytes); }
  Bytes answer(std::size_t size, std::chrono::milliseconds timeout = 1000ms) {
    return read_exactly(fd, size, timeout);
  }
  bool closed_by_peer() {
    std::uint8_t byte;
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 1000) == 1 && ::recv(fd, &byte, 1, 0) == 0;
  }
};

// A port that nothing listens on (it was free a moment ago).
inline std::uint16_t free_port() {
  FakeDevice probe;
  return probe.port();
}

// A pseudo-terminal pair in raw mode: the engine opens `path`, the test drives `master`.
struct PtyPair {
  int master = -1;
  int slave = -1;
  std::string path;

  PtyPair() {
    char name[128];
    if (openpty(&master, &slave, name, nullptr, nullptr) < 0)
      throw std::runtime_error("openpty failed");
    path = name;
    termios tio{};
    tcgetattr(master, &tio);
    cfmakeraw(&tio);
    tcsetattr(master, TCSANOW, &tio);
  }
  ~PtyPair() {
    ::close(master);
    ::close(slave);
  }
};

inline std::uint16_t transaction_of(const Bytes& frame) {
  return static_cast<std::uint16_t>((frame[0] << 8) | frame[1]);
}

}  // namespace tessaly::test
