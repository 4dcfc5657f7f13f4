// The caller's side of the client engine: ClientHandle, its commands, errors and calls.
#pragma once

#include <asio/experimental/concurrent_channel.hpp>
#include <asio/strand.hpp>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>

#include "data_unit/common/codec.hpp"
#include "management/serial_transport.hpp"
#include "runtime/reply_slot.hpp"

namespace tessaly::engine {

enum class ClientErrorKind : std::uint8_t {
  Core,
  WorkerClosed,
  ResponseKindMismatch,
  RequestTimedOut
};

struct ClientError {
  ClientErrorKind kind = ClientErrorKind::Core;
  core::CoreError core{};

  ClientError() = default;
  ClientError(core::CoreError error) : core(error) {}  // NOLINT: a core error is a client error
  explicit ClientError(ClientErrorKind k) : kind(k) {}
  friend bool operator==(const ClientError&, const ClientError&) = default;
};

template <typename T>
using ClientResult = std::expected<T, ClientError>;

using Reply = core::Result<core::ClientResponse>;
using ReplySlotPtr = std::shared_ptr<ReplySlot<Reply>>;

struct ConnectCommand {
  ReplySender<core::Status> reply;
};
struct RequestCommand {
  core::ClientRequest request;
  ReplySender<Reply> reply;
};
struct DisconnectCommand {};
using ClientCommand = std::variant<ConnectCommand, RequestCommand, DisconnectCommand>;

using CommandChannel = asio::experimental::concurrent_channel<void(std::error_code, ClientCommand)>;
using TaskExecutor = asio::strand<asio::io_context::executor_type>;

inline constexpr std::size_t kTcpChannelCapacity = 10000;
inline constexpr std::size_t kSerialChannelCapacity = 64;
inline constexpr std::uint64_t kDefaultRequestTimeoutNs = 30'000'000'000ull;

// The way a blocking caller on a TCP client skips the hops through the runtime: it writes its
// request on its own thread and, while it waits, reads the connection itself. The task's own
// reader stays armed, so nothing depends on the caller staying.
class DirectPath {
 public:
  using Clock = std::chrono::steady_clock;
  virtual ~DirectPath() = default;
  // Sends the request now if the connection is idle enough; false leaves both arguments
  // untouched for the channel.
  virtual bool try_send_now(core::ClientRequest& request, ReplySender<Reply>& reply) = 0;
  // Reads and matches input until `slot` is answered or `until` passes.
  virtual void drive(ReplySlot<Reply>& slot, Clock::time_point until) = 0;
  // Queues the request's frame for a write that the caller triggers with flush_now (or that a
  // write under way picks up). Nullopt (arguments untouched) if the connection is not idle
  // enough; otherwise whether the caller must call flush_now.
  virtual std::optional<bool> try_queue_now(core::ClientRequest& request,
                                            ReplySender<Reply>& reply) = 0;
  // Writes what try_queue_now queued, from the calling thread.
  virtual void flush_now() = 0;
};

// A request on its way: the reply slot and the deadline read when the command was queued.
class Call {
 public:
  using Clock = std::chrono::steady_clock;

  Call(ReplySlotPtr slot, std::optional<Clock::time_point> deadline,
       std::shared_ptr<DirectPath> driver = {})
      : slot_(std::move(slot)), deadline_(deadline), driver_(std::move(driver)) {}

  // Blocks until the answer, the deadline, or `limit` (whichever is first). Empty while the
  // answer is still due after `limit`; the caller may wait again or abandon.
  std::optional<ClientResult<core::ClientResponse>> wait_until(Clock::time_point limit);
  // Blocks until the answer or the deadline.
  ClientResult<core::ClientResponse> wait();
  // Gives up; a later answer is discarded.
  void abandon() { slot_->abandon(); }
  // The answer if it is there; for callers told by the slot's ready callback.
  ClientResult<core::ClientResponse> take_ready();

  std::optional<Clock::time_point> deadline() const { return deadline_; }
  const ReplySlotPtr& slot() const { return slot_; }

 private:
  ReplySlotPtr slot_;
  std::optional<Clock::time_point> deadline_;
  std::shared_ptr<DirectPath> driver_;
};

// The response variant an operation accepts, or ResponseKindMismatch.
template <typename V>
ClientResult<V> expect(ClientResult<core::ClientResponse> result) {
  if (!result) return std::unexpected(result.error());
  if (auto* value = std::get_if<V>(&result->body)) return std::move(*value);
  return std::unexpected(ClientError(ClientErrorKind::ResponseKindMismatch));
}

// Caller-supplied u16 lists are copied into 252 words before anything is queued.
ClientResult<core::WordList> copy_words(std::span<const std::uint16_t> words);

class ClientHandle {
 public:
  // Creates the command channel and spawns the task (disconnected) on the shared runtime.
  static std::shared_ptr<ClientHandle> create_tcp(std::string host, std::uint16_t port,
                                                  std::uint64_t timeout_ms);
  static std::shared_ptr<ClientHandle> create_serial(serial::SerialConfig config,
                                                     core::SerialMode framing,
                                                     std::uint64_t timeout_ms);
  ~ClientHandle();
  ClientHandle(const ClientHandle&) = delete;
  ClientHandle& operator=(const ClientHandle&) = delete;

  // Opens (or reopens) the transport; blocks the caller until the task answers.
  ClientResult<void> connect();
  // Queues Connect and returns its reply slot (`on_ready` as for submit), or WorkerClosed.
  ClientResult<std::shared_ptr<ReplySlot<core::Status>>> submit_connect(
      std::function<void()> on_ready = {});
  // Asks the task to fail everything pending and drop the transport; does not wait.
  ClientResult<void> disconnect();

  // Checks the unit and queues the request, waiting for room in the channel if it is full.
  // `on_ready`, when given, runs once the answer is there, on whichever thread delivers it, with
  // engine locks held: it must be short, must not block and must not call Python.
  ClientResult<Call> submit(core::ClientRequest request, std::function<void()> on_ready = {});
  // For a caller that will block in Call::wait: sends from the calling thread when it can.
  ClientResult<Call> submit_blocking(core::ClientRequest request);
  // For a caller that issues many requests in a row from one thread (an event loop): the frame
  // is queued without waking the runtime, and `needs_flush` is set when the caller must call
  // flush() once it has queued this round of requests.
  ClientResult<Call> submit_batched(core::ClientRequest request, std::function<void()> on_ready,
                                    bool& needs_flush);
  void flush() {
    if (direct_) direct_->flush_now();
  }
  // submit_blocking + wait.
  ClientResult<core::ClientResponse> request(core::ClientRequest request);

  void set_request_timeout(std::uint32_t ms) {
    timeout_ns_.store(std::uint64_t{ms} * 1'000'000u, std::memory_order_relaxed);
  }
  void clear_request_timeout() { timeout_ns_.store(0, std::memory_order_relaxed); }
  std::uint64_t request_timeout_ns() const { return timeout_ns_.load(std::memory_order_relaxed); }
  bool has_pending_requests() const { return pending_->latest() != 0; }

  // Ends the task: every later operation fails with WorkerClosed.
  void close();

 private:
  ClientHandle(std::shared_ptr<CommandChannel> channel,
               std::shared_ptr<LatestValue<std::size_t>> pending, std::uint64_t timeout_ms,
               std::shared_ptr<DirectPath> direct = {});
  // Queues a command; false when the task has gone.
  bool send_command(ClientCommand command);
  ClientResult<Call> submit_with(core::ClientRequest request, std::function<void()> on_ready,
                                 bool direct);
  std::optional<Call::Clock::time_point> deadline_from_now() const;

  std::shared_ptr<CommandChannel> channel_;
  std::shared_ptr<LatestValue<std::size_t>> pending_;
  std::shared_ptr<DirectPath> direct_;
  std::atomic<std::uint64_t> timeout_ns_{kDefaultRequestTimeoutNs};
};

}  // namespace tessaly::engine
