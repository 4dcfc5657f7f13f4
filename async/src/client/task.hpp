// The client task: one per ClientHandle, owning the connection, assigning transaction ids,
// sending requests, matching responses and failing requests when the connection is lost.
#pragma once

#include <poll.h>

#include <asio/bind_executor.hpp>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/socket_base.hpp>
#include <asio/use_awaitable.hpp>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "client/client_core.hpp"
#include "client/pending_table.hpp"

namespace tessaly::engine {

inline constexpr std::uint64_t kTcpInFlightLimit = 1000;
inline constexpr int kCommandsPerWakeUp = 16;

// What differs between TCP and serial tasks. A Connector has
//   using Connection = ...;  (send, receive and close; for TCP also the non-blocking steps)
//   asio::awaitable<core::Result<Connection>> connect(executor);
//   core::TransportKind kind; core::SerialMode mode; std::uint64_t in_flight_limit;
//   static constexpr bool kDirect;  (whether blocking callers may do their own I/O)
//
// Every piece of state is guarded by `mutex_`, which is never held across a suspension: the
// task's coroutines run on a strand, while blocking callers on the TCP direct path work on
// their own threads. Input is read by one party at a time (`reading_`).
template <typename Connector>
class ClientTask : public DirectPath, public std::enable_shared_from_this<ClientTask<Connector>> {
 public:
  using Connection = typename Connector::Connection;
  using Lock = std::unique_lock<std::mutex>;

  ClientTask(TaskExecutor executor, std::shared_ptr<CommandChannel> channel,
             std::shared_ptr<LatestValue<std::size_t>> pending_count, Connector connector)
      : executor_(std::move(executor)),
        channel_(std::move(channel)),
        pending_count_(std::move(pending_count)),
        connector_(std::move(connector)),
        pending_(connector_.in_flight_limit > 1 ? 2048 : 4) {
    out_.reserve(kCommandsPerWakeUp * core::kFrameCapacity);
    writing_.reserve(kCommandsPerWakeUp * core::kFrameCapacity);
  }

  static void spawn(std::shared_ptr<ClientTask> task) {
    auto executor = task->executor_;
    asio::co_spawn(executor, task->command_loop(task), asio::detached);
  }

  bool try_send_now(core::ClientRequest& request, ReplySender<Reply>& reply) override {
    if constexpr (!Connector::kDirect) {
      return false;
    } else {
      Lock lock(mutex_);
      if (ended_ || !connection_ || !waiting_.empty() || !below_limit()) return false;
      send_request(RequestCommand{std::move(request), std::move(reply)}, true);
      flush();
      return true;
    }
  }

  std::optional<bool> try_queue_now(core::ClientRequest& request,
                                    ReplySender<Reply>& reply) override {
    if constexpr (!Connector::kDirect) {
      return std::nullopt;
    } else {
      Lock lock(mutex_);
      if (ended_ || !connection_ || !waiting_.empty() || !below_limit()) return std::nullopt;
      const bool first = out_.empty() && !writing_active_;
      send_request(RequestCommand{std::move(request), std::move(reply)});
      return first && !out_.empty();
    }
  }

  void flush_now() override {
    if constexpr (Connector::kDirect) {
      Lock lock(mutex_);
      if (writing_active_ || out_.empty() || !connection_) return;
      auto written = connection_->write_now(out_);
      if (!written) {
        std::vector<core::TransactionId> ids;
        ids.swap(out_ids_);
        fail_sent(ids, written.error());
        return;
      }
      out_.erase(out_.begin(), out_.begin() + static_cast<std::ptrdiff_t>(*written));
      if (out_.empty()) {
        out_ids_.clear();
      } else {
        flush();  // the rest goes out when the socket takes it
      }
    }
  }

  void drive(ReplySlot<Reply>& slot, Clock::time_point until) override {
    if constexpr (Connector::kDirect) {
      Lock lock(mutex_);
      if (slot.state() != ReplySlot<Reply>::Empty) return;  // answered while we waited
      if (!reading_ && connection_ && !ended_) {
        reading_ = true;
        auto connection = connection_;
        const std::uint64_t generation = generation_;
        lock.unlock();
        wait_readable(connection->native_handle(), until);
        lock.lock();
        // Drained before the role is given back: data that arrived while the task's own reader
        // stood aside is consumed here, and anything later wakes that reader.
        if (generation == generation_) drain_input(*connection);
        reading_ = false;
        return;
      }
    }
    slot.wait_until(until);
  }

 private:
  static constexpr auto kTuple = asio::experimental::as_tuple(asio::use_awaitable);

  bool below_limit() const { return in_flight_ < connector_.in_flight_limit; }
  void publish() { pending_count_->publish(pending_.size()); }

  static void wait_readable(int fd, Clock::time_point until) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
    pollfd p{fd, POLLIN, 0};
    ::poll(&p, 1, static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, 100)));
  }

  // Each coroutine holds the task alive through its `self` parameter, which is copied into the
  // coroutine frame before the coroutine first runs.
  asio::awaitable<void> command_loop([[maybe_unused]] std::shared_ptr<ClientTask> self) {
    for (;;) {
      {
        Lock lock(mutex_);
        refill();
      }
      auto [error, command] = co_await channel_->async_receive(kTuple);
      if (error) break;  // every handle is gone
      co_await handle(std::move(command));
      for (int handled = 1; handled < kCommandsPerWakeUp; ++handled) {
        {
          Lock lock(mutex_);
          if (!below_limit()) break;
        }
        std::optional<ClientCommand> next;
        channel_->try_receive([&](std::error_code e, ClientCommand c) {
          if (!e) next.emplace(std::move(c));
        });
        if (!next) break;
        co_await handle(std::move(*next));
      }
      Lock lock(mutex_);
      flush();
    }
    Lock lock(mutex_);
    ended_ = true;
    drop_connection();
    pending_.drain([](PendingRequest) {});  // dropping the senders closes the slots
    waiting_.clear();
    publish();
  }

  asio::awaitable<void> handle(ClientCommand command) {
    if (auto* request = std::get_if<RequestCommand>(&command)) {
      Lock lock(mutex_);
      release_abandoned();
      if (below_limit() && waiting_.empty())
        send_request(std::move(*request));
      else
        waiting_.push_back(std::move(*request));
    } else if (auto* connect = std::get_if<ConnectCommand>(&command)) {
      {
        // A connection being replaced fails what it still owes rather than leaving it unanswered.
        Lock lock(mutex_);
        if (connection_) connection_lost();
      }
      auto connection = co_await connector_.connect(executor_);
      if (!connection) {
        connect->reply.send(std::unexpected(connection.error()));
        co_return;
      }
      Lock lock(mutex_);
      connection_ = std::make_shared<Connection>(std::move(*connection));
      start_reading(connection_, ++generation_);
      connect->reply.send(core::Status{});
    } else {
      Lock lock(mutex_);
      fail_all_pending(core::CoreErrorKind::ConnectionClosed);
      for (auto& waiting : waiting_)
        waiting.reply.send(core::fail(core::CoreErrorKind::ConnectionClosed));
      waiting_.clear();
      drop_connection();
    }
  }

  // A serial line carries one request at a time. When its caller has given up (time-out or
  // cancellation) and another request needs the line, the abandoned one lets go of it; else a
  // single lost answer would hold the line for good.
  void release_abandoned() {
    if (connector_.kind != core::TransportKind::Serial || below_limit()) return;
    auto id = pending_.first_id();
    if (!id || !pending_.find_request(*id)->reply.abandoned()) return;
    pending_.take(*id);
    if (in_flight_ > 0) --in_flight_;
    publish();
  }

  void refill() {
    if (!waiting_.empty()) release_abandoned();
    bool sent = false;
    while (below_limit() && !waiting_.empty()) {
      RequestCommand request = std::move(waiting_.front());
      waiting_.pop_front();
      send_request(std::move(request));
      sent = true;
    }
    if (sent) flush();
  }

  core::TransactionId next_transaction_id() {
    const core::TransactionId id = next_id_;
    next_id_ = next_id_ == 65535 ? 1 : static_cast<core::TransactionId>(next_id_ + 1);
    return id;
  }

  // `now`: write from this thread at once (a blocking caller's own request) rather than leave
  // the frame for the batched write of this wake-up.
  void send_request(RequestCommand command, bool now = false) {
    if (!connection_) {
      command.reply.send(core::fail(core::CoreErrorKind::ConnectionClosed));
      return;
    }
    const core::TransactionId id = next_transaction_id();
    auto encoded =
        core::encode_request(frame_, command.request, id, connector_.kind, connector_.mode);
    if (!encoded) {
      command.reply.send(std::unexpected(encoded.error()));
      return;
    }
    // Registered before the bytes leave: the answer may be read before the write completes.
    pending_.insert(
        id, PendingRequest{core::request_context(command.request), std::move(command.reply)});
    ++in_flight_;
    publish();
    auto bytes = frame_.view();
    if constexpr (Connector::kDirect) {
      // Nothing queued ahead: write straight away.
      if (now && !writing_active_ && out_.empty()) {
        auto written = connection_->write_now(bytes);
        if (!written) {
          fail_sent({&id, 1}, written.error());
          return;
        }
        bytes = bytes.subspan(*written);
        if (bytes.empty()) return;
      }
    }
    out_.insert(out_.end(), bytes.begin(), bytes.end());
    out_ids_.push_back(id);
  }

  // Starts writing what has accumulated unless a write is already under way.
  void flush() {
    if (writing_active_ || out_.empty() || !connection_) return;
    writing_active_ = true;
    std::swap(out_, writing_);
    std::swap(out_ids_, writing_ids_);
    asio::co_spawn(executor_, write_batch(this->shared_from_this(), connection_, generation_),
                   asio::detached);
  }

  asio::awaitable<void> write_batch([[maybe_unused]] std::shared_ptr<ClientTask> self,
                                    std::shared_ptr<Connection> connection,
                                    std::uint64_t generation) {
    auto status = co_await connection->send(writing_);
    Lock lock(mutex_);
    writing_active_ = false;
    if (generation == generation_ && !status) fail_sent(writing_ids_, status.error());
    writing_.clear();
    writing_ids_.clear();
    flush();
  }

  // A send failed: its requests get the error itself, every other one ConnectionClosed.
  void fail_sent(std::span<const core::TransactionId> ids, core::CoreError error) {
    std::vector<PendingRequest> failed;
    for (auto id : ids)
      if (auto request = pending_.take(id)) failed.push_back(std::move(*request));
    connection_lost();
    for (auto& request : failed) request.reply.send(std::unexpected(error));
  }

  void start_reading(const std::shared_ptr<Connection>& connection, std::uint64_t generation) {
    if constexpr (Connector::kDirect) {
      arm(connection, generation);
    } else {
      asio::co_spawn(executor_, read_loop(this->shared_from_this(), connection, generation),
                     asio::detached);
    }
  }

  // TCP: one readiness wait stays armed for the life of the connection. It is re-armed before
  // the input is read, so bytes arriving at any moment either wake it or are read now.
  void arm(std::shared_ptr<Connection> connection, std::uint64_t generation) {
    auto& socket = connection->socket();
    socket.async_wait(asio::socket_base::wait_read,
                      asio::bind_executor(executor_, [self = this->shared_from_this(),
                                                      connection = std::move(connection),
                                                      generation](std::error_code error) mutable {
                        if (!error) self->arm(connection, generation);
                        Lock lock(self->mutex_);
                        if (generation != self->generation_) return;
                        if (error) {
                          self->connection_lost();
                          return;
                        }
                        if (self->reading_)
                          return;  // a caller is reading; it drains before it stops
                        self->drain_input(*connection);
                      }));
  }

  // Reads everything available and matches every whole frame (lock held).
  void drain_input(Connection& connection) {
    if constexpr (Connector::kDirect) {
      core::Frame frame;
      for (;;) {
        while (auto taken = connection.take_frame(frame)) {
          if (!*taken) {
            connection_lost();
            return;
          }
          match(frame.view());
        }
        auto filled = connection.fill_now();
        if (!filled) {
          connection_lost();
          return;
        }
        if (!*filled) break;
      }
      refill();
      flush();
    }
  }

  // Serial: frames are cut by the transport's own receive.
  asio::awaitable<void> read_loop([[maybe_unused]] std::shared_ptr<ClientTask> self,
                                  std::shared_ptr<Connection> connection,
                                  std::uint64_t generation) {
    core::Frame frame;
    for (;;) {
      auto status = co_await connection->receive(frame);
      Lock lock(mutex_);
      if (generation != generation_) co_return;  // dropped or replaced meanwhile
      if (!status) {
        connection_lost();
        co_return;
      }
      match(frame.view());
      refill();
      flush();
    }
  }

  void answer(PendingRequest request, Reply reply) {
    if (in_flight_ > 0) --in_flight_;
    publish();
    if (reply) {
      request.reply.send(core::attach_request_context(std::move(*reply), request.context));
    } else {
      request.reply.send(std::move(reply));
    }
  }

  void match(std::span<const std::uint8_t> frame) {
    auto decoded = core::decode_response(frame, connector_.kind, connector_.mode);
    if (connector_.kind == core::TransportKind::Serial) {
      // One request in flight at most: whatever arrives answers it.
      if (auto request = pending_.take_any())
        answer(std::move(*request),
               decoded ? std::move(decoded->response) : std::unexpected(decoded.error()));
      return;
    }
    // TCP: matched by the frame's own transaction id only; id 0 is never one of ours.
    core::TransactionId id;
    Reply reply = core::fail(core::CoreErrorKind::Unexpected);
    if (decoded) {
      id = decoded->transaction_id;
      reply = std::move(decoded->response);
    } else {
      id = core::read_u16(frame, 0);  // the transport never hands over fewer than 7 bytes
      reply = std::unexpected(decoded.error());
    }
    if (id == 0) return;
    if (auto request = pending_.take(id)) answer(std::move(*request), std::move(reply));
  }

  void fail_all_pending(core::CoreError error) {
    // The count is published before any caller wakes, so none of them sees a stale one.
    std::vector<PendingRequest> failed;
    failed.reserve(pending_.size());
    pending_.drain([&](PendingRequest request) { failed.push_back(std::move(request)); });
    in_flight_ = 0;
    publish();
    for (auto& request : failed) request.reply.send(std::unexpected(error));
  }

  void drop_connection() {
    if (connection_) connection_->close();
    connection_.reset();
    ++generation_;
    out_.clear();
    out_ids_.clear();
  }

  void connection_lost() {
    drop_connection();
    fail_all_pending(core::CoreErrorKind::ConnectionClosed);
  }

  TaskExecutor executor_;
  std::shared_ptr<CommandChannel> channel_;
  std::shared_ptr<LatestValue<std::size_t>> pending_count_;
  Connector connector_;

  std::mutex mutex_;
  std::shared_ptr<Connection> connection_;
  std::uint64_t generation_ = 0;
  bool ended_ = false;
  bool reading_ = false;
  PendingTable pending_;
  std::deque<RequestCommand> waiting_;
  core::TransactionId next_id_ = 1;
  std::uint64_t in_flight_ = 0;
  core::Frame frame_;
  std::vector<std::uint8_t> out_, writing_;
  std::vector<core::TransactionId> out_ids_, writing_ids_;
  bool writing_active_ = false;
};

}  // namespace tessaly::engine
