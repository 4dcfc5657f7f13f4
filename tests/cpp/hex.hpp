// Byte fixtures written as hex text ("01 03 00 00").
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace tessaly::test {

inline std::vector<std::uint8_t> hex(std::string_view text) {
  std::vector<std::uint8_t> out;
  int high = -1;
  for (char c : text) {
    int v;
    if (c >= '0' && c <= '9')
      v = c - '0';
    else if (c >= 'a' && c <= 'f')
      v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      v = c - 'A' + 10;
    else
      continue;
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<std::uint8_t>(high << 4 | v));
      high = -1;
    }
  }
  return out;
}

inline std::vector<std::uint8_t> bytes_of(std::string_view text) {
  return {text.begin(), text.end()};
}

template <typename T>
std::vector<std::uint8_t> to_vector(const T& buffer) {
  auto v = buffer.view();
  return {v.begin(), v.end()};
}

}  // namespace tessaly::test
