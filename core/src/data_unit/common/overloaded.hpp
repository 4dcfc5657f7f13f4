// Overload set for std::visit over the records' variants.
#pragma once

namespace tessaly::core {

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};

}  // namespace tessaly::core
