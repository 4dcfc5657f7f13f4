// The TCP client: its connector and the handle's TCP constructor.
#include "client/task.hpp"
#include "management/tcp_transport.hpp"
#include "runtime/runtime.hpp"

namespace tessaly::engine {

namespace {

struct TcpConnector {
  using Connection = net::TcpConnection;
  std::string host;
  std::uint16_t port;
  core::TransportKind kind = core::TransportKind::Tcp;
  core::SerialMode mode = core::SerialMode::Rtu;
  std::uint64_t in_flight_limit = kTcpInFlightLimit;

  static constexpr bool kDirect = true;

  asio::awaitable<core::Result<Connection>> connect(const TaskExecutor&) const {
    co_return co_await net::connect_tcp(host, port);
  }
};

}  // namespace

std::shared_ptr<ClientHandle> ClientHandle::create_tcp(std::string host, std::uint16_t port,
                                                       std::uint64_t timeout_ms) {
  TaskExecutor executor = asio::make_strand(runtime());
  auto channel = std::make_shared<CommandChannel>(executor, kTcpChannelCapacity);
  auto pending = std::make_shared<LatestValue<std::size_t>>();
  auto task = std::make_shared<ClientTask<TcpConnector>>(executor, channel, pending,
                                                         TcpConnector{std::move(host), port});
  ClientTask<TcpConnector>::spawn(task);
  return std::shared_ptr<ClientHandle>(
      new ClientHandle(channel, pending, timeout_ms, std::move(task)));
}

}  // namespace tessaly::engine
