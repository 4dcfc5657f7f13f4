// The serial (RTU and ASCII) client: its connector and the handle's serial constructor.
#include "client/task.hpp"
#include "management/serial_transport.hpp"
#include "runtime/runtime.hpp"

namespace tessaly::engine {

namespace {

struct SerialConnector {
  using Connection = serial::SerialConnection;
  // The response time-out and retry count of the line settings are not used: the request
  // time-out is the only time-out, and nothing is ever sent twice.
  serial::SerialConfig config;
  core::SerialMode mode;
  core::TransportKind kind = core::TransportKind::Serial;
  std::uint64_t in_flight_limit = 1;

  static constexpr bool kDirect = false;

  asio::awaitable<core::Result<Connection>> connect(const TaskExecutor& executor) const {
    co_return serial::open_serial(executor, config, mode);
  }
};

}  // namespace

std::shared_ptr<ClientHandle> ClientHandle::create_serial(serial::SerialConfig config,
                                                          core::SerialMode framing,
                                                          std::uint64_t timeout_ms) {
  TaskExecutor executor = asio::make_strand(runtime());
  auto channel = std::make_shared<CommandChannel>(executor, kSerialChannelCapacity);
  auto pending = std::make_shared<LatestValue<std::size_t>>();
  auto task = std::make_shared<ClientTask<SerialConnector>>(
      executor, channel, pending, SerialConnector{std::move(config), framing});
  ClientTask<SerialConnector>::spawn(std::move(task));
  return std::shared_ptr<ClientHandle>(new ClientHandle(channel, pending, timeout_ms));
}

}  // namespace tessaly::engine
