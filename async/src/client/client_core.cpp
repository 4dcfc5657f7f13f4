// ClientHandle operations: unit checks, queueing, deadlines and the reply's shape.
#include "client/client_core.hpp"

#include "runtime/runtime.hpp"

namespace tessaly::engine {

namespace {

ClientResult<core::ClientResponse> from_slot(ReplySlot<Reply>& slot) {
  if (slot.state() != ReplySlot<Reply>::Filled)
    return std::unexpected(ClientError(ClientErrorKind::WorkerClosed));
  Reply reply = slot.take();
  if (!reply) return std::unexpected(ClientError(reply.error()));
  return std::move(*reply);
}

}  // namespace

std::optional<ClientResult<core::ClientResponse>> Call::wait_until(Clock::time_point limit) {
  const bool deadline_first = deadline_ && *deadline_ <= limit;
  const auto until = deadline_first ? *deadline_ : limit;
  if (driver_) {
    while (slot_->state() == ReplySlot<Reply>::Empty && Clock::now() < until)
      driver_->drive(*slot_, until);
  }
  if (slot_->wait_until(until) != ReplySlot<Reply>::Empty) return from_slot(*slot_);
  if (!deadline_first) return std::nullopt;
  // The deadline passed; an answer that lands at the same moment still wins.
  if (slot_->abandon()) return std::unexpected(ClientError(ClientErrorKind::RequestTimedOut));
  return from_slot(*slot_);
}

ClientResult<core::ClientResponse> Call::wait() {
  for (;;) {
    if (auto result = wait_until(Clock::time_point::max())) return std::move(*result);
  }
}

ClientResult<core::ClientResponse> Call::take_ready() {
  return from_slot(*slot_);
}

ClientResult<core::WordList> copy_words(std::span<const std::uint16_t> words) {
  core::WordList list;
  if (!list.assign(words)) return std::unexpected(ClientError(core::CoreErrorKind::BufferTooSmall));
  return list;
}

ClientHandle::ClientHandle(std::shared_ptr<CommandChannel> channel,
                           std::shared_ptr<LatestValue<std::size_t>> pending,
                           std::uint64_t timeout_ms, std::shared_ptr<DirectPath> direct)
    : channel_(std::move(channel)), pending_(std::move(pending)), direct_(std::move(direct)) {
  // Saturates: a time-out too long to count in nanoseconds is as good as none ending.
  constexpr std::uint64_t kMax = UINT64_MAX / 1'000'000u;
  if (timeout_ms != 0) timeout_ns_.store(timeout_ms > kMax ? UINT64_MAX : timeout_ms * 1'000'000u);
}

ClientHandle::~ClientHandle() {
  close();
}

void ClientHandle::close() {
  channel_->close();
}

bool ClientHandle::send_command(ClientCommand command) {
  if (!channel_->is_open()) return false;
  if (channel_->try_send(std::error_code{}, std::move(command))) return true;
  if (!channel_->is_open()) return false;
  // Full: wait for room, with no deadline. (The try above only moves from `command` on success.)
  auto room = std::make_shared<ReplySlot<bool>>();
  channel_->async_send(std::error_code{}, std::move(command),
                       [room](std::error_code error) { room->fulfil(!error); });
  if (room->wait_until(std::chrono::steady_clock::time_point::max()) != ReplySlot<bool>::Filled)
    return false;
  return room->take();
}

ClientResult<std::shared_ptr<ReplySlot<core::Status>>> ClientHandle::submit_connect(
    std::function<void()> on_ready) {
  auto slot = std::make_shared<ReplySlot<core::Status>>();
  if (on_ready) slot->on_ready(std::move(on_ready));
  if (!send_command(ConnectCommand{ReplySender<core::Status>(slot)}))
    return std::unexpected(ClientError(ClientErrorKind::WorkerClosed));
  return slot;
}

ClientResult<void> ClientHandle::connect() {
  auto submitted = submit_connect();
  if (!submitted) return std::unexpected(submitted.error());
  auto& slot = *submitted;
  if (slot->wait_until(std::chrono::steady_clock::time_point::max()) !=
      ReplySlot<core::Status>::Filled)
    return std::unexpected(ClientError(ClientErrorKind::WorkerClosed));
  auto status = slot->take();
  if (!status) return std::unexpected(ClientError(status.error()));
  return {};
}

ClientResult<void> ClientHandle::disconnect() {
  if (!send_command(DisconnectCommand{}))
    return std::unexpected(ClientError(ClientErrorKind::WorkerClosed));
  return {};
}

std::optional<Call::Clock::time_point> ClientHandle::deadline_from_now() const {
  const std::uint64_t timeout = request_timeout_ns();
  if (timeout == 0) return std::nullopt;
  const auto now = Call::Clock::now();
  // A deadline beyond the clock's range means no deadline at all.
  if (std::chrono::nanoseconds(timeout) >= Call::Clock::time_point::max() - now)
    return std::nullopt;
  return now + std::chrono::nanoseconds(timeout);
}

ClientResult<Call> ClientHandle::submit_with(core::ClientRequest request,
                                             std::function<void()> on_ready, bool direct) {
  if (auto unit = core::validate_unit_id(request.unit); !unit)
    return std::unexpected(ClientError(unit.error()));
  auto slot = std::make_shared<ReplySlot<Reply>>();
  if (on_ready) slot->on_ready(std::move(on_ready));
  ReplySender<Reply> reply(slot);
  if (direct && direct_ && channel_->is_open() && direct_->try_send_now(request, reply))
    return Call(std::move(slot), deadline_from_now(), direct_);
  if (!send_command(RequestCommand{std::move(request), std::move(reply)}))
    return std::unexpected(ClientError(ClientErrorKind::WorkerClosed));
  return Call(std::move(slot), deadline_from_now());
}

ClientResult<Call> ClientHandle::submit(core::ClientRequest request,
                                        std::function<void()> on_ready) {
  return submit_with(std::move(request), std::move(on_ready), false);
}

ClientResult<Call> ClientHandle::submit_batched(core::ClientRequest request,
                                                std::function<void()> on_ready, bool& needs_flush) {
  needs_flush = false;
  if (!direct_) return submit(std::move(request), std::move(on_ready));
  if (auto unit = core::validate_unit_id(request.unit); !unit)
    return std::unexpected(ClientError(unit.error()));
  auto slot = std::make_shared<ReplySlot<Reply>>();
  if (on_ready) slot->on_ready(std::move(on_ready));
  ReplySender<Reply> reply(slot);
  if (channel_->is_open()) {
    if (auto queued = direct_->try_queue_now(request, reply)) {
      needs_flush = *queued;
      return Call(std::move(slot), deadline_from_now());
    }
  }
  if (!send_command(RequestCommand{std::move(request), std::move(reply)}))
    return std::unexpected(ClientError(ClientErrorKind::WorkerClosed));
  return Call(std::move(slot), deadline_from_now());
}

ClientResult<Call> ClientHandle::submit_blocking(core::ClientRequest request) {
  return submit_with(std::move(request), {}, true);
}

ClientResult<core::ClientResponse> ClientHandle::request(core::ClientRequest request) {
  auto call = submit_blocking(std::move(request));
  if (!call) return std::unexpected(call.error());
  return call->wait();
}

}  // namespace tessaly::engine
