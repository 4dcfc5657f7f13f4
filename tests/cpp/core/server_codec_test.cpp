// Server side: request decoding rules and every response form's bytes and limits.
#include <gtest/gtest.h>

#include <optional>

#include "data_unit/common/codec.hpp"
#include "hex.hpp"

namespace tessaly::core {
namespace {

using test::hex;
using S = ServerResponse;
using Q = ServerRequest;

Result<ServerRequest> decode(std::string_view pdu_hex) {
  auto bytes = hex(pdu_hex);
  auto pdu = decode_pdu(bytes);
  if (!pdu) return std::unexpected(pdu.error());
  return decode_request(9, 0x1234, *pdu);
}

struct RequestCase {
  const char* name;
  const char* pdu;
  CoreErrorKind error;  // Unexpected marks success
};

TEST(RequestDecode, LengthAndByteCountRules) {
  using K = CoreErrorKind;
  std::string read35 = "14 F5";
  for (int i = 0; i < 35; ++i) read35 += " 06 0001 0002 0001";
  const RequestCase cases[] = {
      {"read coils", "01 0000 0001", K::Unexpected},
      {"read coils quantity not checked", "01 0000 FFFF", K::Unexpected},
      {"read coils short", "01 0000 00", K::InvalidPduLength},
      {"read inputs long", "02 0000 0001 00", K::InvalidPduLength},
      {"holding", "03 0000 0001", K::Unexpected},
      {"input", "04 0000 0001", K::Unexpected},
      {"write coil", "05 0000 1234", K::Unexpected},
      {"write coil short", "05 0000", K::InvalidPduLength},
      {"write register", "06 0000 1234", K::Unexpected},
      {"write coils", "0F 0013 000A 02 CD01", K::Unexpected},
      {"write coils count not compared with quantity", "0F 0013 0064 02 CD01", K::Unexpected},
      {"write coils bad count", "0F 0013 000A 03 CD01", K::InvalidByteCount},
      {"write coils header only", "0F 0013 000A", K::InvalidPduLength},
      {"write registers", "10 0001 0002 04 000A 0102", K::Unexpected},
      {"write registers bad count", "10 0001 0002 05 000A 0102", K::InvalidByteCount},
      {"mask write", "16 0004 00F2 0025", K::Unexpected},
      {"mask write short", "16 0004 00F2", K::InvalidPduLength},
      {"read/write", "17 0003 0006 000E 0001 02 00FF", K::Unexpected},
      {"read/write short", "17 0003 0006 000E 0001", K::InvalidPduLength},
      {"read/write bad count", "17 0003 0006 000E 0001 03 00FF", K::InvalidByteCount},
      {"exception status with junk", "07 01 02", K::Unexpected},
      {"event counter", "0B", K::Unexpected},
      {"event log", "0C", K::Unexpected},
      {"server id", "11", K::Unexpected},
      {"diagnostics", "08 0000 A537", K::Unexpected},
      {"diagnostics extra words ignored", "08 0001 FF00 1234", K::Unexpected},
      {"diagnostics short", "08 0000 A5", K::InvalidPduLength},
      {"fifo", "18 04DE", K::Unexpected},
      {"fifo long", "18 04DE 00", K::InvalidPduLength},
      {"mei", "2B 0E 01 00", K::Unexpected},
      {"mei empty", "2B", K::InvalidPduLength},
      {"file read", "14 0E 06 0004 0001 0002 06 0003 0009 0002", K::Unexpected},
      {"file read 35", read35.c_str(), K::Unexpected},
      {"file read short", "14 07 06 0004 0001 00", K::InvalidPduLength},
      {"file read second reference 7", "14 0E 06 0004 0001 0002 07 0003 0009 0002",
       K::InvalidValue},
      {"file read count 13", "14 0D 06 0004 0001 0002 06 0003 0009 00", K::InvalidByteCount},
      {"file read count mismatch", "14 0E 06 0004 0001 0002", K::InvalidByteCount},
      {"file read zero length", "14 07 06 0004 0001 0000", K::InvalidQuantity},
      {"file write", "15 0D 06 0004 0007 0003 06AF 04BE 100D", K::Unexpected},
      {"file write short", "15 08 06 0004 0007 0000 00", K::InvalidPduLength},
      {"file write count mismatch", "15 0E 06 0004 0007 0003 06AF 04BE 100D", K::InvalidByteCount},
      {"file write reference", "15 0D 05 0004 0007 0003 06AF 04BE 100D", K::InvalidValue},
      {"file write zero length", "15 09 06 0004 0007 0000 0000", K::InvalidQuantity},
      {"file write values past count", "15 0B 06 0004 0007 0003 06AF 04BE", K::InvalidByteCount},
      {"file write partial header", "15 0B 06 0004 0007 0001 0001 06 00", K::InvalidPduLength},
  };
  for (const auto& c : cases) {
    auto request = decode(c.pdu);
    if (c.error == K::Unexpected) {
      EXPECT_TRUE(request) << c.name << ": " << error_text(request.error()).view();
    } else {
      ASSERT_FALSE(request) << c.name;
      EXPECT_EQ(request.error().kind, c.error)
          << c.name << ": " << error_text(request.error()).view();
    }
  }
}

TEST(RequestDecode, Fields) {
  auto coil = decode("05 00AC 1234");
  EXPECT_EQ(coil->unit, 9);
  EXPECT_EQ(coil->transaction_id, 0x1234);
  EXPECT_EQ(std::get<Q::WriteSingleCoil>(coil->body).state, CoilState::Off);
  EXPECT_EQ(std::get<Q::WriteSingleCoil>(decode("05 00AC FF00")->body).state, CoilState::On);

  auto coils = std::get<Q::WriteMultipleCoils>(decode("0F 0013 000A 02 CD01")->body);
  EXPECT_EQ(coils.address, 0x13);
  EXPECT_EQ(coils.quantity, 10);
  EXPECT_EQ(test::to_vector(coils.bytes), hex("CD01"));

  auto rw = std::get<Q::ReadWriteMultipleRegisters>(decode("17 0003 0006 000E 0001 02 00FF")->body);
  EXPECT_EQ(rw.read_quantity, 6);
  EXPECT_EQ(rw.write_address, 14);
  EXPECT_EQ(rw.write_quantity, 1);
  EXPECT_EQ(test::to_vector(rw.bytes), hex("00FF"));

  auto diag = std::get<Q::Diagnostics>(decode("08 0001 FF00 1234")->body);
  EXPECT_EQ(diag.sub_function, 1);
  EXPECT_EQ(diag.data, 0xFF00);

  auto mei = std::get<Q::EncapsulatedInterfaceTransport>(decode("2B 0E 01 00")->body);
  EXPECT_EQ(mei.mei_type, 0x0E);
  EXPECT_EQ(test::to_vector(mei.data), hex("01 00"));

  auto reads =
      std::get<Q::ReadFileRecord>(decode("14 0E 06 0004 0001 0002 06 0003 0009 0002")->body);
  ASSERT_EQ(reads.items.size, 2u);
  EXPECT_EQ(reads.items[1].file_number, 3);
  EXPECT_EQ(reads.items[1].record_number, 9);

  auto writes = std::get<Q::WriteFileRecord>(
      decode("15 16 06 0004 0007 0003 06AF 04BE 100D 06 0001 0002 0001 BEEF")->body);
  ASSERT_EQ(writes.items.size, 2u);
  EXPECT_EQ(writes.items[0].record_length, 3);
  auto second = writes.values_of(writes.items[1]);
  EXPECT_EQ(std::vector<std::uint8_t>(second.begin(), second.end()), hex("BEEF"));
  EXPECT_EQ(test::to_vector(writes.request),
            hex("16 06 0004 0007 0003 06AF 04BE 100D 06 0001 0002 0001 BEEF"));
}

ByteBuffer bytes(std::size_t n, std::uint8_t fill = 0) {
  ByteBuffer out;
  for (std::size_t i = 0; i < n; ++i) out.push(fill);
  return out;
}

Result<std::vector<std::uint8_t>> encode(S::Body body) {
  PduBytes out;
  if (auto s = encode_response_pdu(out, S{std::move(body)}); !s) return std::unexpected(s.error());
  return test::to_vector(out);
}

struct ResponseCase {
  const char* name;
  S::Body body;
  const char* pdu;  // expected bytes on success ("" to skip the comparison)
  std::optional<CoreErrorKind> error;
};

TEST(ResponseEncode, EveryForm) {
  using K = CoreErrorKind;
  ByteBuffer two;
  two.push(0xCD), two.push(0x6B);
  ByteBuffer objects;
  for (auto b : hex("00 03 414243 01 01 58")) objects.push(b);
  ByteBuffer broken_objects;
  for (auto b : hex("00 05 4142")) broken_objects.push(b);
  ByteBuffer fifo;
  for (auto b : hex("0002 01B8 1284")) fifo.push(b);
  PduData echo;
  for (auto b : hex("0D 06 0004 0007 0003 06AF 04BE 100D")) echo.push(b);
  ByteBuffer too_many_objects;
  for (int i = 0; i < 256; ++i) too_many_objects.push(0), too_many_objects.push(0);

  const ResponseCase cases[] = {
      {"byte counted", S::ByteCounted{0x01, two}, "01 02 CD6B", std::nullopt},
      {"byte counted 251", S::ByteCounted{0x03, bytes(251)}, "", std::nullopt},
      {"byte counted 252", S::ByteCounted{0x03, bytes(252)}, "", K::BufferTooSmall},
      {"byte counted 255", S::ByteCounted{0x03, bytes(255)}, "", K::BufferTooSmall},
      {"byte counted 256", S::ByteCounted{0x03, bytes(256)}, "", K::InvalidByteCount},
      {"coil echo", S::CoilEcho{0xAC, 0xFF00}, "05 00AC FF00", std::nullopt},
      {"register echo", S::RegisterEcho{1, 3}, "06 0001 0003", std::nullopt},
      {"two-field echo", S::TwoFieldEcho{0x10, 1, 2}, "10 0001 0002", std::nullopt},
      {"mask echo", S::MaskWriteEcho{4, 0xF2, 0x25}, "16 0004 00F2 0025", std::nullopt},
      {"exception", S::Exception{FunctionCode::ReadHoldingRegisters, 2}, "83 02", std::nullopt},
      {"exception of exception member",
       S::Exception{FunctionCode::ReadHoldingRegistersException, 2}, "", K::InvalidFunctionCode},
      {"raw exception", S::RawException{0x41, 1}, "C1 01", std::nullopt},
      {"status byte", S::StatusByte{0x07, 0x6D}, "07 6D", std::nullopt},
      {"diagnostics echo", S::DiagnosticsEcho{0, 0xA537}, "08 0000 A537", std::nullopt},
      {"fifo", S::FifoData{fifo}, "18 0006 0002 01B8 1284", std::nullopt},
      {"fifo 250", S::FifoData{bytes(250)}, "", std::nullopt},
      {"fifo 251", S::FifoData{bytes(251)}, "", K::BufferTooSmall},
      {"device id", S::DeviceIdentification{1, 0x81, false, 0, objects},
       "2B 0E 01 81 00 00 02 00 03 414243 01 01 58", std::nullopt},
      {"device id more follows", S::DeviceIdentification{1, 1, true, 3, {}}, "2B 0E 01 01 FF 03 00",
       std::nullopt},
      {"device id broken list", S::DeviceIdentification{1, 1, false, 0, broken_objects}, "",
       K::InvalidPduLength},
      {"device id 256 objects", S::DeviceIdentification{1, 1, false, 0, too_many_objects}, "",
       K::InvalidPduLength},
      {"device id too long", S::DeviceIdentification{1, 1, false, 0, bytes(247)}, "",
       K::InvalidPduLength},
      {"file echo", S::FileRecordEcho{echo}, "15 0D 06 0004 0007 0003 06AF 04BE 100D",
       std::nullopt},
      {"nothing", S::Nothing{}, "", K::Unexpected},
  };
  for (const auto& c : cases) {
    auto out = encode(c.body);
    if (!c.error) {
      ASSERT_TRUE(out) << c.name << ": " << error_text(out.error()).view();
      if (*c.pdu) {
        EXPECT_EQ(*out, hex(c.pdu)) << c.name;
      }
    } else {
      ASSERT_FALSE(out) << c.name;
      EXPECT_EQ(out.error().kind, c.error) << c.name;
    }
  }
}

TEST(ResponseEncode, DeviceIdentificationThatDoesNotFit) {
  // 124 empty objects walk cleanly (248 bytes) but cannot fit beside the 7-byte header.
  EXPECT_EQ(encode(S::DeviceIdentification{1, 1, false, 0, bytes(248)}).error().kind,
            CoreErrorKind::BufferTooSmall);
  EXPECT_TRUE(encode(S::DeviceIdentification{1, 1, false, 0, bytes(246)}));
}

TEST(ResponseEncode, Framed) {
  Frame frame;
  ASSERT_TRUE(encode_response(frame, S{S::RegisterEcho{1, 3}}, 0x0102, 0x11, TransportKind::Tcp,
                              SerialMode::Rtu));
  EXPECT_EQ(test::to_vector(frame), hex("0102 0000 0006 11 06 0001 0003"));
  ASSERT_TRUE(encode_response(frame, S{S::Exception{FunctionCode::ReadCoils, 1}}, 0, 1,
                              TransportKind::Serial, SerialMode::Ascii));
  EXPECT_EQ(test::to_vector(frame), test::bytes_of(":0181017D\r\n"));
}

}  // namespace
}  // namespace tessaly::core
