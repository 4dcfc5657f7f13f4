// Vectorcall argument parsing and integer conversions.
#include "python/args.hpp"

#include <cstring>

namespace tessaly::py {

bool parse_args(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                std::span<const char* const> names, std::size_t required, PyObject** out) {
  const std::size_t total = names.size();
  const auto positional = static_cast<std::size_t>(nargs);
  if (positional > total) {
    PyErr_Format(PyExc_TypeError, "%s() takes at most %zu argument%s (%zd given)", function, total,
                 total == 1 ? "" : "s", nargs);
    return false;
  }
  for (std::size_t i = 0; i < total; ++i) out[i] = i < positional ? args[i] : nullptr;
  const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    std::size_t index = total;
    std::size_t i = 0;
    for (const char* name : names) {
      if (PyUnicode_CompareWithASCIIString(key, name) == 0) {
        index = i;
        break;
      }
      ++i;
    }
    if (index == total) {
      PyErr_Format(PyExc_TypeError, "'%U' is an invalid keyword argument for %s()", key, function);
      return false;
    }
    if (out[index] != nullptr) {
      PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%U') and position (%zu)",
                   function, key, index + 1);
      return false;
    }
    out[index] = args[nargs + k];
  }
  std::size_t i = 0;
  for (const char* name : names) {
    if (i < required && out[i] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", function, name,
                   i + 1);
      return false;
    }
    ++i;
  }
  return true;
}

std::optional<std::uint64_t> to_unsigned(PyObject* object, std::uint64_t max, const char* type) {
  if (PyFloat_Check(object)) {
    PyErr_SetString(PyExc_TypeError, "'float' object cannot be interpreted as an integer");
    return std::nullopt;
  }
  Ref index = Ref::steal(PyNumber_Index(object));
  if (!index) return std::nullopt;
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (value == -1 && PyErr_Occurred()) return std::nullopt;
  if (overflow < 0 || (overflow == 0 && value < 0)) {
    PyErr_Format(PyExc_OverflowError, "can't convert negative int to %s", type);
    return std::nullopt;
  }
  std::uint64_t result;
  if (overflow > 0) {
    result = PyLong_AsUnsignedLongLong(index.get());
    if (result == static_cast<std::uint64_t>(-1) && PyErr_Occurred()) return std::nullopt;
  } else {
    result = static_cast<std::uint64_t>(value);
  }
  if (result > max) {
    PyErr_Format(PyExc_OverflowError, "%s is greater than maximum", type);
    return std::nullopt;
  }
  return result;
}

bool parse_exit_args(const char* function, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
  static constexpr const char* kNames[] = {"_exc_type", "_exc_val", "_exc_tb"};
  PyObject* parsed[3];
  return parse_args(function, args, nargs, kwnames, kNames, 3, parsed);
}

std::optional<std::string> to_string(PyObject* object, const char* function, const char* name) {
  if (!PyUnicode_Check(object)) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be str, not %.50s", function, name,
                 Py_TYPE(object)->tp_name);
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(object, &size);
  if (text == nullptr) return std::nullopt;
  return std::string(text, static_cast<std::size_t>(size));
}

}  // namespace tessaly::py
