// The gateway engine: downstream channels, the accept loop and one session per upstream client
// that forwards requests by unit id under its own transaction ids.
#pragma once

#include <asio/awaitable.hpp>
#include <chrono>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "gateway_async/routing.hpp"
#include "management/tcp_transport.hpp"
#include "runtime/async_mutex.hpp"

namespace tessaly::gateway {

// Where the gateway reports what its sessions do (session ids are always 0 and left out).
class GatewayEventSink {
 public:
  virtual ~GatewayEventSink() = default;
  virtual void on_forward(core::UnitId unit, std::size_t channel) = 0;
  virtual void on_routing_miss(core::UnitId unit) = 0;
  virtual void on_downstream_timeout(core::TransactionId internal_txn) = 0;
  virtual void on_response_returned(core::TransactionId upstream_txn) = 0;
  virtual void on_upstream_disconnect() = 0;
};

// One downstream device: its connection (re-established on demand) behind a fair lock.
struct DownstreamChannel {
  TcpDownstream target;
  engine::AsyncMutex lock;
  std::shared_ptr<net::TcpConnection> connection;  // guarded by `lock`
};
using Channels = std::vector<std::shared_ptr<DownstreamChannel>>;

struct ConnectFailure {
  TcpDownstream downstream;
  core::CoreError error;
};

// Connects every downstream in list order; the first failure drops what was connected.
asio::awaitable<std::expected<Channels, ConnectFailure>> connect_downstreams(
    std::vector<TcpDownstream> downstreams);

enum class GatewayErrorKind { Bind, Accept };
struct GatewayError {
  GatewayErrorKind kind;
  std::string os_error;
  std::string text() const {
    return (kind == GatewayErrorKind::Bind ? "gateway bind failed: " : "gateway accept failed: ") +
           os_error;
  }
};

// Wakes every run waiting on it. A stop given while a run is still starting (connecting its
// downstreams) is remembered by that run: it ends as soon as it would start accepting.
class GatewayStop {
 public:
  std::uint64_t epoch() const {
    std::lock_guard lock(mutex_);
    return epoch_;
  }
  void signal() {
    std::vector<std::function<void()>> stoppers;
    {
      std::lock_guard lock(mutex_);
      ++epoch_;
      stoppers = stoppers_;
    }
    for (auto& stop : stoppers) stop();
  }
  // Registers a running run's stopper; false if a stop came since `epoch` was read.
  bool attach(std::uint64_t since, std::size_t& id, std::function<void()> stopper) {
    std::lock_guard lock(mutex_);
    if (epoch_ != since) return false;
    id = next_id_++;
    stoppers_.push_back(std::move(stopper));
    ids_.push_back(id);
    return true;
  }
  void detach(std::size_t id) {
    std::lock_guard lock(mutex_);
    for (std::size_t i = 0; i < ids_.size(); ++i)
      if (ids_[i] == id) {
        ids_.erase(ids_.begin() + static_cast<std::ptrdiff_t>(i));
        stoppers_.erase(stoppers_.begin() + static_cast<std::ptrdiff_t>(i));
        return;
      }
  }

 private:
  mutable std::mutex mutex_;
  std::uint64_t epoch_ = 0;
  std::size_t next_id_ = 0;
  std::vector<std::function<void()>> stoppers_;
  std::vector<std::size_t> ids_;
};

struct GatewayRun {
  std::string bind_address;
  Channels channels;
  RouteTable routes;
  std::shared_ptr<GatewayEventSink> events;  // may be null
  std::chrono::nanoseconds response_timeout{std::chrono::seconds(1)};
  std::shared_ptr<GatewayStop> stop;
  std::uint64_t stop_epoch = 0;  // read before the run started connecting
};

// The accept loop; sessions are detached and outlive it. Returns when stopped.
asio::awaitable<std::expected<void, GatewayError>> run_gateway(GatewayRun run);

}  // namespace tessaly::gateway
