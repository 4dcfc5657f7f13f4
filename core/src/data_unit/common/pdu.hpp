// The Modbus data unit, function and exception codes, unit ids and the decoded frame.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "data_unit/common/buffer.hpp"
#include "data_unit/common/error.hpp"

namespace tessaly::core {

inline constexpr std::size_t kPduDataCapacity = 252;
inline constexpr std::size_t kPduCapacity = kPduDataCapacity + 1;

enum class FunctionCode : std::uint8_t {
  ReadCoils = 0x01,
  ReadDiscreteInputs = 0x02,
  ReadHoldingRegisters = 0x03,
  ReadInputRegisters = 0x04,
  WriteSingleCoil = 0x05,
  WriteSingleRegister = 0x06,
  ReadExceptionStatus = 0x07,
  Diagnostics = 0x08,
  GetCommEventCounter = 0x0B,
  GetCommEventLog = 0x0C,
  WriteMultipleCoils = 0x0F,
  WriteMultipleRegisters = 0x10,
  ReportServerId = 0x11,
  ReadFileRecord = 0x14,
  WriteFileRecord = 0x15,
  MaskWriteRegister = 0x16,
  ReadWriteMultipleRegisters = 0x17,
  ReadFifoQueue = 0x18,
  EncapsulatedInterfaceTransport = 0x2B,
  ReadCoilsException = 0x81,
  ReadDiscreteInputsException = 0x82,
  ReadHoldingRegistersException = 0x83,
  ReadInputRegistersException = 0x84,
  WriteSingleCoilException = 0x85,
  WriteSingleRegisterException = 0x86,
  ReadExceptionStatusException = 0x87,
  DiagnosticsException = 0x88,
  GetCommEventCounterException = 0x8B,
  GetCommEventLogException = 0x8C,
  WriteMultipleCoilsException = 0x8F,
  WriteMultipleRegistersException = 0x90,
  ReportServerIdException = 0x91,
  ReadFileRecordException = 0x94,
  WriteFileRecordException = 0x95,
  MaskWriteRegisterException = 0x96,
  ReadWriteMultipleRegistersException = 0x97,
  ReadFifoQueueException = 0x98,
  EncapsulatedInterfaceTransportException = 0xAB,
};

// The nineteen plain function codes, in wire order.
inline constexpr std::array<FunctionCode, 19> kPlainFunctionCodes = {
    FunctionCode::ReadCoils,
    FunctionCode::ReadDiscreteInputs,
    FunctionCode::ReadHoldingRegisters,
    FunctionCode::ReadInputRegisters,
    FunctionCode::WriteSingleCoil,
    FunctionCode::WriteSingleRegister,
    FunctionCode::ReadExceptionStatus,
    FunctionCode::Diagnostics,
    FunctionCode::GetCommEventCounter,
    FunctionCode::GetCommEventLog,
    FunctionCode::WriteMultipleCoils,
    FunctionCode::WriteMultipleRegisters,
    FunctionCode::ReportServerId,
    FunctionCode::ReadFileRecord,
    FunctionCode::WriteFileRecord,
    FunctionCode::MaskWriteRegister,
    FunctionCode::ReadWriteMultipleRegisters,
    FunctionCode::ReadFifoQueue,
    FunctionCode::EncapsulatedInterfaceTransport,
};

// True for the nineteen plain codes (bit 0x80 clear).
bool is_plain_function_code(std::uint8_t byte);
// Any of the thirty-eight members, or UnsupportedFunction carrying the byte.
Result<FunctionCode> function_code_from_byte(std::uint8_t byte);
bool is_exception_member(FunctionCode code);
// The member valued code | 0x80; defined for plain members (an exception member maps to itself).
FunctionCode exception_member(FunctionCode code);

enum class ExceptionCode : std::uint8_t {
  IllegalFunction = 0x01,
  IllegalDataAddress = 0x02,
  ServerDeviceFailure = 0x04,
  GatewayTargetDeviceFailedToRespond = 0x0B,
};

using UnitId = std::uint8_t;
using TransactionId = std::uint16_t;

inline constexpr UnitId kBroadcastUnit = 0;
inline constexpr UnitId kMaxIndividualUnit = 247;

// Every client request checks its unit first: 0 and 248..=255 are refused.
Result<UnitId> validate_unit_id(UnitId unit);
// Unit of a received frame: 0 stays 0, 1..=247 stay, anything else reads as 255.
UnitId received_unit(UnitId raw);

struct Pdu {
  std::uint8_t function_code = 0;
  bool is_exception = false;
  std::uint8_t exception_code = 0;
  std::uint8_t data_len = 0;
  std::array<std::uint8_t, kPduDataCapacity> data{};

  std::span<const std::uint8_t> payload() const { return {data.data(), data_len}; }
};

using PduBytes = FixedVec<std::uint8_t, kPduCapacity>;

Result<Pdu> decode_pdu(std::span<const std::uint8_t> bytes);
Result<PduBytes> encode_pdu(const Pdu& pdu);

enum class TransportKind : std::uint8_t { Tcp, Serial };
enum class SerialMode : std::uint8_t { Rtu = 0, Ascii = 1 };

struct MbapHeader {
  TransactionId transaction_id = 0;
  std::uint16_t protocol_id = 0;
  std::uint16_t length = 0;
  UnitId unit_id = 0;
};

// A decoded frame. `mbap` is meaningful for TCP frames, `slave_address` for serial ones.
struct Adu {
  TransportKind kind = TransportKind::Tcp;
  MbapHeader mbap;
  UnitId slave_address = 0;
  Pdu pdu;

  UnitId raw_unit() const { return kind == TransportKind::Tcp ? mbap.unit_id : slave_address; }
  TransactionId transaction_id() const {
    return kind == TransportKind::Tcp ? mbap.transaction_id : 0;
  }
};

inline UnitId received_unit(const Adu& adu) {
  return received_unit(adu.raw_unit());
}

}  // namespace tessaly::core
