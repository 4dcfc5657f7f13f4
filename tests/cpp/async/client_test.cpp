// The client engine against scripted devices: a TCP peer on loopback and a serial line on a
// pseudo-terminal.
#include <gtest/gtest.h>

#include <thread>

#include "client/client_core.hpp"
#include "client/pending_table.hpp"
#include "data_unit/common/frame.hpp"
#include "hex.hpp"
#include "support.hpp"

namespace tessaly::engine {
namespace {

using core::ClientRequest;
using core::CoreErrorKind;
using test::FakeDevice;
using test::hex;
using namespace std::chrono_literals;

ClientRequest read_registers(std::uint16_t address = 0, std::uint16_t quantity = 1,
                             core::UnitId unit = 1) {
  return ClientRequest{unit, ClientRequest::ReadHoldingRegisters{address, quantity}};
}

struct TcpClient {
  FakeDevice device;
  std::shared_ptr<ClientHandle> handle;

  explicit TcpClient(std::uint32_t timeout_ms = 2000) {
    handle = ClientHandle::create_tcp("127.0.0.1", device.port(), timeout_ms);
    EXPECT_TRUE(handle->connect());
    EXPECT_TRUE(device.accept());
  }
};

ClientError core_error(CoreErrorKind kind) {
  return ClientError(core::CoreError(kind));
}

TEST(ClientCore, UnitAndWordListChecksComeFirst) {
  TcpClient client;
  EXPECT_EQ(client.handle->request(read_registers(0, 1, 0)).error(),
            core_error(CoreErrorKind::InvalidBroadcastAddress));
  EXPECT_EQ(client.handle->request(read_registers(0, 1, 248)).error(),
            core_error(CoreErrorKind::InvalidSlaveAddress));
  std::vector<std::uint16_t> words(253, 1);
  EXPECT_EQ(copy_words(words).error(), core_error(CoreErrorKind::BufferTooSmall));
  words.pop_back();
  // 252 words reach the protocol core, which refuses them by its own limit.
  auto request = ClientRequest{1, ClientRequest::WriteMultipleRegisters{0, *copy_words(words)}};
  EXPECT_EQ(client.handle->request(request).error(), core_error(CoreErrorKind::InvalidQuantity));
  EXPECT_FALSE(client.device.read_frame(100ms));  // nothing reached the wire
  // Units 1 and 247 are sent.
  for (core::UnitId unit : {1, 247}) {
    auto call = client.handle->submit(read_registers(0, 1, unit));
    ASSERT_TRUE(call);
    auto frame = client.device.read_frame();
    ASSERT_TRUE(frame);
    EXPECT_EQ((*frame)[6], unit);
    client.device.answer_registers(*frame, {unit});
    EXPECT_TRUE(call->wait());
  }
}

TEST(ClientTask, ReadRebasedOnTheRequest) {
  TcpClient client;
  std::thread device([&] {
    auto frame = client.device.read_frame();
    EXPECT_EQ(test::transaction_of(*frame), 1);  // the first id is 1
    client.device.answer_registers(*frame, {10, 20, 30});
  });
  auto run = expect<core::Registers>(client.handle->request(read_registers(100, 3)));
  device.join();
  ASSERT_TRUE(run);
  EXPECT_EQ(run->from_address, 100);
  EXPECT_EQ(*run->get(102), 30);
  EXPECT_FALSE(client.handle->has_pending_requests());
}

TEST(ClientTask, PipelinesAThousandAndQueuesTheRest) {
  TcpClient client(10000);
  std::vector<Call> calls;
  for (int i = 0; i < 1001; ++i) calls.push_back(*client.handle->submit(read_registers(i)));
  std::vector<test::Bytes> frames;
  for (int i = 0; i < 1000; ++i) {
    auto frame = client.device.read_frame();
    ASSERT_TRUE(frame) << i;
    frames.push_back(*frame);
  }
  EXPECT_FALSE(client.device.read_frame(200ms));  // the 1001st waits
  EXPECT_TRUE(client.handle->has_pending_requests());
  client.device.answer_registers(frames[0], {0});
  auto last = client.device.read_frame();
  ASSERT_TRUE(last);
  EXPECT_EQ(test::transaction_of(*last), 1001);
  frames.push_back(*last);
  // Answers in reverse order still reach their own callers.
  for (auto it = frames.rbegin(); it != frames.rend() - 1; ++it)
    client.device.answer_registers(*it, {test::transaction_of(*it)});
  for (int i = 0; i < 1001; ++i) {
    auto run = expect<core::Registers>(calls[i].wait());
    ASSERT_TRUE(run) << i;
    EXPECT_EQ(run->from_address, i);
    if (i > 0) {
      EXPECT_EQ(run->values[0], i + 1);
    }
  }
  EXPECT_FALSE(client.handle->has_pending_requests());
}

TEST(ClientTask, TransactionIdsWrapToOneNeverZero) {
  TcpClient client(10000);
  std::thread device([&] {
    for (int expected = 1; expected <= 65536 + 1; ++expected) {
      auto frame = client.device.read_frame();
      ASSERT_TRUE(frame);
      const int want = expected <= 65535 ? expected : expected - 65535;
      ASSERT_EQ(test::transaction_of(*frame), want);
      client.device.answer_registers(*frame, {1});
    }
  });
  std::vector<Call> calls;
  for (int sent = 0; sent < 65537;) {
    for (int i = 0; i < 500 && sent < 65537; ++i, ++sent)
      calls.push_back(*client.handle->submit(read_registers()));
    for (auto& call : calls) ASSERT_TRUE(call.wait());
    calls.clear();
  }
  device.join();
}

TEST(ClientTask, BlockingCallersOnManyThreadsShareOneConnection) {
  // Blocking callers write and read on their own threads; whichever of them reads hands the
  // other callers their answers, and queued (non-blocking) requests mix in.
  TcpClient client;
  std::atomic<bool> stop{false};
  std::thread device([&] {
    while (!stop) {
      auto frame = client.device.read_frame(100ms);
      if (!frame) continue;
      const std::uint16_t address = static_cast<std::uint16_t>(((*frame)[8] << 8) | (*frame)[9]);
      client.device.answer_registers(*frame, {static_cast<std::uint16_t>(address + 1)});
    }
  });
  std::atomic<int> wrong{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < 6; ++t) {
    callers.emplace_back([&, t] {
      for (int i = 0; i < 300; ++i) {
        const auto address = static_cast<std::uint16_t>(t * 1000 + i);
        ClientResult<core::ClientResponse> result =
            (i % 3 == 0) ? client.handle->submit(read_registers(address))->wait()
                         : client.handle->request(read_registers(address));
        auto run = expect<core::Registers>(std::move(result));
        if (!run || run->from_address != address || run->values[0] != address + 1) ++wrong;
      }
    });
  }
  for (auto& caller : callers) caller.join();
  stop = true;
  device.join();
  EXPECT_EQ(wrong, 0);
  EXPECT_FALSE(client.handle->has_pending_requests());
}

TEST(ClientTask, BatchedRequestsLeaveInOneWriteWhenFlushed) {
  TcpClient client;
  std::vector<Call> calls;
  int flushes_asked = 0;
  for (int i = 0; i < 50; ++i) {
    bool needs_flush = false;
    calls.push_back(*client.handle->submit_batched(read_registers(i), {}, needs_flush));
    flushes_asked += needs_flush;
  }
  // The first of a round asks for a flush (the task may also write queued frames on its own).
  EXPECT_GE(flushes_asked, 1);
  client.handle->flush();
  for (int i = 0; i < 50; ++i) {
    auto frame = client.device.read_frame();
    ASSERT_TRUE(frame) << i;
    EXPECT_EQ(test::transaction_of(*frame), i + 1);
    client.device.answer_registers(*frame, {static_cast<std::uint16_t>(i)});
  }
  for (int i = 0; i < 50; ++i) EXPECT_EQ(expect<core::Registers>(calls[i].wait())->values[0], i);
}

TEST(ClientTask, PeerCloseFailsPendingAndLaterRequests) {
  TcpClient client;
  std::vector<Call> calls;
  for (int i = 0; i < 3; ++i) calls.push_back(*client.handle->submit(read_registers()));
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(client.device.read_frame());
  client.device.close_connection();
  for (auto& call : calls)
    EXPECT_EQ(call.wait().error(), core_error(CoreErrorKind::ConnectionClosed));
  EXPECT_FALSE(client.handle->has_pending_requests());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(client.handle->request(read_registers()).error(),
            core_error(CoreErrorKind::ConnectionClosed));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
}

TEST(ClientTask, MatchingByOwnTransactionIdOnly) {
  TcpClient client;
  auto first = *client.handle->submit(read_registers(1));
  auto second = *client.handle->submit(read_registers(2));
  auto f1 = client.device.read_frame();
  auto f2 = client.device.read_frame();
  ASSERT_TRUE(f1 && f2);
  // Unknown id and id 0: ignored, the connection stays up.
  client.device.send(hex("03E7 0000 0005 01 03 02 0063"));
  client.device.send(hex("0000 0000 0005 01 03 02 0063"));
  // An undecodable frame with a readable header fails only the request of its id.
  client.device.send(hex("0002 0001 0005 01 03 02 0063"));
  EXPECT_EQ(second.wait().error(), core_error(CoreErrorKind::BasicParseError));
  // An exception response is that request's error.
  client.device.send(hex("0001 0000 0003 01 83 02"));
  EXPECT_EQ(first.wait().error(), ClientError(core::CoreError(CoreErrorKind::ModbusException, 2)));
  auto third = *client.handle->submit(read_registers(3));
  auto f3 = client.device.read_frame();
  ASSERT_TRUE(f3);
  client.device.answer_registers(*f3, {7});
  EXPECT_EQ(expect<core::Registers>(third.wait())->values[0], 7);
}

TEST(ClientTask, LengthZeroFrameEndsTheConnection) {
  TcpClient client;
  auto call = *client.handle->submit(read_registers());
  ASSERT_TRUE(client.device.read_frame());
  client.device.send(hex("0001 0000 0000 01"));
  EXPECT_EQ(call.wait().error(), core_error(CoreErrorKind::ConnectionClosed));
  EXPECT_EQ(client.handle->request(read_registers()).error(),
            core_error(CoreErrorKind::ConnectionClosed));
}

TEST(ClientTask, TimeOutsAndLateAnswers) {
  TcpClient client(100);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(client.handle->request(read_registers(1)).error(),
            ClientError(ClientErrorKind::RequestTimedOut));
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, 100ms);
  EXPECT_LT(took, 1000ms);
  EXPECT_TRUE(client.handle->has_pending_requests());  // the task keeps the entry
  auto late = client.device.read_frame();
  ASSERT_TRUE(late);
  // The late answer is discarded; the next request gets its own.
  client.device.answer_registers(*late, {111});
  auto next = *client.handle->submit(read_registers(2));
  auto frame = client.device.read_frame();
  client.device.answer_registers(*frame, {222});
  EXPECT_EQ(expect<core::Registers>(next.wait())->values[0], 222);

  // Cleared: waits until the connection is lost.
  client.handle->clear_request_timeout();
  auto unbounded = *client.handle->submit(read_registers(3));
  EXPECT_FALSE(unbounded.deadline());
  ASSERT_TRUE(client.device.read_frame());
  EXPECT_FALSE(unbounded.wait_until(std::chrono::steady_clock::now() + 300ms));
  client.device.close_connection();
  EXPECT_EQ(unbounded.wait().error(), core_error(CoreErrorKind::ConnectionClosed));
}

TEST(ClientCore, TimeoutSettings) {
  FakeDevice device;
  auto zero = ClientHandle::create_tcp("127.0.0.1", device.port(), 0);
  EXPECT_EQ(zero->request_timeout_ns(), 30'000'000'000ull);
  auto set = ClientHandle::create_tcp("127.0.0.1", device.port(), 1500);
  EXPECT_EQ(set->request_timeout_ns(), 1'500'000'000ull);
  set->set_request_timeout(0);
  EXPECT_EQ(set->request_timeout_ns(), 0u);
  set->set_request_timeout(4294967295u);
  EXPECT_EQ(set->request_timeout_ns(), 4294967295ull * 1'000'000u);
  set->clear_request_timeout();
  EXPECT_EQ(set->request_timeout_ns(), 0u);
}

TEST(ClientCore, ResponseOfAnotherKind) {
  TcpClient client;
  auto call = *client.handle->submit(ClientRequest{1, ClientRequest::ReadFifoQueue{5}});
  auto frame = client.device.read_frame();
  client.device.answer_registers(*frame, {1});
  EXPECT_EQ(expect<core::FifoQueue>(call.wait()).error(),
            ClientError(ClientErrorKind::ResponseKindMismatch));
}

TEST(ClientCore, WorkerClosedAfterTheTaskEnded) {
  TcpClient client;
  auto pending = *client.handle->submit(read_registers());
  ASSERT_TRUE(client.device.read_frame());
  client.handle->close();
  EXPECT_EQ(pending.wait().error(), ClientError(ClientErrorKind::WorkerClosed));
  EXPECT_EQ(client.handle->request(read_registers()).error(),
            ClientError(ClientErrorKind::WorkerClosed));
  EXPECT_EQ(client.handle->connect().error(), ClientError(ClientErrorKind::WorkerClosed));
  EXPECT_EQ(client.handle->disconnect().error(), ClientError(ClientErrorKind::WorkerClosed));
}

TEST(ClientTask, ConnectFailureThenSuccess) {
  std::uint16_t port;
  {
    FakeDevice gone;
    port = gone.port();
  }
  auto handle = ClientHandle::create_tcp("127.0.0.1", port, 1000);
  EXPECT_EQ(handle->connect().error(), core_error(CoreErrorKind::ConnectionFailed));
  EXPECT_EQ(handle->request(read_registers()).error(), core_error(CoreErrorKind::ConnectionClosed));

  FakeDevice device;
  auto other = ClientHandle::create_tcp("127.0.0.1", device.port(), 1000);
  EXPECT_TRUE(other->connect());
  ASSERT_TRUE(device.accept());
}

TEST(ClientTask, DisconnectFailsEverythingAndKeepsTheTask) {
  TcpClient client;
  auto call = *client.handle->submit(read_registers());
  ASSERT_TRUE(client.device.read_frame());
  EXPECT_TRUE(client.handle->disconnect());
  EXPECT_EQ(call.wait().error(), core_error(CoreErrorKind::ConnectionClosed));
  EXPECT_EQ(client.handle->request(read_registers()).error(),
            core_error(CoreErrorKind::ConnectionClosed));
  client.device.close_connection();
  EXPECT_TRUE(client.handle->connect());  // the task still runs
  ASSERT_TRUE(client.device.accept());
  std::thread device([&] { client.device.answer_registers(*client.device.read_frame(), {9}); });
  EXPECT_TRUE(client.handle->request(read_registers()));
  device.join();
}

TEST(PendingTable, CollidingIdsSurviveRemoval) {
  PendingTable table(4);
  auto slot = std::make_shared<ReplySlot<Reply>>();
  for (core::TransactionId id : {1, 5, 9}) table.insert(id, PendingRequest{{}, {}});
  EXPECT_EQ(table.size(), 3u);
  EXPECT_TRUE(table.take(1));
  EXPECT_TRUE(table.take(9));  // reachable although its probe chain started at 1
  EXPECT_FALSE(table.take(9));
  EXPECT_TRUE(table.take(5));
  EXPECT_TRUE(table.empty());
}

struct SerialClient {
  test::PtyPair pty;
  std::shared_ptr<ClientHandle> handle;

  explicit SerialClient(core::SerialMode mode, std::uint32_t timeout_ms = 2000) {
    serial::SerialConfig config{pty.path, 19200, 8, serial::Parity::None, 1, mode};
    handle = ClientHandle::create_serial(config, mode, timeout_ms);
    EXPECT_TRUE(handle->connect());
  }

  test::Bytes read_request(std::size_t size, std::chrono::milliseconds timeout = 2000ms) {
    return test::read_exactly(pty.master, size, timeout);
  }
  void answer(const test::Bytes& pdu, core::SerialMode mode, core::UnitId unit = 1) {
    core::Frame frame;
    EXPECT_TRUE(core::encode_frame(frame, 0, unit, pdu, core::TransportKind::Serial, mode));
    test::write_all(pty.master, test::to_vector(frame));
  }
};

TEST(SerialClientTask, OneRequestAtATime) {
  SerialClient client(core::SerialMode::Rtu);
  auto first = *client.handle->submit(read_registers(0, 1));
  auto second = *client.handle->submit(read_registers(7, 1));
  EXPECT_EQ(client.read_request(8), hex("01 03 0000 0001 840A"));
  EXPECT_TRUE(client.read_request(8, 200ms).empty());  // the second waits for the answer
  client.answer(hex("03 02 0005"), core::SerialMode::Rtu);
  EXPECT_EQ(expect<core::Registers>(first.wait())->values[0], 5);
  auto frame = client.read_request(8);
  ASSERT_EQ(frame.size(), 8u);
  EXPECT_EQ(frame[3], 7);
  client.answer(hex("03 02 0006"), core::SerialMode::Rtu);
  auto run = expect<core::Registers>(second.wait());
  EXPECT_EQ(run->from_address, 7);
  EXPECT_EQ(run->values[0], 6);
}

TEST(SerialClientTask, AsciiExchangeAndBadChecksum) {
  SerialClient client(core::SerialMode::Ascii);
  auto call = *client.handle->submit(read_registers(0, 1));
  EXPECT_EQ(client.read_request(17), test::bytes_of(":010300000001FB\r\n"));
  test::write_all(client.pty.master, test::bytes_of(":0103020005F5\r\n"));
  EXPECT_EQ(expect<core::Registers>(call.wait())->values[0], 5);
  auto bad = *client.handle->submit(read_registers(0, 1));
  EXPECT_EQ(client.read_request(17).size(), 17u);
  test::write_all(client.pty.master, test::bytes_of(":0103020005F4\r\n"));
  EXPECT_EQ(bad.wait().error(), core_error(CoreErrorKind::ChecksumError));
}

TEST(SerialClientTask, TimedOutRequestIsNeverResentAndFreesTheLine) {
  SerialClient client(core::SerialMode::Rtu, 150);
  EXPECT_EQ(client.handle->request(read_registers(1, 1)).error(),
            ClientError(ClientErrorKind::RequestTimedOut));
  EXPECT_EQ(client.read_request(8).size(), 8u);
  EXPECT_TRUE(client.read_request(8, 300ms).empty());  // sent once, never again
  // The next request gets the line although the first never got an answer.
  auto next = *client.handle->submit(read_registers(2, 1));
  auto frame = client.read_request(8);
  ASSERT_EQ(frame.size(), 8u);
  EXPECT_EQ(frame[3], 2);
  client.answer(hex("03 02 0009"), core::SerialMode::Rtu);
  EXPECT_EQ(expect<core::Registers>(next.wait())->values[0], 9);
}

TEST(SerialClientTask, ModeMismatchAndMissingDevice) {
  serial::SerialConfig ascii{"/dev/null",          9600, 8,
                             serial::Parity::None, 1,    core::SerialMode::Ascii};
  auto handle = ClientHandle::create_serial(ascii, core::SerialMode::Rtu, 1000);
  EXPECT_EQ(handle->connect().error(), core_error(CoreErrorKind::InvalidConfiguration));
  serial::SerialConfig missing{"/dev/nope",          9600, 8,
                               serial::Parity::None, 1,    core::SerialMode::Rtu};
  auto gone = ClientHandle::create_serial(missing, core::SerialMode::Rtu, 1000);
  EXPECT_EQ(gone->connect().error(), core_error(CoreErrorKind::ConnectionFailed));
}

}  // namespace
}  // namespace tessaly::engine
