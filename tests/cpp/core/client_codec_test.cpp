// Client side: every request's bytes and limits, every response rule, re-basing on the request.
#include <gtest/gtest.h>

#include "data_unit/common/codec.hpp"
#include "hex.hpp"

namespace tessaly::core {
namespace {

using test::hex;
using R = ClientRequest;

WordList words(std::size_t n, std::uint16_t first = 1) {
  WordList list;
  for (std::size_t i = 0; i < n; ++i) list.push(static_cast<std::uint16_t>(first + i));
  return list;
}

Coils coil_run(std::uint16_t address, std::uint16_t quantity) {
  Coils run;  // bypasses the validating constructor to reach the encoder's own limit
  run.from_address = address;
  run.quantity = quantity;
  return run;
}

Result<std::vector<std::uint8_t>> encode(const R::Body& body) {
  PduBytes out;
  if (auto s = encode_request_pdu(out, body); !s) return std::unexpected(s.error());
  return test::to_vector(out);
}

struct RequestBytesCase {
  const char* name;
  R::Body body;
  const char* pdu;
};

TEST(RequestEncode, BytesOfEveryFunction) {
  FileReadList reads;
  ASSERT_TRUE(reads.add(4, 1, 2));
  ASSERT_TRUE(reads.add(3, 9, 2));
  FileWriteList writes;
  const std::uint16_t values[] = {0x06AF, 0x04BE, 0x100D};
  ASSERT_TRUE(writes.add(4, 7, 3, values));
  Coils ten = *Coils::create(19, 10);
  ten.values[0] = 0xCD, ten.values[1] = 0x01;
  ByteBuffer mei;
  mei.push(0xAA);

  const RequestBytesCase cases[] = {
      {"read coils", R::ReadCoils{0x13, 0x13}, "01 0013 0013"},
      {"read discrete inputs", R::ReadDiscreteInputs{0xC4, 0x16}, "02 00C4 0016"},
      {"read holding registers", R::ReadHoldingRegisters{0x6B, 3}, "03 006B 0003"},
      {"read input registers", R::ReadInputRegisters{8, 1}, "04 0008 0001"},
      {"write coil on", R::WriteSingleCoil{0xAC, CoilState::On}, "05 00AC FF00"},
      {"write coil off", R::WriteSingleCoil{0xAC, CoilState::Off}, "05 00AC 0000"},
      {"write register", R::WriteSingleRegister{1, 3}, "06 0001 0003"},
      {"read exception status", R::ReadExceptionStatus{}, "07"},
      {"diagnostics", R::Diagnostics{0, words(1, 0xA537)}, "08 0000 A537"},
      {"event counter", R::GetCommEventCounter{}, "0B"},
      {"event log", R::GetCommEventLog{}, "0C"},
      {"write coils", R::WriteMultipleCoils{19, ten}, "0F 0013 000A 02 CD01"},
      {"write registers", R::WriteMultipleRegisters{1, words(2, 0x000A)},
       "10 0001 0002 04 000A000B"},
      {"report server id", R::ReportServerId{}, "11"},
      {"read file record", R::ReadFileRecord{reads}, "14 0E 06 0004 0001 0002 06 0003 0009 0002"},
      {"write file record", R::WriteFileRecord{writes}, "15 0D 06 0004 0007 0003 06AF 04BE 100D"},
      {"mask write", R::MaskWriteRegister{4, 0xF2, 0x25}, "16 0004 00F2 0025"},
      {"read/write", R::ReadWriteMultipleRegisters{3, 6, 14, words(3, 0xFF)},
       "17 0003 0006 000E 0003 06 00FF 0100 0101"},
      {"fifo", R::ReadFifoQueue{0x04DE}, "18 04DE"},
      {"device id", R::ReadDeviceIdentification{1, 0}, "2B 0E 01 00"},
      {"encapsulated", R::EncapsulatedInterfaceTransport{0x0D, mei}, "2B 0D AA"},
  };
  for (const auto& c : cases) {
    auto bytes = encode(c.body);
    ASSERT_TRUE(bytes) << c.name << ": " << error_text(bytes.error()).view();
    EXPECT_EQ(*bytes, hex(c.pdu)) << c.name;
  }
}

struct LimitCase {
  const char* name;
  R::Body body;
  CoreErrorKind error;  // Unexpected marks success
};

TEST(RequestEncode, LimitsOnBothSides) {
  ByteBuffer mei251, mei252;
  for (int i = 0; i < 251; ++i) mei251.push(0);
  mei252 = mei251;
  mei252.push(0);
  const LimitCase cases[] = {
      {"coils 2000", R::ReadCoils{0, 2000}, CoreErrorKind::Unexpected},
      {"coils 2001", R::ReadCoils{0, 2001}, CoreErrorKind::InvalidQuantity},
      {"coils 0", R::ReadCoils{0, 0}, CoreErrorKind::InvalidQuantity},
      {"inputs 2000", R::ReadDiscreteInputs{0, 2000}, CoreErrorKind::Unexpected},
      {"inputs 2001", R::ReadDiscreteInputs{0, 2001}, CoreErrorKind::InvalidQuantity},
      {"holding 125", R::ReadHoldingRegisters{0, 125}, CoreErrorKind::Unexpected},
      {"holding 126", R::ReadHoldingRegisters{0, 126}, CoreErrorKind::InvalidQuantity},
      {"holding 0", R::ReadHoldingRegisters{0, 0}, CoreErrorKind::InvalidQuantity},
      {"input 125", R::ReadInputRegisters{0, 125}, CoreErrorKind::Unexpected},
      {"input 126", R::ReadInputRegisters{0, 126}, CoreErrorKind::InvalidQuantity},
      {"write coils 1968", R::WriteMultipleCoils{0, coil_run(0, 1968)}, CoreErrorKind::Unexpected},
      {"write coils 1969", R::WriteMultipleCoils{0, coil_run(0, 1969)},
       CoreErrorKind::InvalidQuantity},
      {"write coils 0", R::WriteMultipleCoils{0, coil_run(0, 0)}, CoreErrorKind::InvalidQuantity},
      {"write registers 123", R::WriteMultipleRegisters{0, words(123)}, CoreErrorKind::Unexpected},
      {"write registers 124", R::WriteMultipleRegisters{0, words(124)},
       CoreErrorKind::InvalidQuantity},
      {"write registers 252", R::WriteMultipleRegisters{0, words(252)},
       CoreErrorKind::InvalidQuantity},
      {"write registers 0", R::WriteMultipleRegisters{0, words(0)}, CoreErrorKind::InvalidQuantity},
      {"rw 121", R::ReadWriteMultipleRegisters{0, 125, 0, words(121)}, CoreErrorKind::Unexpected},
      {"rw 122", R::ReadWriteMultipleRegisters{0, 1, 0, words(122)}, CoreErrorKind::BufferTooSmall},
      {"rw 123", R::ReadWriteMultipleRegisters{0, 1, 0, words(123)}, CoreErrorKind::BufferTooSmall},
      {"rw 124", R::ReadWriteMultipleRegisters{0, 1, 0, words(124)},
       CoreErrorKind::InvalidQuantity},
      {"rw read 126", R::ReadWriteMultipleRegisters{0, 126, 0, words(1)},
       CoreErrorKind::InvalidQuantity},
      {"rw write 0", R::ReadWriteMultipleRegisters{0, 1, 0, words(0)},
       CoreErrorKind::InvalidQuantity},
      {"diagnostics 125 words", R::Diagnostics{0, words(125)}, CoreErrorKind::Unexpected},
      {"diagnostics 126 words", R::Diagnostics{0, words(126)}, CoreErrorKind::BufferTooSmall},
      {"mei 251 bytes", R::EncapsulatedInterfaceTransport{0x0D, mei251}, CoreErrorKind::Unexpected},
      {"mei 252 bytes", R::EncapsulatedInterfaceTransport{0x0D, mei252},
       CoreErrorKind::BufferTooSmall},
  };
  for (const auto& c : cases) {
    auto bytes = encode(c.body);
    if (c.error == CoreErrorKind::Unexpected) {
      EXPECT_TRUE(bytes) << c.name << ": " << error_text(bytes.error()).view();
    } else {
      ASSERT_FALSE(bytes) << c.name;
      EXPECT_EQ(bytes.error().kind, c.error) << c.name;
    }
  }
  auto coils = encode(R::WriteMultipleCoils{0, coil_run(0, 1968)});
  EXPECT_EQ((*coils)[5], 246);  // byte count
  auto rw = encode(R::ReadWriteMultipleRegisters{0, 125, 0, words(121)});
  EXPECT_EQ(rw->size(), 252u);  // function code + 251 data bytes
  EXPECT_EQ((*rw)[9], 242);
}

TEST(RequestEncode, FramesWithTransactionAndUnit) {
  Frame frame;
  R request{0x11, R::ReadHoldingRegisters{0x6B, 3}};
  ASSERT_TRUE(encode_request(frame, request, 7, TransportKind::Tcp, SerialMode::Rtu));
  EXPECT_EQ(test::to_vector(frame), hex("0007 0000 0006 11 03 006B 0003"));
  R one{1, R::ReadHoldingRegisters{0, 1}};
  ASSERT_TRUE(encode_request(frame, one, 7, TransportKind::Serial, SerialMode::Rtu));
  EXPECT_EQ(test::to_vector(frame), hex("01 03 00 00 00 01 84 0A"));
  R bad{1, R::ReadCoils{0, 0}};
  EXPECT_EQ(encode_request(frame, bad, 1, TransportKind::Tcp, SerialMode::Rtu).error().kind,
            CoreErrorKind::InvalidQuantity);
}

TEST(FileLists, ReadListLimits) {
  FileReadList list;
  for (int i = 0; i < 35; ++i) ASSERT_TRUE(list.add(1, i, 1)) << i;  // 35 + 35 = 70 <= 125
  EXPECT_EQ(list.add(1, 99, 1).error().kind, CoreErrorKind::TooManyFileReadSubRequests);
  FileReadList big;
  EXPECT_EQ(big.add(1, 0, 125).error().kind, CoreErrorKind::FileReadPduOverflow);
  EXPECT_TRUE(big.add(1, 0, 124));
  EXPECT_EQ(big.add(1, 0, 0).error().kind, CoreErrorKind::FileReadPduOverflow);
}

TEST(FileLists, WriteListLimits) {
  FileWriteList list;
  const std::uint16_t two[] = {1, 2};
  EXPECT_EQ(list.add(1, 0, 3, two).error().kind, CoreErrorKind::BufferLenMissmatch);
  std::vector<std::uint16_t> many(122, 7);
  EXPECT_TRUE(list.add(1, 0, 122, many));  // 7 + 244 = 251
  EXPECT_EQ(list.add(1, 0, 0, {}).error().kind, CoreErrorKind::FileReadPduOverflow);
  FileWriteList small;
  for (int i = 0; i < 35; ++i) ASSERT_TRUE(small.add(1, i, 0, {})) << i;
  EXPECT_EQ(small.add(1, 0, 0, {}).error().kind, CoreErrorKind::TooManyFileReadSubRequests);
}

Result<ClientResponse> decode(std::string_view pdu_hex) {
  auto bytes = hex(pdu_hex);
  auto pdu = decode_pdu(bytes);
  if (!pdu) return std::unexpected(pdu.error());
  return decode_response_pdu(*pdu);
}

struct ResponseCase {
  const char* name;
  const char* pdu;
  CoreError error;  // Unexpected(0xFFFF) marks success
};

TEST(ResponseDecode, RulesPerFunction) {
  const CoreError ok{CoreErrorKind::Unexpected, 0xFFFF};
  using K = CoreErrorKind;
  std::string fifo31 = "18 0040 001F";
  for (int i = 0; i < 31; ++i) fifo31 += " 0001";
  std::string fifo32 = "18 0042 0020";
  for (int i = 0; i < 32; ++i) fifo32 += " 0001";
  std::string regs251 = "03 FB";
  for (int i = 0; i < 251; ++i) regs251 += " 00";
  std::string coils250 = "01 FA";
  for (int i = 0; i < 250; ++i) coils250 += " FF";
  std::string fileManyEmpty = "14 48";  // 36 empty sub-responses of 2 bytes
  for (int i = 0; i < 36; ++i) fileManyEmpty += " 01 06";
  const ResponseCase cases[] = {
      {"exception", "83 02", {K::ModbusException, 2}},
      {"coils", "01 01 05", ok},
      {"coils 250 bytes", coils250.c_str(), ok},
      {"coils empty", "01", {K::InvalidPduLength}},
      {"coils count mismatch", "01 02 05", {K::InvalidByteCount}},
      {"coils count zero", "01 00", {K::InvalidQuantity}},
      {"inputs", "02 01 05", ok},
      {"inputs count zero", "02 00", {K::InvalidQuantity}},
      {"registers", "03 02 1234", ok},
      {"registers zero", "03 00", ok},
      {"registers odd", "03 03 000000", {K::InvalidByteCount}},
      {"registers 251", regs251.c_str(), {K::InvalidByteCount}},
      {"input registers", "04 02 0001", ok},
      {"input registers odd", "04 01 00", {K::InvalidByteCount}},
      {"rw registers", "17 02 0001", ok},
      {"write coil", "05 00AC FF00", ok},
      {"write coil short", "05 00AC FF", {K::InvalidPduLength}},
      {"write register", "06 0001 0003", ok},
      {"write register long", "06 0001 0003 00", {K::InvalidPduLength}},
      {"write coils", "0F 0013 000A", ok},
      {"write coils 2001", "0F 0013 07D1", {K::InvalidQuantity}},
      {"write coils 0", "0F 0013 0000", {K::InvalidQuantity}},
      {"write registers 0", "10 0001 0000", ok},
      {"write registers 125", "10 0001 007D", ok},
      {"write registers 126", "10 0001 007E", {K::InvalidQuantity}},
      {"mask write, no data", "16", ok},
      {"mask write, any data", "16 01", ok},
      {"exception status", "07 6D", ok},
      {"exception status long", "07 6D 00", {K::InvalidPduLength}},
      {"diagnostics 0x14", "08 0014 0000", ok},
      {"diagnostics 5", "08 0005 0000", {K::ReservedSubFunction, 5}},
      {"diagnostics odd", "08 0000 00", {K::InvalidPduLength}},
      {"diagnostics short", "08 00", {K::InvalidPduLength}},
      {"event counter", "0B FFFF 0108", ok},
      {"event counter short", "0B FFFF", {K::InvalidPduLength}},
      {"event log", "0C 08 0000 0108 0121 2000", ok},
      {"event log byte count 5", "0C 05 0000 0108 00", {K::InvalidByteCount}},
      {"server id", "11 03 01 FF 02", ok},
      {"server id mismatch", "11 04 01 FF 02", {K::InvalidByteCount}},
      {"file read", "14 0C 05 06 0DFE 0020 05 06 33CD 0040", ok},
      {"file read bad reference", "14 04 03 07 0000", {K::ParseError}},
      {"file read zero length", "14 02 00 06", {K::ParseError}},
      {"file read past count", "14 04 05 06 0000", {K::ParseError}},
      {"file read even length", "14 03 02 06 00", {K::ParseError}},
      {"file read one byte left", "14 05 03 06 0000 03", {K::ParseError}},
      {"file read 36 subs", fileManyEmpty.c_str(), {K::BufferTooSmall}},
      {"file written", "15", ok},
      {"fifo", "18 0006 0002 01B8 1284", ok},
      {"fifo 31", fifo31.c_str(), ok},
      {"fifo 32", fifo32.c_str(), {K::BufferLenMissmatch}},
      {"fifo short", "18 0002 00", {K::InvalidPduLength}},
      {"fifo byte count", "18 0008 0002 01B8 1284", {K::InvalidAduLength}},
      {"fifo count", "18 0006 0001 01B8 1284", {K::ParseError}},
      {"device id", "2B 0E 01 01 00 00 01 00 03 414243", ok},
      {"device id more 0x01", "2B 0E 01 81 01 00 00", ok},
      {"device id code 5", "2B 0E 05 01 00 00 00", {K::InvalidDeviceIdCode}},
      {"device id conformity 4", "2B 0E 01 04 00 00 00", {K::ParseError}},
      {"device id short", "2B 0E 01 01 00", {K::InvalidPduLength}},
      {"device id object past end", "2B 0E 01 01 00 00 01 00 04 414243", {K::InvalidPduLength}},
      {"device id missing object", "2B 0E 01 01 00 00 02 00 01 41", {K::InvalidPduLength}},
      {"mei 0x0D", "2B 0D 01 02", ok},
      {"mei 0x0F", "2B 0F", {K::ReservedSubFunction, 15}},
      {"mei empty", "2B", {K::InvalidPduLength}},
  };
  for (const auto& c : cases) {
    auto response = decode(c.pdu);
    if (c.error == ok) {
      EXPECT_TRUE(response) << c.name << ": " << error_text(response.error()).view();
    } else {
      ASSERT_FALSE(response) << c.name;
      EXPECT_EQ(response.error(), c.error) << c.name << ": " << error_text(response.error()).view();
    }
  }
}

TEST(ResponseDecode, DecodedValues) {
  auto coil = decode("05 00AC FF00");
  const auto& echoed = std::get<Coils>(coil->body);
  EXPECT_EQ(echoed.from_address, 0xAC);
  EXPECT_EQ(echoed.quantity, 1);
  EXPECT_EQ(*echoed.get(0xAC), CoilState::On);
  auto off = decode("05 00AC 1234");
  EXPECT_EQ(*std::get<Coils>(off->body).get(0xAC), CoilState::Off);

  auto regs = decode("03 04 1234 ABCD");
  const auto& run = std::get<Registers>(regs->body);
  EXPECT_EQ(run.quantity, 2);
  EXPECT_EQ(run.values[0], 0x1234);
  EXPECT_EQ(run.values[1], 0xABCD);
  EXPECT_TRUE(std::holds_alternative<ClientResponse::InputRegisters>(decode("04 00")->body));

  auto log = std::get<ClientResponse::CommEventLog>(decode("0C 08 0000 0108 0121 2000")->body);
  EXPECT_EQ(log.event_count, 0x108);
  EXPECT_EQ(log.message_count, 0x121);
  EXPECT_EQ(test::to_vector(log.events), hex("20 00"));

  auto files = std::get<ClientResponse::FileRecordRead>(
      decode("14 0C 05 06 0DFE 0020 05 06 33CD 0040")->body);
  ASSERT_EQ(files.records.items.size, 2u);
  auto second = files.records.words_of(files.records.items[1]);
  ASSERT_EQ(second.size(), 2u);
  EXPECT_EQ(second[0], 0x33CD);

  auto fifo = std::get<FifoQueue>(decode("18 0006 0002 01B8 1284")->body);
  EXPECT_EQ(fifo.count, 2);
  EXPECT_EQ(fifo.values[1], 0x1284);

  auto diag = std::get<ClientResponse::Diagnostics>(decode("08 0000 A537 0001")->body);
  EXPECT_EQ(diag.data.size, 2u);
  EXPECT_EQ(diag.data[0], 0xA537);
}

TEST(ResponseDecode, DeviceIdentificationObjects) {
  auto id = std::get<ClientResponse::DeviceIdentification>(
      decode("2B 0E 02 82 FF 05 02 00 02 4142 80 01 5A")->body);
  EXPECT_EQ(id.code, 2);
  EXPECT_EQ(id.conformity_level, 0x82);
  EXPECT_TRUE(id.more_follows);
  EXPECT_EQ(id.next_object_id, 5);
  EXPECT_EQ(id.next_object_class, ObjectIdClass::Regular);
  auto it = id.iterate();
  DeviceIdObject object;
  ASSERT_TRUE(it.next(object));
  EXPECT_EQ(object.id, 0);
  EXPECT_EQ(object.id_class, ObjectIdClass::Basic);
  EXPECT_EQ(std::vector<std::uint8_t>(object.value.begin(), object.value.end()), hex("4142"));
  ASSERT_TRUE(it.next(object));
  EXPECT_EQ(object.id, 0x80);
  EXPECT_EQ(object.id_class, ObjectIdClass::Extended);
  EXPECT_FALSE(it.next(object));
  auto not_more =
      std::get<ClientResponse::DeviceIdentification>(decode("2B 0E 01 81 01 00 00")->body);
  EXPECT_FALSE(not_more.more_follows);
  EXPECT_EQ(classify_object_id(0x06), ObjectIdClass::Regular);
  EXPECT_EQ(classify_object_id(0x07), ObjectIdClass::Other);
  EXPECT_EQ(classify_object_id(0x7F), ObjectIdClass::Other);
  EXPECT_EQ(classify_object_id(0x80), ObjectIdClass::Extended);
  EXPECT_EQ(classify_object_id(0x02), ObjectIdClass::Basic);
  EXPECT_EQ(classify_object_id(0x03), ObjectIdClass::Regular);
}

TEST(ResponseDecode, OutcomesCarryTransactionAndUnit) {
  auto ok =
      decode_response(hex("0042 0000 0005 11 03 02 0007"), TransportKind::Tcp, SerialMode::Rtu);
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->transaction_id, 0x42);
  EXPECT_EQ(ok->unit, 0x11);
  ASSERT_TRUE(ok->response);

  auto exception =
      decode_response(hex("0043 0000 0003 01 83 02"), TransportKind::Tcp, SerialMode::Rtu);
  ASSERT_TRUE(exception);
  EXPECT_EQ(exception->transaction_id, 0x43);
  EXPECT_EQ(exception->response.error(), CoreError(CoreErrorKind::ModbusException, 2));

  auto malformed =
      decode_response(hex("0044 0000 0003 01 03 05"), TransportKind::Tcp, SerialMode::Rtu);
  ASSERT_TRUE(malformed);
  EXPECT_EQ(malformed->transaction_id, 0x44);
  EXPECT_EQ(malformed->response.error().kind, CoreErrorKind::InvalidByteCount);

  auto unframed =
      decode_response(hex("0045 0001 0003 01 03 00"), TransportKind::Tcp, SerialMode::Rtu);
  ASSERT_FALSE(unframed);
  EXPECT_EQ(unframed.error().kind, CoreErrorKind::BasicParseError);

  auto serial =
      decode_response(hex("01 03 02 00 07 F9 86"), TransportKind::Serial, SerialMode::Rtu);
  ASSERT_TRUE(serial) << error_text(serial.error()).view();
  EXPECT_EQ(serial->transaction_id, 0);
  EXPECT_EQ(serial->unit, 1);
}

TEST(AttachContext, RebasesReadsOnTheRequest) {
  // One byte answering 3 coils at 100: the low three bits of 0xFD are 1, 0, 1.
  auto coils = attach_request_context(*decode("01 01 FD"), R{1, R::ReadCoils{100, 3}});
  const auto& run = std::get<Coils>(coils.body);
  EXPECT_EQ(run.from_address, 100);
  EXPECT_EQ(run.quantity, 3);
  EXPECT_EQ(*run.get(100), CoilState::On);
  EXPECT_EQ(*run.get(101), CoilState::Off);
  EXPECT_EQ(*run.get(102), CoilState::On);
  EXPECT_EQ(run.get(103).error().kind, CoreErrorKind::InvalidAddress);
  EXPECT_EQ(run.values[0], 0xFD);  // bytes are copied whole; only quantity bounds the run

  auto inputs = attach_request_context(*decode("02 01 01"), R{1, R::ReadDiscreteInputs{7, 2}});
  EXPECT_EQ(std::get<DiscreteInputs>(inputs.body).from_address, 7);

  // Short answers read as zeros for the missing positions.
  auto regs = attach_request_context(*decode("03 02 0009"), R{1, R::ReadHoldingRegisters{40, 3}});
  const auto& registers = std::get<Registers>(regs.body);
  EXPECT_EQ(registers.from_address, 40);
  EXPECT_EQ(registers.quantity, 3);
  EXPECT_EQ(registers.values[0], 9);
  EXPECT_EQ(registers.values[2], 0);

  auto rw = attach_request_context(*decode("17 02 0009"),
                                   R{1, R::ReadWriteMultipleRegisters{5, 1, 0, words(1)}});
  EXPECT_EQ(std::get<Registers>(rw.body).from_address, 5);

  auto input = attach_request_context(*decode("04 02 0009"), R{1, R::ReadInputRegisters{8, 1}});
  EXPECT_EQ(std::get<ClientResponse::InputRegisters>(input.body).run.from_address, 8);

  auto fifo = attach_request_context(*decode("18 0004 0001 0007"), R{1, R::ReadFifoQueue{0x4DE}});
  EXPECT_EQ(std::get<FifoQueue>(fifo.body).pointer_address, 0x4DE);

  // A pairing that does not match passes unchanged, as does one whose rebuild fails.
  auto mismatched = attach_request_context(*decode("03 02 0009"), R{1, R::ReadCoils{1, 1}});
  EXPECT_EQ(std::get<Registers>(mismatched.body).from_address, 0);
  auto too_many = attach_request_context(*decode("01 01 FF"), R{1, R::ReadCoils{1, 2001}});
  EXPECT_EQ(std::get<Coils>(too_many.body).quantity, 8);
}

TEST(Models, RunChecks) {
  EXPECT_EQ(Coils::create(0, 0).error().kind, CoreErrorKind::InvalidQuantity);
  EXPECT_EQ(Coils::create(0, 2001).error().kind, CoreErrorKind::InvalidQuantity);
  auto run = *Coils::create(10, 2000);
  EXPECT_TRUE(run.set(2009, CoilState::On));
  EXPECT_EQ(*run.get(2009), CoilState::On);
  EXPECT_EQ(run.values[249], 0x80);
  EXPECT_EQ(run.set(2010, CoilState::On).error().kind, CoreErrorKind::InvalidAddress);
  EXPECT_EQ(run.get(9).error().kind, CoreErrorKind::InvalidAddress);
  EXPECT_TRUE(run.set(2009, CoilState::Off));
  EXPECT_EQ(run.values[249], 0);
  const std::uint8_t packed[] = {0xFF};
  EXPECT_EQ(run.fill_packed(packed, 3).error().kind, CoreErrorKind::InvalidQuantity);
  // Addresses near the top of the 16-bit space do not wrap.
  auto top = *Coils::create(65535, 2);
  EXPECT_TRUE(top.get(65535));
  EXPECT_EQ(top.get(0).error().kind, CoreErrorKind::InvalidAddress);

  auto regs = *Registers::create(100, 2);
  const std::uint16_t values[] = {1, 2, 3};
  EXPECT_EQ(regs.fill(values, 3).error().kind, CoreErrorKind::InvalidQuantity);
  EXPECT_TRUE(regs.fill(values, 2));
  EXPECT_EQ(*regs.get(101), 2);
  EXPECT_EQ(regs.get(102).error().kind, CoreErrorKind::InvalidAddress);
  EXPECT_EQ(Registers::create(0, 126).error().kind, CoreErrorKind::InvalidQuantity);
}

}  // namespace
}  // namespace tessaly::core
