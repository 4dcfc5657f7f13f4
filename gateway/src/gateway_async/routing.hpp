// The gateway's configuration: downstream channels, the ordered routing rules that map unit ids
// to them, and the lookup made for every request.
#pragma once

#include <cstdint>
#include <expected>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "data_unit/common/pdu.hpp"

namespace tessaly::gateway {

struct TcpDownstream {
  std::string host;
  std::uint16_t port = 502;
};

struct UnitRoute {
  core::UnitId unit;
  std::size_t channel;
};
struct RangeRoute {
  core::UnitId min, max;
  std::size_t channel;
};
using Route = std::variant<UnitRoute, RangeRoute>;

// Rules in insertion order; the first that matches wins.
class RouteTable {
 public:
  void add(Route route) { routes_.push_back(route); }
  bool empty() const { return routes_.empty(); }
  std::size_t size() const { return routes_.size(); }
  // The channel for a received unit (248..=255 are looked up as 255), or nothing on a miss.
  std::optional<std::size_t> resolve(core::UnitId unit) const;

 private:
  std::vector<Route> routes_;
};

// What a running gateway works on: a copy taken when it starts.
struct GatewaySnapshot {
  std::string bind_address;
  std::vector<TcpDownstream> downstreams;
  RouteTable routes;
};

// A failed configuration step carries the message users see (raised as ValueError).
using ConfigResult = std::expected<void, std::string>;

// Owned by one gateway object; every operation takes the lock for its whole duration.
class GatewayConfig {
 public:
  explicit GatewayConfig(std::string bind_address) : bind_address_(std::move(bind_address)) {}

  std::size_t add_tcp_downstream(std::string host, std::uint16_t port = 502);
  ConfigResult add_unit_route(core::UnitId unit, std::size_t channel);
  ConfigResult add_range_route(core::UnitId min, core::UnitId max, std::size_t channel);
  ConfigResult check_startable() const;
  GatewaySnapshot snapshot() const;
  std::string bind_address() const;

 private:
  ConfigResult check_channel(std::size_t channel) const;

  mutable std::mutex mutex_;
  std::string bind_address_;
  std::vector<TcpDownstream> downstreams_;
  RouteTable routes_;
};

}  // namespace tessaly::gateway
