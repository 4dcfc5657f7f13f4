// The gateway engine between raw upstream clients and scripted downstream devices.
#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <future>
#include <mutex>

#include "gateway_async/gateway.hpp"
#include "hex.hpp"
#include "support.hpp"

namespace tessaly::gateway {
namespace {

using test::Bytes;
using test::FakeDevice;
using test::hex;
using namespace std::chrono_literals;

struct RecordingSink : GatewayEventSink {
  std::mutex mutex;
  std::vector<std::string> events;
  void add(std::string e) {
    std::lock_guard lock(mutex);
    events.push_back(std::move(e));
  }
  void on_forward(core::UnitId unit, std::size_t channel) override {
    add("forward " + std::to_string(unit) + " " + std::to_string(channel));
  }
  void on_routing_miss(core::UnitId unit) override { add("miss " + std::to_string(unit)); }
  void on_downstream_timeout(core::TransactionId txn) override {
    add("timeout " + std::to_string(txn));
  }
  void on_response_returned(core::TransactionId txn) override {
    add("returned " + std::to_string(txn));
  }
  void on_upstream_disconnect() override { add("disconnect"); }
  std::vector<std::string> snapshot() {
    std::lock_guard lock(mutex);
    return events;
  }
};

using test::free_port;
using test::RawClient;

// Two scripted downstream devices, a gateway routing unit 1 → 0 and 10..20 → 1.
struct Rig {
  FakeDevice first, second;
  std::shared_ptr<RecordingSink> sink = std::make_shared<RecordingSink>();
  std::shared_ptr<GatewayStop> stop = std::make_shared<GatewayStop>();
  std::uint16_t port = free_port();
  std::future<std::expected<void, GatewayError>> done;

  explicit Rig(std::chrono::milliseconds timeout = 300ms) {
    GatewayConfig config("127.0.0.1:" + std::to_string(port));
    config.add_tcp_downstream("127.0.0.1", first.port());
    config.add_tcp_downstream("127.0.0.1", second.port());
    EXPECT_TRUE(config.add_unit_route(1, 0));
    EXPECT_TRUE(config.add_range_route(10, 20, 1));
    auto snapshot = config.snapshot();
    auto channels = test::run_sync(connect_downstreams(snapshot.downstreams));
    EXPECT_TRUE(channels);
    EXPECT_TRUE(first.accept());
    EXPECT_TRUE(second.accept());
    GatewayRun run{
        snapshot.bind_address, std::move(*channels), snapshot.routes, sink, timeout, stop,
        stop->epoch()};
    auto promise = std::make_shared<std::promise<std::expected<void, GatewayError>>>();
    done = promise->get_future();
    asio::co_spawn(
        engine::runtime(),
        [run, promise]() -> asio::awaitable<void> {
          promise->set_value(co_await run_gateway(run));
        },
        asio::detached);
    std::this_thread::sleep_for(30ms);
  }
};

TEST(Gateway, ForwardsUnderItsOwnIdsAndRestoresTheClients) {
  Rig rig;
  RawClient a(rig.port), b(rig.port);
  a.send(hex("1234 0000 0006 01 03 0000 0001"));
  auto frame = rig.first.read_frame();
  ASSERT_TRUE(frame);
  EXPECT_EQ(*frame, hex("0000 0000 0006 01 03 0000 0001"));  // internal id 0, PDU unchanged
  rig.first.send(hex("0000 0000 0005 01 03 02 0007"));
  EXPECT_EQ(a.answer(11), hex("1234 0000 0005 01 03 02 0007"));
  // The second client uses the same id towards the other downstream, and gets its own answer.
  b.send(hex("1234 0000 0006 0F 03 0000 0001"));
  frame = rig.second.read_frame();
  ASSERT_TRUE(frame);
  EXPECT_EQ(test::transaction_of(*frame), 0);       // ids are per session
  rig.second.send(hex("0000 0000 0003 0F 83 02"));  // device exceptions pass through
  EXPECT_EQ(b.answer(9), hex("1234 0000 0003 0F 83 02"));
  a.send(hex("0001 0000 0006 01 03 0000 0001"));
  frame = rig.first.read_frame();
  EXPECT_EQ(test::transaction_of(*frame), 1);
  rig.first.send(hex("0001 0000 0005 01 03 02 0008"));
  EXPECT_EQ(a.answer(11), hex("0001 0000 0005 01 03 02 0008"));
  std::this_thread::sleep_for(20ms);  // the last "returned" follows the answer it reports
  auto events = rig.sink->snapshot();
  EXPECT_EQ(events.front(), "forward 1 0");
  auto at = [&](const char* event) { return std::find(events.begin(), events.end(), event); };
  EXPECT_NE(at("returned 4660"), events.end());
  EXPECT_LT(at("forward 1 0"), at("returned 4660"));  // a session reports in its own order
  EXPECT_NE(at("forward 15 1"), events.end());
  EXPECT_NE(at("returned 1"), events.end());
}

TEST(Gateway, RoutingMissesAndBroadcastAreAnsweredWithCode4) {
  Rig rig;
  RawClient client(rig.port);
  for (const char* unit : {"05", "00", "FA"}) {
    client.send(hex(std::string("0042 0000 0006 ") + unit + " 03 0000 0001"));
    EXPECT_EQ(client.answer(9), hex(std::string("0042 0000 0003 ") +
                                    (std::string(unit) == "FA" ? "FF" : unit) + " 83 04"));
  }
  EXPECT_EQ(rig.sink->snapshot(), (std::vector<std::string>{"miss 5", "miss 0", "miss 255"}));
}

TEST(Gateway, SilentDownstreamTimesOutAndLateAnswersNeverReachTheNextRequest) {
  Rig rig(200ms);
  RawClient client(rig.port);
  const auto start = std::chrono::steady_clock::now();
  client.send(hex("0001 0000 0006 01 03 0000 0001"));
  ASSERT_TRUE(rig.first.read_frame());
  EXPECT_EQ(client.answer(9), hex("0001 0000 0003 01 83 0B"));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 190ms);
  rig.first.send(hex("0000 0000 0005 01 03 02 0099"));  // the late answer to internal id 0
  client.send(hex("0002 0000 0006 01 03 0000 0001"));
  auto frame = rig.first.read_frame();
  ASSERT_TRUE(frame);
  EXPECT_EQ(test::transaction_of(*frame), 1);
  rig.first.send(hex("0001 0000 0005 01 03 02 0005"));
  EXPECT_EQ(client.answer(11), hex("0002 0000 0005 01 03 02 0005"));  // its own answer
  auto events = rig.sink->snapshot();
  EXPECT_NE(std::find(events.begin(), events.end(), "timeout 0"), events.end());
}

TEST(Gateway, BadUpstreamFramesAndDisconnect) {
  Rig rig;
  RawClient client(rig.port);
  client.send(hex("0001 0000 0003 01 09 00"));  // unknown function: no answer
  EXPECT_TRUE(client.answer(1, 200ms).empty());
  client.send(hex("0002 0000 0000 01"));  // length 0 ends the session
  EXPECT_TRUE(client.answer(1, 500ms).empty());
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(rig.sink->snapshot(), (std::vector<std::string>{"disconnect"}));
}

TEST(Gateway, BrokenDownstreamIsReconnectedOnDemand) {
  Rig rig;
  RawClient client(rig.port);
  rig.first.close_connection();
  client.send(hex("0001 0000 0006 01 03 0000 0001"));
  EXPECT_TRUE(client.answer(1, 300ms).empty());  // the send or receive failed: no answer
  client.send(hex("0002 0000 0006 01 03 0000 0001"));
  ASSERT_TRUE(rig.first.accept());  // the next request connected again
  auto frame = rig.first.read_frame();
  ASSERT_TRUE(frame);
  rig.first.answer_registers(*frame, {3});
  EXPECT_EQ(client.answer(11), hex("0002 0000 0005 01 03 02 0003"));
}

TEST(Gateway, StopAndBind) {
  Rig rig;
  RawClient kept(rig.port);
  kept.send(hex("0001 0000 0006 05 03 0000 0001"));
  ASSERT_EQ(kept.answer(9).size(), 9u);
  rig.stop->signal();
  ASSERT_EQ(rig.done.wait_for(2s), std::future_status::ready);
  EXPECT_TRUE(rig.done.get());
  kept.send(hex("0002 0000 0006 05 03 0000 0001"));  // still served after the stop
  EXPECT_EQ(kept.answer(9).size(), 9u);

  // A stop during start-up is remembered: the run ends as soon as it would accept.
  auto stop = std::make_shared<GatewayStop>();
  const auto epoch = stop->epoch();
  stop->signal();
  GatewayRun early{"127.0.0.1:" + std::to_string(free_port()), {}, {}, nullptr, 1s, stop, epoch};
  EXPECT_TRUE(test::run_sync(run_gateway(early)));

  FakeDevice taken;  // a port in use
  GatewayRun clash{"127.0.0.1:" + std::to_string(taken.port()),
                   {},
                   {},
                   nullptr,
                   1s,
                   std::make_shared<GatewayStop>(),
                   0};
  auto failed = test::run_sync(run_gateway(clash));
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().text(), "gateway bind failed: Address already in use");
}

TEST(Gateway, ConnectFailureNamesTheDownstream) {
  FakeDevice up;
  const std::uint16_t dead = free_port();
  auto result = test::run_sync(connect_downstreams(
      {TcpDownstream{"127.0.0.1", up.port()}, TcpDownstream{"127.0.0.1", dead}}));
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().downstream.port, dead);
  EXPECT_EQ(result.error().error.kind, core::CoreErrorKind::ConnectionFailed);
}

}  // namespace
}  // namespace tessaly::gateway
