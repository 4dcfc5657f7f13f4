// The TCP transport over loopback: framing by the length field, errors and closed state.
#include <gtest/gtest.h>

#include "hex.hpp"
#include "management/tcp_transport.hpp"
#include "support.hpp"

namespace tessaly::net {
namespace {

using core::CoreErrorKind;
using test::FakeDevice;
using test::hex;
using test::run_sync;
using namespace std::chrono_literals;

std::shared_ptr<TcpConnection> connect_to(FakeDevice& device) {
  auto connection = run_sync(connect_tcp("127.0.0.1", device.port()));
  EXPECT_TRUE(connection);
  EXPECT_TRUE(device.accept());
  auto socket_delay = connection->socket().native_handle();
  int nodelay = 0;
  socklen_t length = sizeof nodelay;
  getsockopt(socket_delay, IPPROTO_TCP, TCP_NODELAY, &nodelay, &length);
  EXPECT_NE(nodelay, 0);
  return std::make_shared<TcpConnection>(std::move(*connection));
}

core::Result<test::Bytes> receive(TcpConnection& connection) {
  return run_sync([&]() -> asio::awaitable<core::Result<test::Bytes>> {
    core::Frame frame;
    auto status = co_await connection.receive(frame);
    if (!status) co_return std::unexpected(status.error());
    co_return test::to_vector(frame);
  }());
}

core::Status send(TcpConnection& connection, const test::Bytes& bytes) {
  return run_sync(connection.send(bytes));
}

TEST(TcpTransport, TwoFramesInOneSegmentComeOneByOne) {
  FakeDevice device;
  auto connection = connect_to(device);
  const auto first = hex("0001 0000 0005 01 03 02 0007");
  const auto second = hex("0002 0000 0003 01 83 02");
  auto both = first;
  both.insert(both.end(), second.begin(), second.end());
  device.send(both);
  EXPECT_EQ(*receive(*connection), first);
  device.close_connection();  // the second must come from the buffer, not the socket
  EXPECT_EQ(*receive(*connection), second);
  EXPECT_EQ(receive(*connection).error().kind, CoreErrorKind::ConnectionClosed);
}

TEST(TcpTransport, FrameSplitOverSegments) {
  FakeDevice device;
  auto connection = connect_to(device);
  const auto frame = hex("0009 0000 0005 01 03 02 ABCD");
  std::thread writer([&] {
    device.send({frame.begin(), frame.begin() + 6});
    std::this_thread::sleep_for(30ms);
    device.send({frame.begin() + 6, frame.begin() + 8});
    std::this_thread::sleep_for(30ms);
    device.send({frame.begin() + 8, frame.end()});
  });
  EXPECT_EQ(*receive(*connection), frame);
  writer.join();
  EXPECT_TRUE(send(*connection, hex("0001 0000 0006 01 03 0000 0001")));
  EXPECT_EQ(device.read_frame(), hex("0001 0000 0006 01 03 0000 0001"));
}

TEST(TcpTransport, ImpossibleLengthFieldsEmptyTheBuffer) {
  FakeDevice device;
  auto connection = connect_to(device);
  device.send(hex("0001 0000 0000 01 03 AABBCC"));
  EXPECT_EQ(receive(*connection).error().kind, CoreErrorKind::InvalidDataLen);
  device.send(hex("0002 0000 01FC 01"));  // 508
  EXPECT_EQ(receive(*connection).error().kind, CoreErrorKind::BufferTooSmall);
  // Both left the connection usable and the buffer empty: the next frame stands alone.
  std::this_thread::sleep_for(20ms);
  device.send(hex("0003 0000 0003 01 83 02"));
  EXPECT_EQ(*receive(*connection), hex("0003 0000 0003 01 83 02"));
  // 507 is the largest length accepted.
  test::Bytes largest = hex("0004 0000 01FB 01");
  largest.resize(507 + 6, 0x11);
  device.send(largest);
  EXPECT_EQ(receive(*connection)->size(), 513u);
}

TEST(TcpTransport, PeerCloseIsFinal) {
  FakeDevice device;
  auto connection = connect_to(device);
  device.close_connection();
  EXPECT_EQ(receive(*connection).error().kind, CoreErrorKind::ConnectionClosed);
  EXPECT_FALSE(connection->connected());
  EXPECT_EQ(receive(*connection).error().kind, CoreErrorKind::ConnectionClosed);
  EXPECT_EQ(send(*connection, hex("00")).error().kind, CoreErrorKind::ConnectionClosed);
}

TEST(TcpTransport, ConnectFailures) {
  std::uint16_t closed_port;
  {
    FakeDevice device;
    closed_port = device.port();
  }
  EXPECT_EQ(run_sync(connect_tcp("127.0.0.1", closed_port)).error().kind,
            CoreErrorKind::ConnectionFailed);
  EXPECT_EQ(run_sync(connect_tcp("no-such-host.invalid", 502)).error().kind,
            CoreErrorKind::ConnectionFailed);
  FakeDevice device;
  EXPECT_TRUE(run_sync(connect_tcp("localhost", device.port())));
}

TEST(TcpTransport, ErrorMapping) {
  auto sys = [](int e) { return map_tcp_error(std::error_code(e, std::system_category())).kind; };
  EXPECT_EQ(sys(ECONNREFUSED), CoreErrorKind::ConnectionFailed);
  EXPECT_EQ(sys(ENOENT), CoreErrorKind::ConnectionFailed);
  EXPECT_EQ(sys(ECONNRESET), CoreErrorKind::ConnectionClosed);
  EXPECT_EQ(sys(ECONNABORTED), CoreErrorKind::ConnectionClosed);
  EXPECT_EQ(sys(EPIPE), CoreErrorKind::ConnectionClosed);
  EXPECT_EQ(sys(EAGAIN), CoreErrorKind::Timeout);
  EXPECT_EQ(sys(ETIMEDOUT), CoreErrorKind::Timeout);
  EXPECT_EQ(sys(EINVAL), CoreErrorKind::IoError);
  EXPECT_EQ(map_tcp_error(asio::error::eof).kind, CoreErrorKind::ConnectionClosed);
}

}  // namespace
}  // namespace tessaly::net
