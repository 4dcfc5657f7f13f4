// TCP, RTU and ASCII frame codecs against the protocol's worked examples and limits.
#include <gtest/gtest.h>

#include "data_unit/common/frame.hpp"
#include "hex.hpp"

namespace tessaly::core {
namespace {

using test::bytes_of;
using test::hex;

TEST(Checksums, CrcCheckValueAndLrc) {
  auto digits = bytes_of("123456789");
  EXPECT_EQ(crc16(digits), 0x4B37);
  auto message = hex("01 03 00 00 00 01");
  EXPECT_EQ(crc16(message), 0x0A84);
  EXPECT_EQ(lrc(message), 0xFB);
  EXPECT_EQ(lrc({}), 0x00);
}

struct EncodeCase {
  const char* name;
  TransportKind kind;
  SerialMode mode;
  std::vector<std::uint8_t> expected;
};

TEST(FrameEncode, ReadOneRegisterInEveryFraming) {
  const auto pdu = hex("03 00 00 00 01");
  const EncodeCase cases[] = {
      {"tcp", TransportKind::Tcp, SerialMode::Rtu, hex("12 34 00 00 00 06 01 03 00 00 00 01")},
      {"rtu", TransportKind::Serial, SerialMode::Rtu, hex("01 03 00 00 00 01 84 0A")},
      {"ascii", TransportKind::Serial, SerialMode::Ascii, bytes_of(":010300000001FB\r\n")},
  };
  for (const auto& c : cases) {
    Frame frame;
    ASSERT_TRUE(encode_frame(frame, 0x1234, 1, pdu, c.kind, c.mode)) << c.name;
    EXPECT_EQ(test::to_vector(frame), c.expected) << c.name;
  }
}

TEST(FrameEncode, PduLimits) {
  std::vector<std::uint8_t> pdu(253, 0x10);
  for (auto mode : {SerialMode::Rtu, SerialMode::Ascii}) {
    Frame frame;
    ASSERT_TRUE(encode_frame(frame, 1, 1, pdu, TransportKind::Serial, mode));
    EXPECT_EQ(frame.size, mode == SerialMode::Rtu ? 256u : 513u);
  }
  Frame tcp;
  ASSERT_TRUE(encode_frame(tcp, 1, 1, pdu, TransportKind::Tcp, SerialMode::Rtu));
  EXPECT_EQ(tcp.size, 260u);
  pdu.push_back(0);
  Frame frame;
  EXPECT_EQ(encode_frame(frame, 1, 1, pdu, TransportKind::Tcp, SerialMode::Rtu).error(),
            CoreError(CoreErrorKind::InvalidPduLength));
}

struct DecodeCase {
  const char* name;
  std::vector<std::uint8_t> frame;
  CoreErrorKind error;  // Unexpected marks success
};

void run_decode_cases(std::span<const DecodeCase> cases, TransportKind kind, SerialMode mode) {
  for (const auto& c : cases) {
    auto adu = decode_frame(c.frame, kind, mode);
    if (c.error == CoreErrorKind::Unexpected) {
      EXPECT_TRUE(adu.has_value()) << c.name << ": " << error_text(adu.error()).view();
    } else {
      ASSERT_FALSE(adu.has_value()) << c.name;
      EXPECT_EQ(adu.error().kind, c.error) << c.name << ": " << error_text(adu.error()).view();
    }
  }
}

TEST(FrameDecode, TcpCases) {
  const DecodeCase cases[] = {
      {"seven bytes", hex("00 01 00 00 00 01 01"), CoreErrorKind::InvalidAduLength},
      {"protocol id 1", hex("00 01 00 01 00 02 01 03"), CoreErrorKind::BasicParseError},
      {"short of length", hex("00 01 00 00 00 0A 01 03 00 00 00 01 00 00"),
       CoreErrorKind::InvalidPduLength},
      {"length zero", hex("00 01 00 00 00 00 01 03"), CoreErrorKind::InvalidPduLength},
      {"length one: empty pdu", hex("00 01 00 00 00 01 01 03"), CoreErrorKind::InvalidPduLength},
      {"unsupported function", hex("00 01 00 00 00 02 01 09"), CoreErrorKind::UnsupportedFunction},
      {"exact", hex("00 01 00 00 00 06 01 03 00 00 00 01"), CoreErrorKind::Unexpected},
      {"trailing bytes ignored", hex("00 01 00 00 00 06 01 03 00 00 00 01 AA BB"),
       CoreErrorKind::Unexpected},
  };
  run_decode_cases(cases, TransportKind::Tcp, SerialMode::Rtu);
}

TEST(FrameDecode, TcpHeaderFieldsAndTrailingBytes) {
  auto frame = hex("BE EF 00 00 00 06 F8 03 00 00 00 01 AA BB");
  auto adu = decode_tcp_frame(frame);
  ASSERT_TRUE(adu);
  EXPECT_EQ(adu->mbap.transaction_id, 0xBEEF);
  EXPECT_EQ(adu->mbap.length, 6);
  EXPECT_EQ(adu->mbap.unit_id, 0xF8);  // not checked by the codec
  EXPECT_EQ(received_unit(*adu), 255);
  EXPECT_EQ(adu->pdu.data_len, 4);
}

std::vector<std::uint8_t> rtu(std::string_view body) {
  auto bytes = hex(body);
  const auto crc = crc16(bytes);
  bytes.push_back(static_cast<std::uint8_t>(crc));
  bytes.push_back(static_cast<std::uint8_t>(crc >> 8));
  return bytes;
}

TEST(FrameDecode, RtuCases) {
  const DecodeCase cases[] = {
      {"worked example", hex("01 03 00 00 00 01 84 0A"), CoreErrorKind::Unexpected},
      {"crc bytes swapped", hex("01 03 00 00 00 01 0A 84"), CoreErrorKind::ChecksumError},
      {"three bytes", hex("01 03 00"), CoreErrorKind::InvalidAduLength},
      {"address 248", rtu("F8 03 00 00 00 01"), CoreErrorKind::InvalidSlaveAddress},
      {"address 248 bad crc", hex("F8 03 00 00 00 01 00 00"), CoreErrorKind::ChecksumError},
      {"broadcast", rtu("00 06 00 01 00 02"), CoreErrorKind::Unexpected},
      {"address 247", rtu("F7 03 00 00 00 01"), CoreErrorKind::Unexpected},
      {"exception", rtu("01 83 02"), CoreErrorKind::Unexpected},
      {"unsupported", rtu("01 09 00"), CoreErrorKind::UnsupportedFunction},
  };
  run_decode_cases(cases, TransportKind::Serial, SerialMode::Rtu);
  auto adu = decode_rtu_frame(hex("01 03 00 00 00 01 84 0A"));
  ASSERT_TRUE(adu);
  EXPECT_EQ(adu->slave_address, 1);
  EXPECT_EQ(adu->transaction_id(), 0);
  EXPECT_EQ(adu->pdu.function_code, 3);
  EXPECT_EQ(adu->pdu.data_len, 4);
}

TEST(FrameDecode, AsciiCases) {
  const DecodeCase cases[] = {
      {"worked example", bytes_of(":010300000001FB\r\n"), CoreErrorKind::Unexpected},
      {"lower case", bytes_of(":010300000001fb\r\n"), CoreErrorKind::Unexpected},
      {"eight characters", bytes_of(":0107F\r\n"), CoreErrorKind::InvalidAduLength},
      {"nine characters, shortest frame", bytes_of(":0107F8\r\n"), CoreErrorKind::Unexpected},
      {"bad digit", bytes_of(":01030000000GFB\r\n"), CoreErrorKind::BasicParseError},
      {"odd digits", bytes_of(":010300000001F\r\n"), CoreErrorKind::BasicParseError},
      {"lf cr", bytes_of(":010300000001FB\n\r"), CoreErrorKind::BasicParseError},
      {"no colon", bytes_of(";010300000001FB\r\n"), CoreErrorKind::BasicParseError},
      {"bad lrc", bytes_of(":010300000001FA\r\n"), CoreErrorKind::ChecksumError},
      {"address 248",
       bytes_of(":F80300000001"
                "04\r\n"),
       CoreErrorKind::InvalidSlaveAddress},
  };
  run_decode_cases(cases, TransportKind::Serial, SerialMode::Ascii);
}

TEST(FrameDecode, AsciiBinaryLimit) {
  // 261 binary bytes with a valid LRC: too many for the collector.
  std::vector<std::uint8_t> binary(260, 0);
  binary[0] = 1;
  binary[1] = 0x10;
  binary.push_back(lrc(binary));
  std::string text = ":";
  const char* digits = "0123456789ABCDEF";
  for (auto b : binary) text += {digits[b >> 4], digits[b & 15]};
  text += "\r\n";
  auto frame = bytes_of(text);
  EXPECT_EQ(decode_ascii_frame(frame).error().kind, CoreErrorKind::BufferTooSmall);
}

}  // namespace
}  // namespace tessaly::core
