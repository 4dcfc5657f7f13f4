// The CoilState and SerialMode types, their members and the serial-mode parser.
#include "python/enums.hpp"

#include "python/errors.hpp"

namespace tessaly::py {

namespace {

struct MemberObject {
  PyObject_HEAD int value;
};

struct EnumInfo {
  const char* type_name;   // dotted, so __module__ is tessaly._tessaly
  const char* names[2];    // member names, also their repr after "<Class>."
  const char* aliases[2];  // upper-case alias attributes
  const char* reprs[2];
  bool has_truth_value;
};

constexpr EnumInfo kCoilState = {"tessaly._tessaly.CoilState",
                                 {"Off", "On"},
                                 {"OFF", "ON"},
                                 {"CoilState.Off", "CoilState.On"},
                                 true};
constexpr EnumInfo kSerialMode = {"tessaly._tessaly.SerialMode",
                                  {"Rtu", "Ascii"},
                                  {"RTU", "ASCII"},
                                  {"SerialMode.Rtu", "SerialMode.Ascii"},
                                  false};

struct EnumType {
  const EnumInfo* info;
  PyObject* type = nullptr;
  PyObject* members[2] = {nullptr, nullptr};
};

EnumType g_coil_state{&kCoilState};
EnumType g_serial_mode{&kSerialMode};

int value_of(PyObject* self) {
  return reinterpret_cast<MemberObject*>(self)->value;
}

const EnumInfo& info_of(PyObject* self) {
  return Py_TYPE(self) == reinterpret_cast<PyTypeObject*>(g_coil_state.type) ? kCoilState
                                                                             : kSerialMode;
}

PyObject* member_repr(PyObject* self) {
  return PyUnicode_FromString(info_of(self).reprs[value_of(self)]);
}

PyObject* member_int(PyObject* self) {
  return PyLong_FromLong(value_of(self));
}

int member_bool(PyObject* self) {
  return value_of(self) != 0;
}

PyObject* member_richcompare(PyObject* self, PyObject* other, int op) {
  if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
  if (Py_TYPE(other) == Py_TYPE(self)) {
    const bool equal = value_of(self) == value_of(other);
    return PyBool_FromLong(op == Py_EQ ? equal : !equal);
  }
  if (!PyLong_Check(other)) Py_RETURN_NOTIMPLEMENTED;
  Ref value = Ref::steal(PyLong_FromLong(value_of(self)));
  if (!value) return nullptr;
  return PyObject_RichCompare(value.get(), other, op);
}

PyObject* create_type(EnumType& slot) {
  if (slot.type != nullptr) return slot.type;
  const EnumInfo& info = *slot.info;
  PyType_Slot with_bool[] = {
      {Py_tp_repr, reinterpret_cast<void*>(member_repr)},
      {Py_tp_str, reinterpret_cast<void*>(member_repr)},
      {Py_tp_richcompare, reinterpret_cast<void*>(member_richcompare)},
      {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
      {Py_nb_int, reinterpret_cast<void*>(member_int)},
      {Py_nb_bool, reinterpret_cast<void*>(member_bool)},
      {0, nullptr},
  };
  if (!info.has_truth_value) with_bool[5] = {0, nullptr};
  PyType_Spec spec = {
      info.type_name, sizeof(MemberObject), 0,
      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE, with_bool};
  Ref type = Ref::steal(PyType_FromSpec(&spec));
  if (!type) return nullptr;
  auto* type_object = reinterpret_cast<PyTypeObject*>(type.get());
  PyObject* members[2] = {nullptr, nullptr};
  for (int value = 0; value < 2; ++value) {
    MemberObject* member = PyObject_New(MemberObject, type_object);
    if (member == nullptr) {
      Py_XDECREF(members[0]);
      return nullptr;
    }
    member->value = value;
    members[value] = reinterpret_cast<PyObject*>(member);
    // The type is immutable to users; its attributes are set once, here, through its dict.
    if (PyDict_SetItemString(type_object->tp_dict, info.names[value], members[value]) < 0 ||
        PyDict_SetItemString(type_object->tp_dict, info.aliases[value], members[value]) < 0) {
      Py_XDECREF(members[0]);
      Py_XDECREF(members[1]);
      return nullptr;
    }
  }
  PyType_Modified(type_object);
  if (slot.type != nullptr) {  // another thread finished first while we ran Python code
    Py_DECREF(members[0]);
    Py_DECREF(members[1]);
    return slot.type;
  }
  slot.members[0] = members[0];
  slot.members[1] = members[1];
  slot.type = type.release();
  return slot.type;
}

Ref member(EnumType& slot, int value) {
  if (create_type(slot) == nullptr) return {};
  return Ref::borrow(slot.members[value]);
}

constexpr const char* kSerialModeHint = "expected 'rtu'/'ascii' or SerialMode.RTU/SerialMode.ASCII";

}  // namespace

PyObject* coil_state_type() {
  return create_type(g_coil_state);
}
PyObject* serial_mode_type() {
  return create_type(g_serial_mode);
}

Ref coil_state_member(core::CoilState state) {
  return member(g_coil_state, state == core::CoilState::On ? 1 : 0);
}

Ref serial_mode_member(core::SerialMode mode) {
  return member(g_serial_mode, mode == core::SerialMode::Ascii ? 1 : 0);
}

std::optional<core::CoilState> coil_state_from(PyObject* object, const char* argument) {
  PyObject* type = coil_state_type();
  if (type == nullptr) return std::nullopt;
  if (Py_TYPE(object) != reinterpret_cast<PyTypeObject*>(type)) {
    PyErr_Format(PyExc_TypeError, "%s must be CoilState, not %.50s", argument,
                 Py_TYPE(object)->tp_name);
    return std::nullopt;
  }
  return value_of(object) ? core::CoilState::On : core::CoilState::Off;
}

std::optional<core::SerialMode> parse_serial_mode(PyObject* object) {
  PyObject* type = serial_mode_type();
  if (type == nullptr) return std::nullopt;
  if (Py_TYPE(object) == reinterpret_cast<PyTypeObject*>(type))
    return value_of(object) ? core::SerialMode::Ascii : core::SerialMode::Rtu;
  PyObject* config_error = exception_class(ExceptionClass::ModbusConfigError);
  if (config_error == nullptr) return std::nullopt;
  if (!PyUnicode_Check(object)) {
    PyErr_Format(config_error, "Invalid serial mode; %s", kSerialModeHint);
    return std::nullopt;
  }
  Ref lowered = Ref::steal(PyObject_CallMethod(object, "lower", nullptr));
  if (!lowered) return std::nullopt;
  if (PyUnicode_CompareWithASCIIString(lowered.get(), "rtu") == 0) return core::SerialMode::Rtu;
  if (PyUnicode_CompareWithASCIIString(lowered.get(), "ascii") == 0) return core::SerialMode::Ascii;
  PyErr_Format(config_error, "Unknown serial mode '%U'; %s", lowered.get(), kSerialModeHint);
  return std::nullopt;
}

}  // namespace tessaly::py
