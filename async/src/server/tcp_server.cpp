// The TCP listener and the stop signal.
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/strand.hpp>
#include <asio/use_awaitable.hpp>

#include "management/tcp_transport.hpp"
#include "runtime/runtime.hpp"
#include "server/listeners.hpp"

namespace tessaly::engine {

namespace {

constexpr auto kTuple = asio::experimental::as_tuple(asio::use_awaitable);

ServerError bind_error(std::string text) {
  return ServerError{ServerErrorKind::Bind, {}, std::move(text)};
}

asio::awaitable<std::expected<asio::ip::tcp::acceptor, ServerError>> bind_listener(
    const std::string& address) {
  auto bound = co_await bind_tcp_acceptor(address);
  if (!bound) co_return std::unexpected(bind_error(bound.error()));
  co_return std::move(*bound);
}

}  // namespace

// The text is a socket address, or else "host:port" split at its last ':'.
asio::awaitable<std::expected<asio::ip::tcp::acceptor, std::string>> bind_tcp_acceptor(
    const std::string& address) {
  auto executor = co_await asio::this_coro::executor;
  const auto colon = address.rfind(':');
  if (colon == std::string::npos) co_return std::unexpected(std::string("invalid socket address"));
  std::string host = address.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  asio::ip::tcp::resolver resolver(executor);
  auto [resolve_error, endpoints] =
      co_await resolver.async_resolve(host, address.substr(colon + 1), kTuple);
  if (resolve_error || endpoints.empty())
    co_return std::unexpected(std::string("could not resolve to any address"));
  std::error_code last;
  for (const auto& entry : endpoints) {
    asio::ip::tcp::acceptor acceptor(executor);
    std::error_code error;
    acceptor.open(entry.endpoint().protocol(), error);
    if (!error) acceptor.set_option(asio::socket_base::reuse_address(true), error);
    if (!error) acceptor.bind(entry.endpoint(), error);
    if (!error) acceptor.listen(128, error);
    if (!error) co_return acceptor;
    last = error;
  }
  co_return std::unexpected(last.message());
}

namespace {

asio::awaitable<void> run_session(net::TcpConnection connection, core::UnitId unit,
                                  std::shared_ptr<ServerApplication> application) {
  ServerSession<net::TcpConnection> session(std::move(connection), core::TransportKind::Tcp,
                                            core::SerialMode::Rtu, unit, std::move(application));
  co_await session.run();  // whatever ended it is of no further use
}

// Runs on a strand, so that a stop (closing the acceptor) never races with the accept.
asio::awaitable<std::expected<void, ServerError>> accept_loop(TcpListenerConfig config) {
  auto strand = co_await asio::this_coro::executor;
  auto bound = co_await bind_listener(config.bind_address);
  if (!bound) co_return std::unexpected(bound.error());
  auto acceptor = std::make_shared<asio::ip::tcp::acceptor>(std::move(*bound));
  auto stopped = std::make_shared<bool>(false);
  const bool running = config.stop->attach([strand, acceptor, stopped] {
    asio::post(strand, [acceptor, stopped] {
      *stopped = true;
      std::error_code ignored;
      acceptor->close(ignored);
    });
  });
  if (!running) co_return std::expected<void, ServerError>{};  // a stop was waiting
  auto& io = engine::runtime();
  std::expected<void, ServerError> result;
  for (;;) {
    // The socket belongs to the runtime, not to this strand: sessions run in parallel.
    asio::ip::tcp::socket socket(io);
    auto [error] = co_await acceptor->async_accept(socket, kTuple);
    if (*stopped) break;
    if (error) {
      result = std::unexpected(ServerError::client_closed());
      break;
    }
    net::set_no_delay(socket);
    // Sessions run on their own, on the runtime's workers, and outlive the listener.
    asio::co_spawn(
        io, run_session(net::TcpConnection(std::move(socket)), config.unit_id, config.application),
        asio::detached);
  }
  config.stop->detach();
  co_return result;
}

}  // namespace

asio::awaitable<std::expected<void, ServerError>> run_tcp_listener(TcpListenerConfig config) {
  co_return co_await asio::co_spawn(asio::make_strand(engine::runtime()),
                                    accept_loop(std::move(config)), asio::use_awaitable);
}

}  // namespace tessaly::engine
