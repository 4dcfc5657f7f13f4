// The serial transport over pseudo-terminals, and the line-setting checks.
#include <gtest/gtest.h>

#include <thread>

#include "hex.hpp"
#include "management/serial_transport.hpp"
#include "support.hpp"

namespace tessaly::serial {
namespace {

using core::CoreErrorKind;
using test::PtyPair;
using test::run_sync;
using namespace std::chrono_literals;

TEST(SerialChecks, Messages) {
  for (const char* even : {"even", "e"}) EXPECT_EQ(parse_parity(even), Parity::Even);
  EXPECT_EQ(parse_parity("none"), Parity::None);
  EXPECT_EQ(parse_parity("n"), Parity::None);
  EXPECT_EQ(parse_parity("o"), Parity::Odd);
  EXPECT_EQ(parse_parity("mark").error(),
            "Unknown parity 'mark'; expected 'none', 'even', or 'odd'");
  EXPECT_TRUE(check_data_bits(5));
  EXPECT_TRUE(check_data_bits(8));
  EXPECT_EQ(check_data_bits(9).error(), "Invalid data_bits '9'; expected one of 5, 6, 7, or 8");
  EXPECT_EQ(check_data_bits(4).error(), "Invalid data_bits '4'; expected one of 5, 6, 7, or 8");
  EXPECT_TRUE(check_stop_bits(1));
  EXPECT_TRUE(check_stop_bits(2));
  EXPECT_EQ(check_stop_bits(0).error(), "Invalid stop_bits '0'; expected 1 or 2");
  EXPECT_TRUE(check_port_path(std::string(64, 'a')));
  EXPECT_EQ(check_port_path(std::string(65, 'a')).error(),
            "Port path too long (max 64 chars): " + std::string(65, 'a'));
  std::string wide;
  for (int i = 0; i < 40; ++i) wide += "\xC3\xA9";  // 40 characters, 80 bytes
  EXPECT_FALSE(check_port_path(wide));
}

TEST(SerialChecks, InterFrameDelay) {
  EXPECT_EQ(inter_frame_delay(300).count(), 128331);
  EXPECT_EQ(inter_frame_delay(1200).count(), 35000);
  EXPECT_EQ(inter_frame_delay(9600).count(), 35000);
  EXPECT_EQ(inter_frame_delay(250000).count(), 35000);
  EXPECT_EQ(inter_frame_delay(0).count(), 38500000);
}

struct OpenLine {
  PtyPair pty;
  std::shared_ptr<SerialConnection> connection;

  explicit OpenLine(core::SerialMode mode, std::uint32_t baud = 9600) {
    SerialConfig config{pty.path, baud, 8, Parity::None, 1, mode};
    auto opened = open_serial(engine::runtime().get_executor(), config, mode);
    if (!opened) throw std::runtime_error("open failed");
    connection = std::make_shared<SerialConnection>(std::move(*opened));
  }

  core::Result<test::Bytes> receive() {
    return run_sync([this]() -> asio::awaitable<core::Result<test::Bytes>> {
      core::Frame frame;
      auto status = co_await connection->receive(frame);
      if (!status) co_return std::unexpected(status.error());
      co_return test::to_vector(frame);
    }());
  }
};

TEST(SerialTransport, OpenChecksModeAndDevice) {
  PtyPair pty;
  SerialConfig ascii{pty.path, 9600, 8, Parity::None, 1, core::SerialMode::Ascii};
  auto executor = engine::runtime().get_executor();
  EXPECT_EQ(open_serial(executor, ascii, core::SerialMode::Rtu).error().kind,
            CoreErrorKind::InvalidConfiguration);
  SerialConfig missing{"/dev/does-not-exist", 9600, 8, Parity::None, 1, core::SerialMode::Rtu};
  EXPECT_EQ(open_serial(executor, missing, core::SerialMode::Rtu).error().kind,
            CoreErrorKind::ConnectionFailed);
  // Non-standard rates, parity and character sizes are all accepted.
  SerialConfig odd{pty.path, 250000, 7, Parity::Odd, 2, core::SerialMode::Rtu};
  auto opened = open_serial(executor, odd, core::SerialMode::Rtu);
  ASSERT_TRUE(opened);
  // Exclusive use: a second open of the same line fails (root may override the lock).
  if (geteuid() != 0) {
    auto second = open_serial(executor, odd, core::SerialMode::Rtu);
    ASSERT_FALSE(second);
    EXPECT_EQ(second.error().kind, CoreErrorKind::ConnectionFailed);
  }
}

TEST(SerialTransport, RtuFramesEndAtTheSilence) {
  OpenLine line(core::SerialMode::Rtu);
  std::thread writer([&] {
    for (std::uint8_t b : {0x01, 0x03, 0x02, 0x00}) {
      test::write_all(line.pty.master, {b});
      std::this_thread::sleep_for(20ms);  // under the 35 ms silence: same frame
    }
    test::write_all(line.pty.master, {0x07});
    std::this_thread::sleep_for(60ms);  // ends the frame
    test::write_all(line.pty.master, {0xAA, 0xBB});
  });
  EXPECT_EQ(*line.receive(), (test::Bytes{0x01, 0x03, 0x02, 0x00, 0x07}));
  EXPECT_EQ(*line.receive(), (test::Bytes{0xAA, 0xBB}));
  writer.join();
}

TEST(SerialTransport, AsciiFramesEndAtCrLf) {
  OpenLine line(core::SerialMode::Ascii);
  std::thread writer([&] {
    test::write_all(line.pty.master, {':', '0', '1', '\r', 'X', '\n'});
    std::this_thread::sleep_for(50ms);  // a long pause does not end an ASCII frame
    test::write_all(line.pty.master, {'\r', '\n', ':', 'A', '\r', '\n'});
  });
  EXPECT_EQ(*line.receive(), (test::Bytes{':', '0', '1', '\r', 'X', '\n', '\r', '\n'}));
  EXPECT_EQ(*line.receive(), (test::Bytes{':', 'A', '\r', '\n'}));
  writer.join();
}

TEST(SerialTransport, FrameOfMoreThan513BytesIsRefused) {
  OpenLine line(core::SerialMode::Ascii);
  test::Bytes long_frame(515, 'A');  // the 514th is read and dropped with the rest
  long_frame.push_back('\r');
  long_frame.push_back('\n');
  test::write_all(line.pty.master, long_frame);
  EXPECT_EQ(line.receive().error().kind, CoreErrorKind::BufferTooSmall);
  // What followed the 514th byte starts the next frame afresh.
  EXPECT_EQ(*line.receive(), (test::Bytes{'A', '\r', '\n'}));

  OpenLine exact(core::SerialMode::Ascii);
  test::Bytes fits(511, 'B');
  fits.push_back('\r');
  fits.push_back('\n');
  test::write_all(exact.pty.master, fits);
  EXPECT_EQ(exact.receive()->size(), 513u);
}

TEST(SerialTransport, SendWritesEveryByte) {
  OpenLine line(core::SerialMode::Rtu);
  test::Bytes frame(300);
  for (std::size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<std::uint8_t>(i);
  EXPECT_TRUE(run_sync(line.connection->send(frame)));
  EXPECT_EQ(test::read_exactly(line.pty.master, frame.size(), 1000ms), frame);
}

}  // namespace
}  // namespace tessaly::serial
