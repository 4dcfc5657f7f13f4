// Data units, function codes, unit ids and the text form of CoreError.
#include <gtest/gtest.h>

#include "data_unit/common/pdu.hpp"
#include "hex.hpp"

namespace tessaly::core {
namespace {

using test::hex;

TEST(CoreErrorText, NamesInDeclarationOrderWithPayloadInParentheses) {
  EXPECT_EQ(error_text({CoreErrorKind::ParseError}).view(), "ParseError");
  EXPECT_EQ(error_text({CoreErrorKind::InvalidQuantity}).view(), "InvalidQuantity");
  EXPECT_EQ(error_text({CoreErrorKind::ModbusException, 2}).view(), "ModbusException(2)");
  EXPECT_EQ(error_text({CoreErrorKind::UnsupportedFunction, 9}).view(), "UnsupportedFunction(9)");
  EXPECT_EQ(error_text({CoreErrorKind::ReservedSubFunction, 65535}).view(),
            "ReservedSubFunction(65535)");
  EXPECT_EQ(error_text({CoreErrorKind::FramingError}).view(), "FramingError");
  EXPECT_EQ(static_cast<int>(CoreErrorKind::InvalidPduLength), 9);
  EXPECT_EQ(static_cast<int>(CoreErrorKind::InvalidQuantity), 30);
  EXPECT_EQ(static_cast<int>(CoreErrorKind::FramingError), 40);
  EXPECT_EQ(error_name(CoreErrorKind::BufferLenMissmatch), "BufferLenMissmatch");
}

struct PduCase {
  const char* name;
  const char* bytes;
  CoreError error;  // Unexpected(0xFFFF) marks success
};

TEST(PduDecode, Cases) {
  const CoreError ok{CoreErrorKind::Unexpected, 0xFFFF};
  const PduCase cases[] = {
      {"empty", "", {CoreErrorKind::InvalidPduLength}},
      {"lone exception byte", "83", {CoreErrorKind::InvalidPduLength}},
      {"unsupported", "09", {CoreErrorKind::UnsupportedFunction, 9}},
      {"unsupported exception", "89 01", {CoreErrorKind::UnsupportedFunction, 9}},
      {"zero", "00", {CoreErrorKind::UnsupportedFunction, 0}},
      {"plain", "03 00 00 00 01", ok},
      {"bare code", "07", ok},
      {"exception", "83 02", ok},
  };
  for (const auto& c : cases) {
    auto bytes = hex(c.bytes);
    auto pdu = decode_pdu(bytes);
    if (c.error == ok) {
      EXPECT_TRUE(pdu.has_value()) << c.name;
    } else {
      ASSERT_FALSE(pdu.has_value()) << c.name;
      EXPECT_EQ(pdu.error(), c.error) << c.name;
    }
  }
}

TEST(PduDecode, ExceptionKeepsCodeAsFirstDataByte) {
  auto bytes = hex("83 02");
  auto pdu = decode_pdu(bytes);
  ASSERT_TRUE(pdu);
  EXPECT_EQ(pdu->function_code, 0x03);
  EXPECT_TRUE(pdu->is_exception);
  EXPECT_EQ(pdu->exception_code, 2);
  ASSERT_EQ(pdu->data_len, 1);
  EXPECT_EQ(pdu->data[0], 2);
}

TEST(PduDecode, DataLimitIs252Bytes) {
  std::vector<std::uint8_t> bytes(253, 0xAA);
  bytes[0] = 0x10;
  auto pdu = decode_pdu(bytes);
  ASSERT_TRUE(pdu);
  EXPECT_EQ(pdu->data_len, 252);
  bytes.push_back(0);
  EXPECT_EQ(decode_pdu(bytes).error(), CoreError(CoreErrorKind::InvalidPduLength));
}

TEST(PduEncode, FunctionCodeThenData) {
  Pdu pdu;
  pdu.function_code = 0x06;
  pdu.data_len = 4;
  pdu.data[0] = 0x00, pdu.data[1] = 0x01, pdu.data[2] = 0x00, pdu.data[3] = 0x03;
  auto out = encode_pdu(pdu);
  ASSERT_TRUE(out);
  EXPECT_EQ(test::to_vector(*out), hex("06 00 01 00 03"));
}

TEST(FunctionCodes, FromByteAndExceptionMembers) {
  int valid = 0;
  for (int b = 0; b < 256; ++b) {
    auto code = function_code_from_byte(static_cast<std::uint8_t>(b));
    if (code) {
      ++valid;
      EXPECT_EQ(static_cast<int>(*code), b);
    } else {
      EXPECT_EQ(code.error(), CoreError(CoreErrorKind::UnsupportedFunction, b));
    }
  }
  EXPECT_EQ(valid, 38);
  EXPECT_EQ(*function_code_from_byte(0x83), FunctionCode::ReadHoldingRegistersException);
  EXPECT_EQ(function_code_from_byte(0x89).error(),
            CoreError(CoreErrorKind::UnsupportedFunction, 137));
  for (FunctionCode code : kPlainFunctionCodes) {
    EXPECT_FALSE(is_exception_member(code));
    EXPECT_EQ(static_cast<int>(exception_member(code)), static_cast<int>(code) | 0x80);
    EXPECT_TRUE(is_exception_member(exception_member(code)));
  }
}

TEST(UnitIds, ValidationAndReceivedUnit) {
  EXPECT_EQ(validate_unit_id(0).error(), CoreError(CoreErrorKind::InvalidBroadcastAddress));
  EXPECT_EQ(*validate_unit_id(1), 1);
  EXPECT_EQ(*validate_unit_id(247), 247);
  EXPECT_EQ(validate_unit_id(248).error(), CoreError(CoreErrorKind::InvalidSlaveAddress));
  EXPECT_EQ(validate_unit_id(255).error(), CoreError(CoreErrorKind::InvalidSlaveAddress));
  EXPECT_EQ(received_unit(UnitId{0}), 0);
  EXPECT_EQ(received_unit(UnitId{247}), 247);
  EXPECT_EQ(received_unit(UnitId{248}), 255);
}

}  // namespace
}  // namespace tessaly::core
