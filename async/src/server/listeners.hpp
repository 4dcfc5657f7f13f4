// Listeners: the TCP listener (one detached session per accepted connection) and the
// one-permit stop signal that ends it.
#pragma once

#include <asio/awaitable.hpp>
#include <asio/ip/tcp.hpp>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "management/serial_transport.hpp"
#include "server/session.hpp"

namespace tessaly::engine {

// One stored permit: a signal stops the listener that runs, or, with none running, is kept
// (once) for the next run, which then ends as soon as it has bound.
class StopSignal {
 public:
  // Any thread; never blocks, never fails.
  void signal() {
    std::function<void()> stop;
    {
      std::lock_guard lock(mutex_);
      if (stopper_)
        stop = stopper_;
      else
        permit_ = true;
    }
    if (stop) stop();
  }
  // A run registers how to stop it; false (and the permit used up) when it must end at once.
  bool attach(std::function<void()> stopper) {
    std::lock_guard lock(mutex_);
    if (permit_) {
      permit_ = false;
      return false;
    }
    stopper_ = std::move(stopper);
    return true;
  }
  void detach() {
    std::lock_guard lock(mutex_);
    stopper_ = nullptr;
  }

 private:
  std::mutex mutex_;
  bool permit_ = false;
  std::function<void()> stopper_;
};

// Binds a listening socket (address reuse, backlog 128) to "host:port" or a socket address,
// trying each resolved address in turn; the operating system's text on failure.
asio::awaitable<std::expected<asio::ip::tcp::acceptor, std::string>> bind_tcp_acceptor(
    const std::string& address);

struct TcpListenerConfig {
  std::string bind_address;  // "host:port"
  core::UnitId unit_id = 1;
  std::shared_ptr<ServerApplication> application;
  std::shared_ptr<StopSignal> stop;
};

struct SerialListenerConfig {
  serial::SerialConfig line;
  core::UnitId unit_id = 1;
  std::shared_ptr<ServerApplication> application;
};

// Opens the port (on the caller's executor) and serves one session on it until the session
// ends; completes with what ended it, or Core with the opening error. Stopping a run is the
// caller's: cancel the operation or stop the executor, which closes the port.
asio::awaitable<ServerError> run_serial_listener(SerialListenerConfig config);

// Binds (address reuse, backlog 128) and accepts until stopped; sessions outlive it. Ends with
// success when stopped, Bind when binding failed, ClientClosed when accepting failed.
asio::awaitable<std::expected<void, ServerError>> run_tcp_listener(TcpListenerConfig config);

}  // namespace tessaly::engine
