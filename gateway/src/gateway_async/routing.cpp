// Routing rules, their checks and the lookup.
#include "gateway_async/routing.hpp"

namespace tessaly::gateway {

std::optional<std::size_t> RouteTable::resolve(core::UnitId unit) const {
  const core::UnitId u = core::received_unit(unit);
  for (const Route& route : routes_) {
    if (const auto* single = std::get_if<UnitRoute>(&route)) {
      if (single->unit == u) return single->channel;
    } else {
      const auto& range = std::get<RangeRoute>(route);
      if (range.min <= u && u <= range.max) return range.channel;
    }
  }
  return std::nullopt;
}

std::size_t GatewayConfig::add_tcp_downstream(std::string host, std::uint16_t port) {
  std::lock_guard lock(mutex_);
  downstreams_.push_back({std::move(host), port});
  return downstreams_.size() - 1;
}

ConfigResult GatewayConfig::check_channel(std::size_t channel) const {
  if (channel < downstreams_.size()) return {};
  return std::unexpected("channel " + std::to_string(channel) + " not registered (only " +
                         std::to_string(downstreams_.size()) + " downstream(s) configured)");
}

ConfigResult GatewayConfig::add_unit_route(core::UnitId unit, std::size_t channel) {
  std::lock_guard lock(mutex_);
  // Units above 247 are refused as the message says: received units above 247 are looked up as
  // 255, so rules for 248..=254 could never match.
  if (unit == 0 || unit > core::kMaxIndividualUnit)
    return std::unexpected(std::string("unit ID must be 1..=247"));
  if (auto checked = check_channel(channel); !checked) return checked;
  routes_.add(UnitRoute{unit, channel});
  return {};
}

ConfigResult GatewayConfig::add_range_route(core::UnitId min, core::UnitId max,
                                            std::size_t channel) {
  std::lock_guard lock(mutex_);
  if (min < 1 || min > max)
    return std::unexpected(std::string("invalid range: require 1 <= min <= max"));
  if (auto checked = check_channel(channel); !checked) return checked;
  routes_.add(RangeRoute{min, max, channel});
  return {};
}

ConfigResult GatewayConfig::check_startable() const {
  std::lock_guard lock(mutex_);
  if (downstreams_.empty())
    return std::unexpected(
        std::string("at least one downstream must be registered before serve_forever()"));
  if (routes_.empty())
    return std::unexpected(
        std::string("at least one route must be registered before serve_forever()"));
  return {};
}

GatewaySnapshot GatewayConfig::snapshot() const {
  std::lock_guard lock(mutex_);
  return {bind_address_, downstreams_, routes_};
}

std::string GatewayConfig::bind_address() const {
  std::lock_guard lock(mutex_);
  return bind_address_;
}

}  // namespace tessaly::gateway
