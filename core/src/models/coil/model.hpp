// A run of coil or discrete-input states, packed least significant bit first.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>

#include "data_unit/common/error.hpp"

namespace tessaly::core {

enum class CoilState : std::uint8_t { Off = 0, On = 1 };

inline constexpr std::uint16_t kMaxBitRun = 2000;
inline constexpr std::size_t kBitRunBytes = 250;

// Tag keeps coils and discrete inputs distinct types with one implementation.
template <typename Tag>
struct BitRun {
  std::uint16_t from_address = 0;
  std::uint16_t quantity = 0;
  std::array<std::uint8_t, kBitRunBytes> values{};

  // The validating constructor: quantity 1..=2000, all states Off.
  static Result<BitRun> create(std::uint16_t address, std::uint16_t quantity) {
    if (quantity == 0 || quantity > kMaxBitRun) return fail(CoreErrorKind::InvalidQuantity);
    BitRun run;
    run.from_address = address;
    run.quantity = quantity;
    return run;
  }

  std::size_t byte_count() const { return (std::size_t{quantity} + 7) / 8; }
  std::span<const std::uint8_t> packed() const { return {values.data(), byte_count()}; }

  // Copies the first ceil(quantity / 8) of `bytes` (missing bytes read as 0).
  Status fill_packed(std::span<const std::uint8_t> bytes, std::uint16_t count) {
    if (count != quantity) return fail(CoreErrorKind::InvalidQuantity);
    const std::size_t n = std::min(byte_count(), bytes.size());
    values.fill(0);
    std::copy_n(bytes.begin(), n, values.begin());
    return {};
  }

  Result<CoilState> get(std::uint16_t address) const {
    auto index = offset(address);
    if (!index) return std::unexpected(index.error());
    return bit(*index) ? CoilState::On : CoilState::Off;
  }

  Status set(std::uint16_t address, CoilState state) {
    auto index = offset(address);
    if (!index) return std::unexpected(index.error());
    set_bit(*index, state == CoilState::On);
    return {};
  }

  bool bit(std::size_t index) const { return (values[index / 8] >> (index % 8)) & 1; }
  void set_bit(std::size_t index, bool on) {
    const auto mask = static_cast<std::uint8_t>(1u << (index % 8));
    if (on)
      values[index / 8] |= mask;
    else
      values[index / 8] &= static_cast<std::uint8_t>(~mask);
  }

 private:
  Result<std::size_t> offset(std::uint16_t address) const {
    if (address < from_address || std::size_t{address} >= std::size_t{from_address} + quantity)
      return fail(CoreErrorKind::InvalidAddress);
    return std::size_t{address} - from_address;
  }
};

struct CoilTag {};
using Coils = BitRun<CoilTag>;

}  // namespace tessaly::core
