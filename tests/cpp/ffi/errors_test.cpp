// Error conversion and serial-mode parsing, inside an embedded interpreter.
#include <gtest/gtest.h>

#include <string>

#include "python/enums.hpp"
#include "python/errors.hpp"

namespace tessaly::py {
namespace {

using core::CoreError;
using core::CoreErrorKind;

std::string str_of(PyObject* object);

// "module.Name", as the class reports itself.
std::string qualified_name(PyObject* type) {
  Ref module = Ref::steal(PyObject_GetAttrString(type, "__module__"));
  Ref name = Ref::steal(PyObject_GetAttrString(type, "__name__"));
  return str_of(module.get()) + "." + str_of(name.get());
}

std::string type_name(PyObject* object) {
  return qualified_name(reinterpret_cast<PyObject*>(Py_TYPE(object)));
}

std::string str_of(PyObject* object) {
  Ref text = Ref::steal(PyObject_Str(object));
  return text ? PyUnicode_AsUTF8(text.get()) : "<error>";
}

struct Expected {
  const char* cls;
  const char* message;
};

TEST(CoreErrorToException, EveryVariant) {
  const Expected table[core::kCoreErrorKindCount] = {
      {"tessaly.ModbusProtocolError", "ParseError"},
      {"tessaly.ModbusProtocolError", "BasicParseError"},
      {"tessaly.ModbusTimeout", "Request timed out"},
      {"tessaly.ModbusDeviceException", "Device exception code 0x02"},
      {"tessaly.ModbusConnectionError", "IoError"},
      {"tessaly.ModbusError", "Unexpected"},
      {"tessaly.ModbusConnectionError", "ConnectionLost"},
      {"tessaly.ModbusError", "UnsupportedFunction(2)"},
      {"tessaly.ModbusError", "ReservedSubFunction(2)"},
      {"tessaly.ModbusProtocolError", "InvalidPduLength"},
      {"tessaly.ModbusProtocolError", "InvalidAduLength"},
      {"tessaly.ModbusConnectionError", "ConnectionFailed"},
      {"tessaly.ModbusConnectionError", "ConnectionClosed"},
      {"tessaly.ModbusError", "BufferTooSmall"},
      {"tessaly.ModbusError", "BufferLenMissmatch"},
      {"tessaly.ModbusError", "SendFailed"},
      {"tessaly.ModbusInvalidArgument", "InvalidAddress"},
      {"tessaly.ModbusInvalidArgument", "InvalidOffset"},
      {"tessaly.ModbusError", "TooManyRequests"},
      {"tessaly.ModbusError", "InvalidFunctionCode"},
      {"tessaly.ModbusError", "NoRetriesLeft"},
      {"tessaly.ModbusError", "TooManyFileReadSubRequests"},
      {"tessaly.ModbusError", "FileReadPduOverflow"},
      {"tessaly.ModbusProtocolError", "UnexpectedResponse"},
      {"tessaly.ModbusError", "InvalidTransport"},
      {"tessaly.ModbusConfigError", "InvalidSlaveAddress"},
      {"tessaly.ModbusProtocolError", "ChecksumError"},
      {"tessaly.ModbusConfigError", "InvalidConfiguration"},
      {"tessaly.ModbusError", "InvalidNumOfExpectedRsps"},
      {"tessaly.ModbusInvalidArgument", "InvalidDataLen"},
      {"tessaly.ModbusInvalidArgument", "InvalidQuantity"},
      {"tessaly.ModbusInvalidArgument", "InvalidValue"},
      {"tessaly.ModbusInvalidArgument", "InvalidAndMask"},
      {"tessaly.ModbusInvalidArgument", "InvalidOrMask"},
      {"tessaly.ModbusInvalidArgument", "InvalidByteCount"},
      {"tessaly.ModbusError", "InvalidDeviceIdentification"},
      {"tessaly.ModbusError", "InvalidDeviceIdCode"},
      {"tessaly.ModbusError", "InvalidMeiType"},
      {"tessaly.ModbusConfigError", "InvalidBroadcastAddress"},
      {"tessaly.ModbusError", "BroadcastNotAllowed"},
      {"tessaly.ModbusError", "FramingError"},
  };
  for (std::size_t i = 0; i < core::kCoreErrorKindCount; ++i) {
    const CoreError error{static_cast<CoreErrorKind>(i), 2};
    Ref exception = core_error_to_exception(error);
    ASSERT_TRUE(exception) << i;
    EXPECT_EQ(type_name(exception.get()), table[i].cls) << i;
    if (error.kind != CoreErrorKind::ModbusException) {
      EXPECT_EQ(str_of(exception.get()), table[i].message) << i;
    }
    Ref args = Ref::steal(PyObject_GetAttrString(exception.get(), "args"));
    const Py_ssize_t expected_args = error.kind == CoreErrorKind::ModbusException ? 2 : 1;
    EXPECT_EQ(PyTuple_Size(args.get()), expected_args) << i;
    EXPECT_EQ(PyUnicode_AsUTF8(PyTuple_GetItem(args.get(), 0)), std::string(table[i].message));
  }
}

TEST(CoreErrorToException, DeviceExceptionCarriesTheCode) {
  for (auto [code, message] :
       {std::pair{2, "Device exception code 0x02"}, std::pair{11, "Device exception code 0x0B"},
        std::pair{255, "Device exception code 0xFF"}}) {
    Ref exception =
        core_error_to_exception({CoreErrorKind::ModbusException, static_cast<std::uint16_t>(code)});
    Ref args = Ref::steal(PyObject_GetAttrString(exception.get(), "args"));
    EXPECT_EQ(PyUnicode_AsUTF8(PyTuple_GetItem(args.get(), 0)), std::string(message));
    EXPECT_EQ(PyLong_AsLong(PyTuple_GetItem(args.get(), 1)), code);
    EXPECT_TRUE(
        PyObject_IsInstance(exception.get(), exception_class(ExceptionClass::ModbusProtocolError)));
  }
}

TEST(ExceptionClasses, CreatedOnceAndCached) {
  for (int i = 0; i < kExceptionClassCount; ++i) {
    auto which = static_cast<ExceptionClass>(i);
    EXPECT_EQ(exception_class(which), exception_class(which));
  }
  EXPECT_EQ(raise_message(ExceptionClass::ModbusInvalidArgument, "Transport is closed"), nullptr);
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  EXPECT_EQ(type, exception_class(ExceptionClass::ModbusInvalidArgument));
  EXPECT_EQ(str_of(value), "Transport is closed");
  Py_XDECREF(type), Py_XDECREF(value), Py_XDECREF(traceback);
}

// Returns the mode, or the raised exception's class name and message.
std::string parse(PyObject* object) {
  auto mode = parse_serial_mode(object);
  if (mode) return *mode == core::SerialMode::Rtu ? "Rtu" : "Ascii";
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  std::string out = qualified_name(type) + ": " + str_of(value);
  Py_XDECREF(type), Py_XDECREF(value), Py_XDECREF(traceback);
  return out;
}

TEST(ParseSerialMode, MembersTextsAndErrors) {
  auto text = [](const char* s) { return Ref::steal(PyUnicode_FromString(s)); };
  EXPECT_EQ(parse(serial_mode_member(core::SerialMode::Ascii).get()), "Ascii");
  EXPECT_EQ(parse(serial_mode_member(core::SerialMode::Rtu).get()), "Rtu");
  for (const char* rtu : {"RTU", "Rtu", "rtu"}) EXPECT_EQ(parse(text(rtu).get()), "Rtu");
  EXPECT_EQ(parse(text("ASCII").get()), "Ascii");
  EXPECT_EQ(parse(text("Modbus").get()),
            "tessaly.ModbusConfigError: Unknown serial mode 'modbus'; expected 'rtu'/'ascii' or "
            "SerialMode.RTU/SerialMode.ASCII");
  // Full Unicode lower-casing: the Kelvin sign lowers to a plain k.
  EXPECT_EQ(parse(text("\xE2\x84\xAA").get()),
            "tessaly.ModbusConfigError: Unknown serial mode 'k'; expected 'rtu'/'ascii' or "
            "SerialMode.RTU/SerialMode.ASCII");
  Ref one = Ref::steal(PyLong_FromLong(1));
  EXPECT_EQ(parse(one.get()),
            "tessaly.ModbusConfigError: Invalid serial mode; expected 'rtu'/'ascii' or "
            "SerialMode.RTU/SerialMode.ASCII");
  EXPECT_EQ(parse(coil_state_member(core::CoilState::On).get()),
            "tessaly.ModbusConfigError: Invalid serial mode; expected 'rtu'/'ascii' or "
            "SerialMode.RTU/SerialMode.ASCII");
}

TEST(CoilStateArgument, OnlyMembersAreAccepted) {
  EXPECT_EQ(coil_state_from(coil_state_member(core::CoilState::On).get(), "value"),
            core::CoilState::On);
  for (PyObject* other : {Py_True, Py_False}) {
    EXPECT_FALSE(coil_state_from(other, "value"));
    EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_TypeError));
    PyErr_Clear();
  }
  EXPECT_EQ(coil_state_member(core::CoilState::On).get(),
            coil_state_member(core::CoilState::On).get());
}

}  // namespace
}  // namespace tessaly::py

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  Py_InitializeEx(0);
  const int result = RUN_ALL_TESTS();
  Py_FinalizeEx();
  return result;
}
