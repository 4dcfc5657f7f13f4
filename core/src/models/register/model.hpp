// A run of 16-bit registers, host order (big-endian only on the wire).
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>

#include "data_unit/common/error.hpp"

namespace tessaly::core {

inline constexpr std::uint16_t kMaxRegisterRun = 125;

struct Registers {
  std::uint16_t from_address = 0;
  std::uint16_t quantity = 0;
  std::array<std::uint16_t, kMaxRegisterRun> values{};

  static Result<Registers> create(std::uint16_t address, std::uint16_t quantity) {
    if (quantity > kMaxRegisterRun) return fail(CoreErrorKind::InvalidQuantity);
    Registers run;
    run.from_address = address;
    run.quantity = quantity;
    return run;
  }

  std::span<const std::uint16_t> view() const { return {values.data(), quantity}; }

  Status fill(std::span<const std::uint16_t> source, std::size_t count) {
    if (count > quantity || count > source.size()) return fail(CoreErrorKind::InvalidQuantity);
    std::copy_n(source.begin(), count, values.begin());
    return {};
  }

  Result<std::uint16_t> get(std::uint16_t address) const {
    if (address < from_address || std::size_t{address} >= std::size_t{from_address} + quantity)
      return fail(CoreErrorKind::InvalidAddress);
    return values[address - from_address];
  }
};

}  // namespace tessaly::core
