// Argument and result conversions of the nineteen client requests.
#include "python/client/requests.hpp"

#include <array>

#include "python/args.hpp"
#include "python/enums.hpp"
#include "python/errors.hpp"

namespace tessaly::py {

namespace {

using R = core::ClientRequest;
using P = core::ClientResponse;
using Result = engine::ClientResult<core::ClientResponse>;
using Body = std::optional<R::Body>;

template <typename V>
std::optional<V> take(Result result) {
  auto value = engine::expect<V>(std::move(result));
  if (!value) {
    raise_client_error(value.error());
    return std::nullopt;
  }
  return std::move(*value);
}

std::optional<core::WordList> words(PyObject* object, const char* what) {
  auto list = to_list<std::uint16_t>(object, what, to_u16);
  if (!list) return std::nullopt;
  auto copied = engine::copy_words(*list);
  if (!copied) {
    raise_client_error(copied.error());
    return std::nullopt;
  }
  return *copied;
}

template <typename Run>
Ref bit_list(const Run& run) {
  Ref list = Ref::steal(PyList_New(run.quantity));
  if (!list) return {};
  for (std::size_t i = 0; i < run.quantity; ++i) {
    Ref member = coil_state_member(run.bit(i) ? core::CoilState::On : core::CoilState::Off);
    if (!member) return {};
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), member.release());
  }
  return list;
}

Ref int_list(std::span<const std::uint16_t> values) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return {};
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* value = PyLong_FromLong(values[i]);
    if (!value) return {};
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), value);
  }
  return list;
}

Ref pair(long first, long second) {
  return Ref::steal(Py_BuildValue("(ll)", first, second));
}

// --- builders ---------------------------------------------------------------------------------

template <typename T>
Body address_quantity(PyObject** a) {
  auto address = to_u16(a[0]);
  if (!address) return std::nullopt;
  auto quantity = to_u16(a[1]);
  if (!quantity) return std::nullopt;
  return R::Body{T{*address, *quantity}};
}

Body build_write_coil(PyObject** a) {
  auto address = to_u16(a[0]);
  if (!address) return std::nullopt;
  auto state = coil_state_from(a[1], "value");
  if (!state) return std::nullopt;
  return R::Body{R::WriteSingleCoil{*address, *state}};
}

Body build_write_coils(PyObject** a) {
  auto address = to_u16(a[0]);
  if (!address) return std::nullopt;
  auto states = to_list<core::CoilState>(
      a[1], "values", [](PyObject* item) { return coil_state_from(item, "values item"); });
  if (!states) return std::nullopt;
  if (states->size() > 0xFFFF) {
    raise_core_error(core::CoreErrorKind::InvalidQuantity);
    return std::nullopt;
  }
  auto run = core::Coils::create(*address, static_cast<std::uint16_t>(states->size()));
  if (!run) {
    raise_core_error(run.error());
    return std::nullopt;
  }
  for (std::size_t i = 0; i < states->size(); ++i)
    run->set_bit(i, (*states)[i] == core::CoilState::On);
  return R::Body{R::WriteMultipleCoils{*address, *run}};
}

Body build_write_register(PyObject** a) {
  auto address = to_u16(a[0]);
  if (!address) return std::nullopt;
  auto value = to_u16(a[1]);
  if (!value) return std::nullopt;
  return R::Body{R::WriteSingleRegister{*address, *value}};
}

Body build_write_registers(PyObject** a) {
  auto address = to_u16(a[0]);
  if (!address) return std::nullopt;
  auto values = words(a[1], "values");
  if (!values) return std::nullopt;
  return R::Body{R::WriteMultipleRegisters{*address, *values}};
}

Body build_mask_write(PyObject** a) {
  auto address = to_u16(a[0]);
  auto and_mask = address ? to_u16(a[1]) : std::nullopt;
  auto or_mask = and_mask ? to_u16(a[2]) : std::nullopt;
  if (!or_mask) return std::nullopt;
  return R::Body{R::MaskWriteRegister{*address, *and_mask, *or_mask}};
}

Body build_read_write(PyObject** a) {
  auto read_address = to_u16(a[0]);
  auto read_quantity = read_address ? to_u16(a[1]) : std::nullopt;
  auto write_address = read_quantity ? to_u16(a[2]) : std::nullopt;
  if (!write_address) return std::nullopt;
  auto values = words(a[3], "write_values");
  if (!values) return std::nullopt;
  return R::Body{
      R::ReadWriteMultipleRegisters{*read_address, *read_quantity, *write_address, *values}};
}

Body build_fifo(PyObject** a) {
  auto address = to_u16(a[0]);
  if (!address) return std::nullopt;
  return R::Body{R::ReadFifoQueue{*address}};
}

std::optional<std::array<std::uint16_t, 2>> two_u16(PyObject* tuple) {
  auto first = to_u16(PyTuple_GET_ITEM(tuple, 0));
  auto second = first ? to_u16(PyTuple_GET_ITEM(tuple, 1)) : std::nullopt;
  if (!second) return std::nullopt;
  return std::array<std::uint16_t, 2>{*first, *second};
}

bool is_triple(PyObject* item) {
  if (PyTuple_Check(item) && PyTuple_GET_SIZE(item) == 3) return true;
  PyErr_Format(PyExc_TypeError, "each request must be a 3-tuple, not %.50s",
               Py_TYPE(item)->tp_name);
  return false;
}

Body build_read_file(PyObject** a) {
  core::FileReadList list;
  auto ok = to_list<bool>(a[0], "requests", [&](PyObject* item) -> std::optional<bool> {
    if (!is_triple(item)) return std::nullopt;
    auto head = two_u16(item);
    auto length = head ? to_u16(PyTuple_GET_ITEM(item, 2)) : std::nullopt;
    if (!length) return std::nullopt;
    if (auto added = list.add((*head)[0], (*head)[1], *length); !added) {
      raise_core_error(added.error());
      return std::nullopt;
    }
    return true;
  });
  if (!ok) return std::nullopt;
  return R::Body{R::ReadFileRecord{list}};
}

Body build_write_file(PyObject** a) {
  core::FileWriteList list;
  auto ok = to_list<bool>(a[0], "requests", [&](PyObject* item) -> std::optional<bool> {
    if (!is_triple(item)) return std::nullopt;
    auto head = two_u16(item);
    if (!head) return std::nullopt;
    auto data = to_list<std::uint16_t>(PyTuple_GET_ITEM(item, 2), "data_words", to_u16);
    if (!data) return std::nullopt;
    if (data->size() > core::kWordListCapacity) {
      raise_message(ExceptionClass::ModbusInvalidArgument,
                    "record_data exceeds Modbus PDU capacity");
      return std::nullopt;
    }
    auto added = list.add((*head)[0], (*head)[1], static_cast<std::uint16_t>(data->size()), *data);
    if (!added) {
      raise_core_error(added.error());
      return std::nullopt;
    }
    return true;
  });
  if (!ok) return std::nullopt;
  return R::Body{R::WriteFileRecord{list}};
}

template <typename T>
Body bare(PyObject**) {
  return R::Body{T{}};
}

Body build_diagnostics(PyObject** a) {
  auto sub = to_u16(a[0]);
  if (!sub) return std::nullopt;
  auto data = words(a[1], "data");
  if (!data) return std::nullopt;
  return R::Body{R::Diagnostics{*sub, *data}};
}

Body build_device_id(PyObject** a) {
  std::uint8_t object_id = 0;
  if (a[0] != nullptr) {
    auto id = to_u8(a[0]);
    if (!id) return std::nullopt;
    object_id = *id;
  }
  std::uint8_t code = 1;
  if (a[1] != nullptr) {
    if (!PyUnicode_Check(a[1])) {
      PyErr_Format(PyExc_TypeError,
                   "get_device_identification() argument 'kind' must be str, not %.50s",
                   Py_TYPE(a[1])->tp_name);
      return std::nullopt;
    }
    Ref lowered = Ref::steal(PyObject_CallMethod(a[1], "lower", nullptr));
    if (!lowered) return std::nullopt;
    static constexpr const char* kKinds[] = {"basic", "regular", "extended", "specific"};
    code = 0;
    for (std::uint8_t i = 0; i < 4; ++i)
      if (PyUnicode_CompareWithASCIIString(lowered.get(), kKinds[i]) == 0) code = i + 1;
    if (code == 0) {
      PyErr_Format(exception_class(ExceptionClass::ModbusInvalidArgument),
                   "Unknown device-identification kind '%U'; expected 'basic', 'regular', "
                   "'extended', or 'specific'",
                   lowered.get());
      return std::nullopt;
    }
  }
  return R::Body{R::ReadDeviceIdentification{code, object_id}};
}

// --- converters -------------------------------------------------------------------------------

Ref convert_coils(Result result, const R&) {
  auto run = take<core::Coils>(std::move(result));
  return run ? bit_list(*run) : Ref();
}

Ref convert_inputs(Result result, const R&) {
  auto run = take<core::DiscreteInputs>(std::move(result));
  return run ? bit_list(*run) : Ref();
}

Ref convert_registers(Result result, const R&) {
  auto run = take<core::Registers>(std::move(result));
  return run ? int_list(run->view()) : Ref();
}

Ref convert_input_registers(Result result, const R&) {
  auto run = take<P::InputRegisters>(std::move(result));
  return run ? int_list(run->run.view()) : Ref();
}

Ref convert_write_coil(Result result, const R& request) {
  auto run = take<core::Coils>(std::move(result));
  if (!run) return {};
  const auto address = std::get<R::WriteSingleCoil>(request.body).address;
  auto state = run->get(address);
  if (!state) {
    raise_core_error(state.error());
    return {};
  }
  Ref member = coil_state_member(*state);
  if (!member) return {};
  return Ref::steal(Py_BuildValue("(lO)", static_cast<long>(address), member.get()));
}

Ref convert_coil_echo(Result result, const R&) {
  auto run = take<core::Coils>(std::move(result));
  return run ? pair(run->from_address, run->quantity) : Ref();
}

Ref convert_register_echo(Result result, const R&) {
  auto echo = take<P::SingleRegister>(std::move(result));
  return echo ? pair(echo->address, echo->value) : Ref();
}

Ref convert_registers_echo(Result result, const R&) {
  auto run = take<core::Registers>(std::move(result));
  return run ? pair(run->from_address, run->quantity) : Ref();
}

template <typename V>
Ref convert_none(Result result, const R&) {
  if (!take<V>(std::move(result))) return {};
  return Ref::borrow(Py_None);
}

Ref convert_fifo(Result result, const R&) {
  auto fifo = take<core::FifoQueue>(std::move(result));
  return fifo ? int_list(fifo->view()) : Ref();
}

Ref convert_file_records(Result result, const R& request) {
  auto read = take<P::FileRecordRead>(std::move(result));
  if (!read) return {};
  const auto& asked = std::get<R::ReadFileRecord>(request.body).list.items;
  const auto& records = read->records;
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(records.items.size)));
  if (!list) return {};
  for (std::size_t i = 0; i < records.items.size; ++i) {
    // Each sub-response answers the sub-request in the same position.
    const core::FileReadSubRequest sub = i < asked.size ? asked[i] : core::FileReadSubRequest{};
    const auto data = records.words_of(records.items[i]);
    Ref values = int_list(data);
    if (!values) return {};
    PyObject* entry =
        Py_BuildValue("{s:l,s:l,s:l,s:O}", "file_number", static_cast<long>(sub.file_number),
                      "record_number", static_cast<long>(sub.record_number), "record_length",
                      static_cast<long>(data.size()), "record_data", values.get());
    if (!entry) return {};
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), entry);
  }
  return list;
}

Ref convert_status(Result result, const R&) {
  auto status = take<P::ExceptionStatus>(std::move(result));
  return status ? Ref::steal(PyLong_FromLong(status->status)) : Ref();
}

Ref convert_counter(Result result, const R&) {
  auto counter = take<P::CommEventCounter>(std::move(result));
  return counter ? pair(counter->status, counter->event_count) : Ref();
}

Ref convert_diagnostics(Result result, const R&) {
  auto diag = take<P::Diagnostics>(std::move(result));
  if (!diag) return {};
  Ref data = int_list(diag->data.view());
  if (!data) return {};
  return Ref::steal(Py_BuildValue("(lO)", static_cast<long>(diag->sub_function), data.get()));
}

Ref convert_event_log(Result result, const R&) {
  auto log = take<P::CommEventLog>(std::move(result));
  if (!log) return {};
  const auto events = log->events.view();
  return Ref::steal(
      Py_BuildValue("(lllN)", static_cast<long>(log->status), static_cast<long>(log->event_count),
                    static_cast<long>(log->message_count),
                    PyBytes_FromStringAndSize(reinterpret_cast<const char*>(events.data()),
                                              static_cast<Py_ssize_t>(events.size()))));
}

Ref convert_server_id(Result result, const R&) {
  auto id = take<P::ServerId>(std::move(result));
  if (!id) return {};
  const auto bytes = id->bytes.view();
  return Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<Py_ssize_t>(bytes.size())));
}

Ref convert_device_id(Result result, const R&) {
  auto id = take<P::DeviceIdentification>(std::move(result));
  if (!id) return {};
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return {};
  auto it = id->iterate();
  core::DeviceIdObject object;
  while (it.next(object)) {
    Ref key = Ref::steal(PyLong_FromLong(object.id));
    Ref value =
        Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(object.value.data()),
                                             static_cast<Py_ssize_t>(object.value.size())));
    if (!key || !value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return {};
  }
  return dict;
}

const std::array<ClientOperation, kOperationCount> kOperations = {{
    {"read_coils", {"address", "quantity"}, 2, 2, address_quantity<R::ReadCoils>, convert_coils},
    {"write_coil", {"address", "value"}, 2, 2, build_write_coil, convert_write_coil, true},
    {"write_coils", {"address", "values"}, 2, 2, build_write_coils, convert_coil_echo},
    {"read_discrete_inputs",
     {"address", "quantity"},
     2,
     2,
     address_quantity<R::ReadDiscreteInputs>,
     convert_inputs},
    {"read_holding_registers",
     {"address", "quantity"},
     2,
     2,
     address_quantity<R::ReadHoldingRegisters>,
     convert_registers},
    {"read_input_registers",
     {"address", "quantity"},
     2,
     2,
     address_quantity<R::ReadInputRegisters>,
     convert_input_registers},
    {"write_register", {"address", "value"}, 2, 2, build_write_register, convert_register_echo},
    {"write_registers", {"address", "values"}, 2, 2, build_write_registers, convert_registers_echo},
    {"mask_write_register",
     {"address", "and_mask", "or_mask"},
     3,
     3,
     build_mask_write,
     convert_none<P::MaskWriteRegister>},
    {"read_write_registers",
     {"read_address", "read_quantity", "write_address", "write_values"},
     4,
     4,
     build_read_write,
     convert_registers},
    {"read_fifo_queue", {"address"}, 1, 1, build_fifo, convert_fifo},
    {"read_file_record", {"requests"}, 1, 1, build_read_file, convert_file_records, true},
    {"write_file_record", {"requests"}, 1, 1, build_write_file, convert_none<P::FileRecordWritten>},
    {"read_exception_status", {}, 0, 0, bare<R::ReadExceptionStatus>, convert_status},
    {"get_event_counter", {}, 0, 0, bare<R::GetCommEventCounter>, convert_counter},
    {"diagnostics", {"sub_function", "data"}, 2, 2, build_diagnostics, convert_diagnostics},
    {"get_comm_event_log", {}, 0, 0, bare<R::GetCommEventLog>, convert_event_log},
    {"report_server_id", {}, 0, 0, bare<R::ReportServerId>, convert_server_id},
    {"get_device_identification", {"object_id", "kind"}, 2, 0, build_device_id, convert_device_id},
}};

}  // namespace

const ClientOperation& client_operation(OperationId id) {
  return kOperations[static_cast<std::size_t>(id)];
}

}  // namespace tessaly::py
