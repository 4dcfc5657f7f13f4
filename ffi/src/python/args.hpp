// Argument parsing for vectorcall methods, with the errors Python's own parsing raises.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "python/ref.hpp"

namespace tessaly::py {

// Fills `out` (borrowed references, nullptr for omitted optional arguments) from positional and
// keyword arguments. `required` leading names must be given. False with TypeError set otherwise.
bool parse_args(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                std::span<const char* const> names, std::size_t required, PyObject** out);

// Integers in a range, as Python's argument parsing converts them: TypeError for a non-integer,
// OverflowError outside the range.
std::optional<std::uint64_t> to_unsigned(PyObject* object, std::uint64_t max, const char* type);
inline std::optional<std::uint16_t> to_u16(PyObject* object) {
  auto v = to_unsigned(object, 0xFFFF, "unsigned short");
  return v ? std::optional<std::uint16_t>(static_cast<std::uint16_t>(*v)) : std::nullopt;
}
inline std::optional<std::uint8_t> to_u8(PyObject* object) {
  auto v = to_unsigned(object, 0xFF, "unsigned char");
  return v ? std::optional<std::uint8_t>(static_cast<std::uint8_t>(*v)) : std::nullopt;
}
inline std::optional<std::uint32_t> to_u32(PyObject* object) {
  auto v = to_unsigned(object, 0xFFFFFFFFu, "unsigned int");
  return v ? std::optional<std::uint32_t>(static_cast<std::uint32_t>(*v)) : std::nullopt;
}
inline std::optional<std::uint64_t> to_u64(PyObject* object) {
  return to_unsigned(object, UINT64_MAX, "unsigned long long");
}

// The three arguments of __exit__ / __aexit__, which are accepted and not used.
bool parse_exit_args(const char* function, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames);

// A str argument as UTF-8; TypeError for anything else.
std::optional<std::string> to_string(PyObject* object, const char* function, const char* name);

// Every item of a sequence (not a str or bytes) converted by `convert`; errors as the parser's.
template <typename T, typename F>
std::optional<std::vector<T>> to_list(PyObject* object, const char* what, F&& convert) {
  if (PyUnicode_Check(object) || PyBytes_Check(object) || PyByteArray_Check(object) ||
      !PySequence_Check(object)) {
    PyErr_Format(PyExc_TypeError, "%s must be a sequence, not %.50s", what,
                 Py_TYPE(object)->tp_name);
    return std::nullopt;
  }
  Ref fast = Ref::steal(PySequence_Fast(object, what));
  if (!fast) return std::nullopt;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.get());
  PyObject** items = PySequence_Fast_ITEMS(fast.get());
  std::vector<T> out;
  out.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    auto value = convert(items[i]);
    if (!value) return std::nullopt;
    out.push_back(*value);
  }
  return out;
}

}  // namespace tessaly::py
