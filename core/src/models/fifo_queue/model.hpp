// The result of reading a FIFO queue.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace tessaly::core {

inline constexpr std::size_t kMaxFifoCount = 31;

struct FifoQueue {
  std::uint16_t pointer_address = 0;
  std::uint16_t count = 0;
  std::array<std::uint16_t, kMaxFifoCount> values{};

  std::span<const std::uint16_t> view() const { return {values.data(), count}; }
};

}  // namespace tessaly::core
