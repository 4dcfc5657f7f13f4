// Frame codecs for Modbus TCP (MBAP), RTU (CRC-16) and ASCII (LRC).
#pragma once

#include <cstdint>
#include <span>

#include "data_unit/common/pdu.hpp"

namespace tessaly::core {

inline constexpr std::size_t kMbapHeaderSize = 7;
inline constexpr std::size_t kMaxTcpFrame = kMbapHeaderSize + kPduCapacity;  // 260
inline constexpr std::size_t kMaxRtuFrame = 1 + kPduCapacity + 2;            // 256
inline constexpr std::size_t kMaxAsciiBinary = 260;

// Modbus CRC-16 (initial 0xFFFF, reflected polynomial 0xA001), table-driven.
std::uint16_t crc16(std::span<const std::uint8_t> bytes);
// Two's complement of the 8-bit sum.
std::uint8_t lrc(std::span<const std::uint8_t> bytes);

// Wraps PDU bytes (function code and data) into `out`; the transaction id is used for TCP only.
Status encode_frame(Frame& out, TransactionId transaction_id, UnitId unit,
                    std::span<const std::uint8_t> pdu, TransportKind kind, SerialMode mode);
Status encode_frame(Frame& out, TransactionId transaction_id, UnitId unit, const Pdu& pdu,
                    TransportKind kind, SerialMode mode);

// Takes one complete frame apart.
Result<Adu> decode_frame(std::span<const std::uint8_t> frame, TransportKind kind, SerialMode mode);
Result<Adu> decode_tcp_frame(std::span<const std::uint8_t> frame);
Result<Adu> decode_rtu_frame(std::span<const std::uint8_t> frame);
Result<Adu> decode_ascii_frame(std::span<const std::uint8_t> frame);

}  // namespace tessaly::core
