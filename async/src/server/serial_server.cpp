// The serial listener: opens the port anew for each run and serves one session on it.
#include <asio/co_spawn.hpp>

#include "management/serial_transport.hpp"
#include "server/listeners.hpp"

namespace tessaly::engine {

asio::awaitable<ServerError> run_serial_listener(SerialListenerConfig config) {
  auto executor = co_await asio::this_coro::executor;
  auto opened = serial::open_serial(executor, config.line, config.line.mode);
  if (!opened) co_return ServerError{ServerErrorKind::Core, opened.error(), {}};
  ServerSession<serial::SerialConnection> session(std::move(*opened), core::TransportKind::Serial,
                                                  config.line.mode, config.unit_id,
                                                  config.application);
  co_return co_await session.run();
}

}  // namespace tessaly::engine
