// Fixed-capacity runs and big-endian readers/writers used by every codec of the core.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace tessaly::core {

// A fixed-capacity array with a length; never allocates.
template <typename T, std::size_t N>
struct FixedVec {
  static constexpr std::size_t kCapacity = N;
  std::array<T, N> items{};
  std::size_t size = 0;

  bool push(T value) {
    if (size >= N) return false;
    items[size++] = value;
    return true;
  }
  bool append(std::span<const T> values) {
    if (values.size() > N - size) return false;
    std::copy(values.begin(), values.end(), items.begin() + size);
    size += values.size();
    return true;
  }
  // Replaces the contents; fails (and leaves them unchanged) when the values do not fit.
  bool assign(std::span<const T> values) {
    if (values.size() > N) return false;
    std::copy(values.begin(), values.end(), items.begin());
    size = values.size();
    return true;
  }
  void clear() { size = 0; }
  std::span<const T> view() const { return {items.data(), size}; }
  std::span<T> view() { return {items.data(), size}; }
  const T& operator[](std::size_t i) const { return items[i]; }
  T& operator[](std::size_t i) { return items[i]; }
  bool empty() const { return size == 0; }
};

// Frames and byte payloads: the largest ASCII frame is 513 characters.
inline constexpr std::size_t kFrameCapacity = 513;
using ByteBuffer = FixedVec<std::uint8_t, kFrameCapacity>;
using Frame = ByteBuffer;
// Caller-supplied u16 lists are copied into this many words before the core checks its limits.
inline constexpr std::size_t kWordListCapacity = 252;
using WordList = FixedVec<std::uint16_t, kWordListCapacity>;

inline std::uint16_t read_u16(std::span<const std::uint8_t> bytes, std::size_t offset) {
  return static_cast<std::uint16_t>((bytes[offset] << 8) | bytes[offset + 1]);
}

// Appends big-endian fields to a fixed output; remembers the first overflow instead of failing
// each call, so codecs write a layout straight through and check once.
class Writer {
 public:
  explicit Writer(std::span<std::uint8_t> out) : out_(out) {}

  void u8(std::uint8_t value) {
    if (pos_ >= out_.size()) {
      overflow_ = true;
      return;
    }
    out_[pos_++] = value;
  }
  void u16(std::uint16_t value) {
    u8(static_cast<std::uint8_t>(value >> 8));
    u8(static_cast<std::uint8_t>(value));
  }
  void bytes(std::span<const std::uint8_t> values) {
    if (values.size() > out_.size() - pos_) {
      overflow_ = true;
      return;
    }
    if (!values.empty()) std::memcpy(out_.data() + pos_, values.data(), values.size());
    pos_ += values.size();
  }
  void words(std::span<const std::uint16_t> values) {
    for (std::uint16_t v : values) u16(v);
  }
  std::size_t pos() const { return pos_; }
  bool overflow() const { return overflow_; }
  std::uint8_t* at(std::size_t offset) { return out_.data() + offset; }

 private:
  std::span<std::uint8_t> out_;
  std::size_t pos_ = 0;
  bool overflow_ = false;
};

}  // namespace tessaly::core
