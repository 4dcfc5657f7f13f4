// The gateway engine: connecting downstreams, the accept loop and the forwarding sessions.
#include "gateway_async/gateway.hpp"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>
#include <asio/use_awaitable.hpp>

#include "data_unit/common/frame.hpp"
#include "runtime/runtime.hpp"
#include "server/listeners.hpp"

namespace tessaly::gateway {

namespace {

constexpr auto kTuple = asio::experimental::as_tuple(asio::use_awaitable);
using namespace asio::experimental::awaitable_operators;
using Clock = std::chrono::steady_clock;

// What every session of one run shares, read-only apart from the channels' own locks.
struct Shared {
  Channels channels;
  RouteTable routes;
  std::shared_ptr<GatewayEventSink> events;
  engine::AsyncMutex event_lock;
  std::chrono::nanoseconds response_timeout;
};

// The PDU bytes of a TCP frame exactly as they arrived (the exception bit included).
std::span<const std::uint8_t> pdu_of(const core::Frame& frame) {
  const std::size_t length = (frame[4] << 8) | frame[5];
  return frame.view().subspan(core::kMbapHeaderSize, length - 1);
}

class Session {
 public:
  Session(net::TcpConnection upstream, std::shared_ptr<Shared> shared)
      : upstream_(std::move(upstream)), shared_(std::move(shared)) {}

  asio::awaitable<void> run() {
    for (;;) {
      if (auto received = co_await upstream_.receive(frame_); !received) break;
      auto adu = core::decode_tcp_frame(frame_.view());
      if (!adu) continue;  // undecodable: no answer
      unit_ = core::received_unit(*adu);
      upstream_txn_ = adu->mbap.transaction_id;
      function_ = adu->pdu.function_code;
      auto channel = shared_->routes.resolve(adu->mbap.unit_id);
      if (!channel) {
        co_await emit([&](GatewayEventSink& e) { e.on_routing_miss(unit_); });
        co_await send_exception(0x04);
        continue;
      }
      co_await emit([&](GatewayEventSink& e) { e.on_forward(unit_, *channel); });
      if (*channel >= shared_->channels.size()) {
        co_await send_exception(0x04);
        continue;
      }
      const core::TransactionId internal = counter_++;  // wraps 65535 → 0
      if (!core::encode_frame(request_, internal, unit_, pdu_of(frame_), core::TransportKind::Tcp,
                              core::SerialMode::Rtu))
        continue;
      auto answer = co_await forward(*shared_->channels[*channel], internal);
      if (!answer) continue;
      if (!core::encode_frame(response_, upstream_txn_, unit_, pdu_of(*answer),
                              core::TransportKind::Tcp, core::SerialMode::Rtu))
        continue;
      if (auto sent = co_await upstream_.send(response_.view()); !sent) break;
      co_await emit([&](GatewayEventSink& e) { e.on_response_returned(upstream_txn_); });
      asio::steady_timer pause(co_await asio::this_coro::executor, std::chrono::microseconds(10));
      co_await pause.async_wait(kTuple);
    }
    co_await emit([](GatewayEventSink& e) { e.on_upstream_disconnect(); });
  }

 private:
  template <typename F>
  asio::awaitable<void> emit(F call) {
    if (!shared_->events) co_return;
    co_await shared_->event_lock.lock();
    call(*shared_->events);
    shared_->event_lock.unlock();
  }

  asio::awaitable<void> send_exception(std::uint8_t code) {
    if (!core::is_plain_function_code(function_)) co_return;
    const std::uint8_t pdu[2] = {static_cast<std::uint8_t>(function_ | 0x80), code};
    if (!core::encode_frame(response_, upstream_txn_, unit_, pdu, core::TransportKind::Tcp,
                            core::SerialMode::Rtu))
      co_return;
    (void)co_await upstream_.send(response_.view());
  }

  // Sends the request on the channel and waits for the answer carrying `internal`. Answers with
  // another id (late answers to earlier requests) are discarded while the time-out runs.
  asio::awaitable<std::optional<core::Frame>> forward(DownstreamChannel& channel,
                                                      core::TransactionId internal) {
    co_await channel.lock.lock();
    auto executor = co_await asio::this_coro::executor;
    std::optional<core::Frame> answer;
    const auto give_up = Clock::now() + shared_->response_timeout;
    asio::steady_timer timer(executor, give_up);
    // A broken connection is made again on demand, within the response time-out.
    if (!channel.connection || !channel.connection->connected()) {
      // Named first: GCC 12 mishandles non-trivial temporaries inside a co_await expression.
      auto connecting = net::connect_tcp(channel.target.host, channel.target.port);
      auto waiting = timer.async_wait(kTuple);
      auto connected = co_await (std::move(connecting) || std::move(waiting));
      if (connected.index() == 0 && std::get<0>(connected))
        channel.connection =
            std::make_shared<net::TcpConnection>(std::move(*std::get<0>(connected)));
      else
        channel.connection.reset();
      timer.expires_at(give_up);
    }
    auto connection = channel.connection;
    if (connection) {
      if (auto sent = co_await connection->send(request_.view()); !sent) {
        channel.connection.reset();
      } else {
        timer.expires_at(Clock::now() + shared_->response_timeout);
        answer = co_await await_answer(channel, *connection, timer, internal);
      }
    }
    if (!answer && timed_out_) {
      timed_out_ = false;
      // The event lock is taken while the channel lock is held, never the other way round.
      if (shared_->events) {
        co_await shared_->event_lock.lock();
        shared_->events->on_downstream_timeout(internal);
        co_await send_exception(0x0B);
        shared_->event_lock.unlock();
      } else {
        co_await send_exception(0x0B);
      }
    }
    channel.lock.unlock();
    co_return answer;
  }

  asio::awaitable<std::optional<core::Frame>> await_answer(DownstreamChannel& channel,
                                                           net::TcpConnection& connection,
                                                           asio::steady_timer& timer,
                                                           core::TransactionId internal) {
    core::Frame frame;
    for (;;) {
      auto receiving = connection.receive(frame);
      auto waiting = timer.async_wait(kTuple);
      auto event = co_await (std::move(receiving) || std::move(waiting));
      if (event.index() == 1) {
        timed_out_ = true;
        co_return std::nullopt;
      }
      if (!std::get<0>(event)) {
        channel.connection.reset();
        co_return std::nullopt;
      }
      auto adu = core::decode_tcp_frame(frame.view());
      if (!adu) co_return std::nullopt;  // undecodable: no answer upstream
      if (adu->mbap.transaction_id == internal) co_return frame;
      // Not ours: a late answer to an earlier request. Keep waiting.
    }
  }

  net::TcpConnection upstream_;
  std::shared_ptr<Shared> shared_;
  core::Frame frame_, request_, response_;
  core::UnitId unit_ = 0;
  core::TransactionId upstream_txn_ = 0;
  std::uint8_t function_ = 0;
  core::TransactionId counter_ = 0;
  bool timed_out_ = false;
};

asio::awaitable<void> run_session(net::TcpConnection upstream, std::shared_ptr<Shared> shared) {
  Session session(std::move(upstream), std::move(shared));
  co_await session.run();
}

asio::awaitable<std::expected<void, GatewayError>> accept_loop(GatewayRun run) {
  auto strand = co_await asio::this_coro::executor;
  auto bound = co_await engine::bind_tcp_acceptor(run.bind_address);
  if (!bound) co_return std::unexpected(GatewayError{GatewayErrorKind::Bind, bound.error()});
  auto acceptor = std::make_shared<asio::ip::tcp::acceptor>(std::move(*bound));
  auto stopped = std::make_shared<bool>(false);
  std::size_t id = 0;
  if (!run.stop->attach(run.stop_epoch, id, [strand, acceptor, stopped] {
        asio::post(strand, [acceptor, stopped] {
          *stopped = true;
          std::error_code ignored;
          acceptor->close(ignored);
        });
      }))
    co_return std::expected<void, GatewayError>{};  // stopped while starting
  auto shared = std::make_shared<Shared>();
  shared->channels = std::move(run.channels);
  shared->routes = std::move(run.routes);
  shared->events = std::move(run.events);
  shared->response_timeout = run.response_timeout;
  auto& io = engine::runtime();
  std::expected<void, GatewayError> result;
  for (;;) {
    asio::ip::tcp::socket socket(io);
    auto [error] = co_await acceptor->async_accept(socket, kTuple);
    if (*stopped) break;
    if (error) {
      result = std::unexpected(GatewayError{GatewayErrorKind::Accept, error.message()});
      break;
    }
    net::set_no_delay(socket);
    asio::co_spawn(io, run_session(net::TcpConnection(std::move(socket)), shared), asio::detached);
  }
  run.stop->detach(id);
  co_return result;
}

}  // namespace

asio::awaitable<std::expected<Channels, ConnectFailure>> connect_downstreams(
    std::vector<TcpDownstream> downstreams) {
  Channels channels;
  for (auto& downstream : downstreams) {
    auto connection = co_await net::connect_tcp(downstream.host, downstream.port);
    if (!connection) co_return std::unexpected(ConnectFailure{downstream, connection.error()});
    auto channel = std::make_shared<DownstreamChannel>();
    channel->target = downstream;
    channel->connection = std::make_shared<net::TcpConnection>(std::move(*connection));
    channels.push_back(std::move(channel));
  }
  co_return channels;
}

asio::awaitable<std::expected<void, GatewayError>> run_gateway(GatewayRun run) {
  co_return co_await asio::co_spawn(asio::make_strand(engine::runtime()),
                                    accept_loop(std::move(run)), asio::use_awaitable);
}

}  // namespace tessaly::gateway
