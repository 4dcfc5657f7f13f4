// The server session: one conversation (an accepted TCP connection or an open serial port)
// from received frames to sent answers, and the interface through which it reaches the
// application.
#pragma once

#include <asio/async_result.hpp>
#include <asio/awaitable.hpp>
#include <asio/post.hpp>
#include <asio/use_awaitable.hpp>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "data_unit/common/codec.hpp"

namespace tessaly::engine {

enum class ServerErrorKind : std::uint8_t { Core, ClientClosed, Framing, Bind };

// Why a session or a listener ended.
struct ServerError {
  ServerErrorKind kind = ServerErrorKind::Core;
  core::CoreError core{};
  std::string bind_error;  // the operating system's text, for Bind

  static ServerError client_closed() { return {ServerErrorKind::ClientClosed, {}, {}}; }
  static ServerError from(core::CoreError error) {
    if (error.kind == core::CoreErrorKind::ConnectionClosed) return client_closed();
    return {ServerErrorKind::Core, error, {}};
  }
};

// What a session needs from the application. `handle` answers at once by returning the
// response, or returns nothing and calls `done` exactly once later, on any thread. Every failure
// is an exception-form response. Sessions of one server may call it at the same time.
class ServerApplication {
 public:
  using Done = std::move_only_function<void(core::ServerResponse)>;
  virtual ~ServerApplication() = default;
  virtual std::optional<core::ServerResponse> handle(core::ServerRequest& request, Done done) = 0;
  // Told of every exception-form answer before it is sent; may not fail.
  virtual void on_exception(core::TransactionId transaction_id, core::UnitId unit,
                            std::uint8_t function_code, std::uint8_t exception_code) = 0;
};

// Where a late answer meets the session that waits for it, whichever comes first.
struct LateAnswer {
  std::mutex mutex;
  std::optional<core::ServerResponse> value;
  std::move_only_function<void(core::ServerResponse)> waiter;

  void deliver(core::ServerResponse response) {
    std::unique_lock lock(mutex);
    if (waiter) {
      auto resume = std::move(waiter);
      lock.unlock();
      resume(std::move(response));
    } else {
      value = std::move(response);
    }
  }
};

// The application's answer: at once when it has one (no hop through the runtime), otherwise
// awaited, resuming on the session's own executor.
inline asio::awaitable<core::ServerResponse> async_handle(ServerApplication& application,
                                                          core::ServerRequest& request) {
  auto late = std::make_shared<LateAnswer>();
  auto now = application.handle(
      request, [late](core::ServerResponse response) { late->deliver(std::move(response)); });
  if (now) co_return std::move(*now);
  // The initiation captures a plain pointer: `late` lives in this frame until the answer is in,
  // and GCC 12 mishandles non-trivial temporaries inside a co_await expression.
  LateAnswer* box = late.get();
  co_return co_await asio::async_initiate<decltype(asio::use_awaitable),
                                          void(core::ServerResponse)>(
      [box](auto handler) {
        auto executor = asio::get_associated_executor(handler);
        auto resume = [handler = std::move(handler),
                       executor](core::ServerResponse response) mutable {
          asio::post(executor,
                     [handler = std::move(handler), response = std::move(response)]() mutable {
                       std::move(handler)(std::move(response));
                     });
        };
        std::unique_lock lock(box->mutex);
        if (box->value) {
          auto response = std::move(*box->value);
          lock.unlock();
          resume(std::move(response));
        } else {
          box->waiter = std::move(resume);
        }
      },
      asio::use_awaitable);
}

// Serves one conversation until its transport fails. `Transport` offers awaitable
// `receive(Frame&)` and `send(span)` (the TCP and serial transports do).
template <typename Transport>
class ServerSession {
 public:
  ServerSession(Transport transport, core::TransportKind kind, core::SerialMode mode,
                core::UnitId unit_id, std::shared_ptr<ServerApplication> application)
      : transport_(std::move(transport)),
        kind_(kind),
        mode_(mode),
        unit_id_(unit_id),
        application_(std::move(application)) {}

  // Completes when the session ends, with the error that ended it.
  asio::awaitable<ServerError> run() {
    core::Frame frame;
    core::Frame answer;
    for (;;) {
      if (auto received = co_await transport_.receive(frame); !received)
        co_return ServerError::from(received.error());
      auto response = co_await serve(frame);
      if (!response || std::holds_alternative<core::ServerResponse::Nothing>(response->first.body))
        continue;
      const auto& [body, request] = *response;
      if (auto encoded = core::encode_response(answer, body, request.transaction_id, request.unit,
                                               kind_, mode_);
          !encoded)
        co_return ServerError::from(encoded.error());
      if (auto sent = co_await transport_.send(answer.view()); !sent)
        co_return ServerError::from(sent.error());
    }
  }

  bool listen_only() const { return listen_only_; }

 private:
  using Answer = std::optional<std::pair<core::ServerResponse, core::ServerRequest>>;

  // The answer to one frame, or nothing when the frame is dropped.
  asio::awaitable<Answer> serve(const core::Frame& frame) {
    using core::ServerRequest;
    using core::ServerResponse;
    auto adu = core::decode_frame(frame.view(), kind_, mode_);
    if (!adu) co_return std::nullopt;  // undecodable: dropped without an answer
    const core::UnitId unit = adu->raw_unit();
    if (unit != core::kBroadcastUnit && unit != unit_id_) co_return std::nullopt;
    auto request = core::decode_request(unit, adu->transaction_id(), adu->pdu);
    if (!request) co_return std::nullopt;  // malformed requests never get an exception answer
    auto* diagnostics = std::get_if<ServerRequest::Diagnostics>(&request->body);
    if (listen_only_ && diagnostics == nullptr) co_return std::nullopt;
    if (diagnostics != nullptr) {
      switch (diagnostics->sub_function) {
        case 0x0004:
          listen_only_ = true;
          co_return std::nullopt;
        case 0x0001:
          listen_only_ = false;
          [[fallthrough]];
        case 0x0000:
          co_return std::pair{ServerResponse{ServerResponse::DiagnosticsEcho{
                                  diagnostics->sub_function, diagnostics->data}},
                              std::move(*request)};
        default:
          break;
      }
    }
    // A serial broadcast is never answered, so the application never sees it.
    if (kind_ == core::TransportKind::Serial && unit == core::kBroadcastUnit)
      co_return std::nullopt;
    auto response = co_await async_handle(*application_, *request);
    if (auto* exception = std::get_if<ServerResponse::Exception>(&response.body)) {
      application_->on_exception(request->transaction_id, request->unit,
                                 static_cast<std::uint8_t>(exception->function) & 0x7F,
                                 exception->code);
    }
    co_return std::pair{std::move(response), std::move(*request)};
  }

  Transport transport_;
  core::TransportKind kind_;
  core::SerialMode mode_;
  core::UnitId unit_id_;
  std::shared_ptr<ServerApplication> application_;
  bool listen_only_ = false;
};

}  // namespace tessaly::engine
