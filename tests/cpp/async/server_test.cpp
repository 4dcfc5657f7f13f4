// The server session and the TCP listener against raw socket clients, our own client and a
// fake application.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <atomic>
#include <future>
#include <mutex>
#include <thread>

#include "client/client_core.hpp"
#include "data_unit/common/frame.hpp"
#include "hex.hpp"
#include "management/serial_transport.hpp"
#include "server/listeners.hpp"
#include "support.hpp"

namespace tessaly::engine {
namespace {

using core::ServerRequest;
using core::ServerResponse;
using test::Bytes;
using test::hex;
using namespace std::chrono_literals;

// Registers hold their own address; requests are answered at once, or after `delay_for` when
// the address read is 500 or more.
class FakeApp : public ServerApplication {
 public:
  std::atomic<int> calls{0};
  std::mutex mutex;
  std::vector<std::array<int, 4>> exceptions;  // txn, unit, function, code

  std::optional<ServerResponse> handle(ServerRequest& request, Done done) override {
    ++calls;
    std::chrono::milliseconds delay{0};
    ServerResponse response = std::visit(
        [&](auto& r) -> ServerResponse {
          using T = std::decay_t<decltype(r)>;
          if constexpr (std::is_same_v<T, ServerRequest::ReadHoldingRegisters>) {
            if (r.address >= 500) delay = 400ms;
            if (std::size_t{r.address} + r.quantity > 1000)
              return {ServerResponse::Exception{core::FunctionCode::ReadHoldingRegisters, 2}};
            core::ByteBuffer bytes;
            for (std::uint16_t i = 0; i < r.quantity; ++i) {
              const auto value = static_cast<std::uint16_t>(r.address + i);
              bytes.push(static_cast<std::uint8_t>(value >> 8));
              bytes.push(static_cast<std::uint8_t>(value));
            }
            return {ServerResponse::ByteCounted{0x03, bytes}};
          } else if constexpr (std::is_same_v<T, ServerRequest::WriteSingleRegister>) {
            return {ServerResponse::RegisterEcho{r.address, r.value}};
          } else if constexpr (std::is_same_v<T, ServerRequest::Diagnostics>) {
            return {ServerResponse::DiagnosticsEcho{r.sub_function, 0xAAAA}};
          } else if constexpr (std::is_same_v<T, ServerRequest::ReadFileRecord>) {
            return {ServerResponse::RawException{0x14, 1}};
          } else if constexpr (std::is_same_v<T, ServerRequest::EncapsulatedInterfaceTransport>) {
            return {ServerResponse::RawException{0x2B, 1}};
          } else {
            return {ServerResponse::Exception{core::FunctionCode::ReadCoils, 1}};
          }
        },
        request.body);
    if (delay.count() == 0) return response;
    std::thread([done = std::move(done), response, delay]() mutable {
      std::this_thread::sleep_for(delay);
      done(std::move(response));
    }).detach();
    return std::nullopt;
  }

  void on_exception(core::TransactionId txn, core::UnitId unit, std::uint8_t function,
                    std::uint8_t code) override {
    std::lock_guard lock(mutex);
    exceptions.push_back({txn, unit, function, code});
  }
};

struct RunningServer {
  std::shared_ptr<FakeApp> app = std::make_shared<FakeApp>();
  std::shared_ptr<StopSignal> stop = std::make_shared<StopSignal>();
  std::uint16_t port = 0;
  std::future<std::expected<void, ServerError>> done;

  explicit RunningServer(std::uint16_t fixed_port = 0) {
    port = fixed_port ? fixed_port : test::free_port();
    done = start();
  }

  std::future<std::expected<void, ServerError>> start() {
    auto promise = std::make_shared<std::promise<std::expected<void, ServerError>>>();
    auto future = promise->get_future();
    TcpListenerConfig config{"127.0.0.1:" + std::to_string(port), 1, app, stop};
    asio::co_spawn(
        runtime(),
        [config, promise]() -> asio::awaitable<void> {
          promise->set_value(co_await run_tcp_listener(config));
        },
        asio::detached);
    std::this_thread::sleep_for(30ms);  // bound by then
    return future;
  }
};

using test::RawClient;

TEST(ServerSession, AnswersItsUnitAndBroadcastOnly) {
  RunningServer server;
  RawClient client(server.port);
  client.send(hex("0001 0000 0006 01 03 0005 0001"));
  EXPECT_EQ(client.answer(11), hex("0001 0000 0005 01 03 02 0005"));
  client.send(hex("0002 0000 0006 00 03 0006 0001"));  // broadcast on TCP is served
  EXPECT_EQ(client.answer(11), hex("0002 0000 0005 00 03 02 0006"));
  for (auto unit : {"02", "FF", "F8"}) {
    client.send(hex(std::string("0003 0000 0006 ") + unit + " 03 0000 0001"));
    EXPECT_TRUE(client.answer(1, 150ms).empty()) << unit;
  }
  EXPECT_EQ(server.app->calls, 2);
}

TEST(ServerSession, MalformedFramesAreDroppedAndTheNextIsAnswered) {
  RunningServer server;
  RawClient client(server.port);
  client.send(hex("0001 0000 0005 01 01 0000 00"));    // read coils with three data bytes
  client.send(hex("0002 0000 0003 01 09 00"));         // unsupported function
  client.send(hex("0003 0001 0006 01 03 0000 0001"));  // protocol id 1
  client.send(hex("0004 0000 0006 01 03 0007 0001"));
  EXPECT_EQ(client.answer(11), hex("0004 0000 0005 01 03 02 0007"));
  EXPECT_TRUE(client.answer(1, 150ms).empty());
  EXPECT_EQ(server.app->calls, 1);
}

TEST(ServerSession, ListenOnlyPerConnection) {
  RunningServer server;
  RawClient first(server.port), second(server.port);
  first.send(hex("0001 0000 0006 01 08 0004 0000"));  // force listen only: no answer
  first.send(hex("0002 0000 0006 01 03 0000 0001"));
  EXPECT_TRUE(first.answer(1, 200ms).empty());
  second.send(hex("0003 0000 0006 01 03 0001 0001"));  // the other connection still answers
  EXPECT_EQ(second.answer(11), hex("0003 0000 0005 01 03 02 0001"));
  const int calls = server.app->calls;
  first.send(hex("0004 0000 0006 01 08 0000 1234"));  // echoed by the session itself
  EXPECT_EQ(first.answer(12), hex("0004 0000 0006 01 08 0000 1234"));
  first.send(hex("0005 0000 0006 01 08 0001 5678"));  // restart communications
  EXPECT_EQ(first.answer(12), hex("0005 0000 0006 01 08 0001 5678"));
  EXPECT_EQ(server.app->calls, calls);
  first.send(hex("0006 0000 0006 01 03 0002 0001"));
  EXPECT_EQ(first.answer(11), hex("0006 0000 0005 01 03 02 0002"));
  first.send(hex("0007 0000 0006 01 08 000A 0000"));  // other sub-functions go to the application
  EXPECT_EQ(first.answer(12), hex("0007 0000 0006 01 08 000A AAAA"));
}

TEST(ServerSession, ExceptionsFireTheHookButRawExceptionsDoNot) {
  RunningServer server;
  RawClient client(server.port);
  client.send(hex("0031 0000 0006 01 03 03E7 0002"));  // past the end: exception code 2
  EXPECT_EQ(client.answer(9), hex("0031 0000 0003 01 83 02"));
  client.send(hex("0032 0000 000A 01 14 07 06 0001 0000 0001"));  // read file record
  EXPECT_EQ(client.answer(9), hex("0032 0000 0003 01 94 01"));
  client.send(hex("0033 0000 0005 01 2B 0E 01 00"));  // device identification
  EXPECT_EQ(client.answer(9), hex("0033 0000 0003 01 AB 01"));
  std::lock_guard lock(server.app->mutex);
  ASSERT_EQ(server.app->exceptions.size(), 1u);
  EXPECT_EQ(server.app->exceptions[0], (std::array<int, 4>{0x31, 1, 0x03, 2}));
}

TEST(ServerSession, AnAnswerThatCannotBeEncodedClosesTheConnection) {
  RunningServer server;
  RawClient client(server.port);
  client.send(hex("0001 0000 0006 01 03 0000 007E"));  // 126 registers: 252 data bytes
  EXPECT_TRUE(client.closed_by_peer());
  RawClient next(server.port);  // the server itself goes on
  next.send(hex("0002 0000 0006 01 03 0000 0001"));
  EXPECT_EQ(next.answer(11).size(), 11u);
}

TEST(ServerSession, AnswersInOrderAndSlowCallsHoldBackOnlyTheirConnection) {
  RunningServer server;
  RawClient slow(server.port), fast(server.port);
  slow.send(hex("0001 0000 0006 01 03 01F4 0001"));  // address 500: answered after 400 ms
  slow.send(hex("0002 0000 0006 01 03 0001 0001"));
  const auto start = std::chrono::steady_clock::now();
  fast.send(hex("0003 0000 0006 01 03 0002 0001"));
  EXPECT_EQ(fast.answer(11), hex("0003 0000 0005 01 03 02 0002"));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 300ms);  // the slow one takes 400 ms
  EXPECT_EQ(slow.answer(22), hex("0001 0000 0005 01 03 02 01F4 0002 0000 0005 01 03 02 0001"));
}

TEST(TcpListener, OurClientAgainstOurServer) {
  RunningServer server;
  auto handle = ClientHandle::create_tcp("127.0.0.1", server.port, 2000);
  ASSERT_TRUE(handle->connect());
  auto run = expect<core::Registers>(
      handle->request(core::ClientRequest{1, core::ClientRequest::ReadHoldingRegisters{10, 3}}));
  ASSERT_TRUE(run);
  EXPECT_EQ(*run->get(12), 12);
  auto echo = expect<core::ClientResponse::SingleRegister>(
      handle->request(core::ClientRequest{1, core::ClientRequest::WriteSingleRegister{4, 99}}));
  EXPECT_EQ(echo->value, 99);
}

TEST(TcpListener, StopSemantics) {
  RunningServer server;
  RawClient kept(server.port);
  kept.send(hex("0009 0000 0006 01 03 0003 0001"));  // accepted and served before the stop
  ASSERT_EQ(kept.answer(11).size(), 11u);
  server.stop->signal();
  ASSERT_EQ(server.done.wait_for(2s), std::future_status::ready);
  EXPECT_TRUE(server.done.get());
  // A client connected before the stop is still served.
  kept.send(hex("0001 0000 0006 01 03 0003 0001"));
  EXPECT_EQ(kept.answer(11), hex("0001 0000 0005 01 03 02 0003"));
  // A stop given while nothing runs ends the next run as soon as it has bound.
  server.stop->signal();
  server.stop->signal();  // one permit only
  auto second = server.start();
  ASSERT_EQ(second.wait_for(2s), std::future_status::ready);
  EXPECT_TRUE(second.get());
  // The permit was used up: the third run serves.
  auto third = server.start();
  RawClient client(server.port);
  client.send(hex("0002 0000 0006 01 03 0004 0001"));
  EXPECT_EQ(client.answer(11).size(), 11u);
  EXPECT_EQ(third.wait_for(50ms), std::future_status::timeout);
  server.stop->signal();
  EXPECT_TRUE(third.get());
}

TEST(TcpListener, BindFailures) {
  RunningServer server;
  RunningServer clash(server.port);
  ASSERT_EQ(clash.done.wait_for(2s), std::future_status::ready);
  auto result = clash.done.get();
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind, ServerErrorKind::Bind);
  EXPECT_EQ(result.error().bind_error, "Address already in use");
  server.stop->signal();

  auto app = std::make_shared<FakeApp>();
  auto stop = std::make_shared<StopSignal>();
  auto unresolved =
      test::run_sync(run_tcp_listener(TcpListenerConfig{"no-such-host.invalid:502", 1, app, stop}));
  ASSERT_FALSE(unresolved);
  EXPECT_EQ(unresolved.error().bind_error, "could not resolve to any address");
}

TEST(SerialSession, BroadcastIsDroppedAndTheUnitIsServed) {
  test::PtyPair pty;
  serial::SerialConfig config{pty.path, 19200, 8, serial::Parity::None, 1, core::SerialMode::Rtu};
  auto opened = serial::open_serial(runtime().get_executor(), config, core::SerialMode::Rtu);
  ASSERT_TRUE(opened);
  auto app = std::make_shared<FakeApp>();
  auto session = std::make_shared<ServerSession<serial::SerialConnection>>(
      std::move(*opened), core::TransportKind::Serial, core::SerialMode::Rtu, 7, app);
  asio::co_spawn(
      runtime(), [session]() -> asio::awaitable<void> { co_await session->run(); }, asio::detached);
  auto rtu = [](std::string_view pdu_hex, core::UnitId unit) {
    core::Frame frame;
    (void)core::encode_frame(frame, 0, unit, hex(pdu_hex), core::TransportKind::Serial,
                             core::SerialMode::Rtu);
    return test::to_vector(frame);
  };
  test::write_all(pty.master, rtu("06 0001 0005", 0));  // broadcast write
  EXPECT_TRUE(test::read_exactly(pty.master, 1, 200ms).empty());
  test::write_all(pty.master, rtu("03 0001 0001", 0));  // broadcast read
  EXPECT_TRUE(test::read_exactly(pty.master, 1, 200ms).empty());
  EXPECT_EQ(app->calls, 0);
  test::write_all(pty.master, rtu("03 0001 0001", 9));  // another unit
  EXPECT_TRUE(test::read_exactly(pty.master, 1, 200ms).empty());
  test::write_all(pty.master, rtu("03 0001 0001", 7));
  EXPECT_EQ(test::read_exactly(pty.master, 7, 1000ms), rtu("03 02 0001", 7));
  Bytes bad_crc = rtu("03 0001 0001", 7);
  bad_crc.back() ^= 0xFF;
  test::write_all(pty.master, bad_crc);
  EXPECT_TRUE(test::read_exactly(pty.master, 1, 200ms).empty());
  test::write_all(pty.master, rtu("08 0000 1234", 0));  // broadcast diagnostics 0: answered
  EXPECT_EQ(test::read_exactly(pty.master, 8, 1000ms), rtu("08 0000 1234", 0));
}

}  // namespace
}  // namespace tessaly::engine
