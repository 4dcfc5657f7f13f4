// The records exchanged between the engines and the protocol core: client requests and
// responses, server requests and the forms of server responses.
#pragma once

#include <cstdint>
#include <variant>

#include "data_unit/common/buffer.hpp"
#include "data_unit/common/pdu.hpp"
#include "models/coil/model.hpp"
#include "models/diagnostic/model.hpp"
#include "models/discrete_input/model.hpp"
#include "models/fifo_queue/model.hpp"
#include "models/register/model.hpp"

namespace tessaly::core {

using PduData = FixedVec<std::uint8_t, kPduDataCapacity>;

struct ClientRequest {
  struct ReadCoils {
    std::uint16_t address, quantity;
  };
  struct ReadDiscreteInputs {
    std::uint16_t address, quantity;
  };
  struct ReadHoldingRegisters {
    std::uint16_t address, quantity;
  };
  struct ReadInputRegisters {
    std::uint16_t address, quantity;
  };
  struct WriteSingleCoil {
    std::uint16_t address;
    CoilState state;
  };
  struct WriteSingleRegister {
    std::uint16_t address, value;
  };
  struct WriteMultipleCoils {
    std::uint16_t address;
    Coils coils;
  };
  struct WriteMultipleRegisters {
    std::uint16_t address;
    WordList values;
  };
  struct MaskWriteRegister {
    std::uint16_t address, and_mask, or_mask;
  };
  struct ReadWriteMultipleRegisters {
    std::uint16_t read_address, read_quantity, write_address;
    WordList values;
  };
  struct ReadExceptionStatus {};
  struct Diagnostics {
    std::uint16_t sub_function;
    WordList data;
  };
  struct GetCommEventCounter {};
  struct GetCommEventLog {};
  struct ReportServerId {};
  struct ReadFileRecord {
    FileReadList list;
  };
  struct WriteFileRecord {
    FileWriteList list;
  };
  struct ReadFifoQueue {
    std::uint16_t pointer_address;
  };
  struct ReadDeviceIdentification {
    std::uint8_t code;
    std::uint8_t object_id = 0;
  };
  struct EncapsulatedInterfaceTransport {
    std::uint8_t mei_type;
    ByteBuffer data;
  };

  using Body = std::variant<ReadCoils, ReadDiscreteInputs, ReadHoldingRegisters, ReadInputRegisters,
                            WriteSingleCoil, WriteSingleRegister, WriteMultipleCoils,
                            WriteMultipleRegisters, MaskWriteRegister, ReadWriteMultipleRegisters,
                            ReadExceptionStatus, Diagnostics, GetCommEventCounter, GetCommEventLog,
                            ReportServerId, ReadFileRecord, WriteFileRecord, ReadFifoQueue,
                            ReadDeviceIdentification, EncapsulatedInterfaceTransport>;

  UnitId unit = 1;
  Body body;
};

struct ClientResponse {
  struct InputRegisters {
    Registers run;
  };
  struct SingleRegister {
    std::uint16_t address, value;
  };
  struct MaskWriteRegister {};
  struct ExceptionStatus {
    std::uint8_t status;
  };
  struct Diagnostics {
    std::uint16_t sub_function;
    FixedVec<std::uint16_t, 126> data;
  };
  struct CommEventCounter {
    std::uint16_t status, event_count;
  };
  struct CommEventLog {
    std::uint16_t status, event_count, message_count;
    PduData events;
  };
  struct ServerId {
    PduData bytes;
  };
  struct FileRecordRead {
    FileReadResponse records;
  };
  struct FileRecordWritten {};
  struct DeviceIdentification {
    std::uint8_t code;
    std::uint8_t conformity_level;
    bool more_follows;
    std::uint8_t next_object_id;
    ObjectIdClass next_object_class;
    std::uint8_t number_of_objects;
    PduData objects;  // id, length, value ... as received

    DeviceIdObjectIterator iterate() const {
      return DeviceIdObjectIterator(objects.view(), number_of_objects);
    }
  };
  struct EncapsulatedInterface {
    std::uint8_t mei_type;
    PduData data;
  };

  using Body = std::variant<Coils, Registers, InputRegisters, SingleRegister, MaskWriteRegister,
                            DiscreteInputs, FifoQueue, FileRecordRead, FileRecordWritten,
                            DeviceIdentification, EncapsulatedInterface, ExceptionStatus,
                            Diagnostics, CommEventCounter, CommEventLog, ServerId>;
  Body body;
};

// A decoded response frame: the response, or an error that belongs to this transaction.
struct TaggedResponse {
  TransactionId transaction_id = 0;  // 0 on serial lines
  UnitId unit = 0;
  Result<ClientResponse> response;
};

struct ServerWriteSubRequest {
  std::uint16_t file_number = 0;
  std::uint16_t record_number = 0;
  std::uint16_t record_length = 0;
  std::uint16_t first_byte = 0;  // offset of its values in the request's byte buffer
};

struct ServerRequest {
  struct ReadCoils {
    std::uint16_t address, quantity;
  };
  struct ReadDiscreteInputs {
    std::uint16_t address, quantity;
  };
  struct ReadHoldingRegisters {
    std::uint16_t address, quantity;
  };
  struct ReadInputRegisters {
    std::uint16_t address, quantity;
  };
  struct WriteSingleCoil {
    std::uint16_t address;
    CoilState state;
  };
  struct WriteSingleRegister {
    std::uint16_t address, value;
  };
  struct WriteMultipleCoils {
    std::uint16_t address, quantity;
    ByteBuffer bytes;
  };
  struct WriteMultipleRegisters {
    std::uint16_t address, quantity;
    ByteBuffer bytes;
  };
  struct MaskWriteRegister {
    std::uint16_t address, and_mask, or_mask;
  };
  struct ReadWriteMultipleRegisters {
    std::uint16_t read_address, read_quantity, write_address, write_quantity;
    ByteBuffer bytes;
  };
  struct ReadExceptionStatus {};
  struct Diagnostics {
    std::uint16_t sub_function, data;
  };
  struct GetCommEventCounter {};
  struct GetCommEventLog {};
  struct ReportServerId {};
  struct EncapsulatedInterfaceTransport {
    std::uint8_t mei_type;
    ByteBuffer data;
  };
  struct ReadFifoQueue {
    std::uint16_t pointer_address;
  };
  struct ReadFileRecord {
    FixedVec<FileReadSubRequest, kMaxFileSubRequests> items;
  };
  struct WriteFileRecord {
    FixedVec<ServerWriteSubRequest, kMaxFileSubRequests> items;
    ByteBuffer values;
    PduData request;  // the request's data, echoed unchanged
    std::span<const std::uint8_t> values_of(const ServerWriteSubRequest& sub) const {
      return values.view().subspan(sub.first_byte, 2 * std::size_t{sub.record_length});
    }
  };

  using Body =
      std::variant<ReadCoils, ReadDiscreteInputs, ReadHoldingRegisters, ReadInputRegisters,
                   WriteSingleCoil, WriteSingleRegister, WriteMultipleCoils, WriteMultipleRegisters,
                   MaskWriteRegister, ReadWriteMultipleRegisters, ReadExceptionStatus, Diagnostics,
                   GetCommEventCounter, GetCommEventLog, ReportServerId,
                   EncapsulatedInterfaceTransport, ReadFifoQueue, ReadFileRecord, WriteFileRecord>;

  UnitId unit = 0;
  TransactionId transaction_id = 0;
  Body body;
};

struct ServerResponse {
  struct ByteCounted {
    std::uint8_t function_code;
    ByteBuffer bytes;
  };
  struct CoilEcho {
    std::uint16_t address, value;
  };
  struct RegisterEcho {
    std::uint16_t address, value;
  };
  struct TwoFieldEcho {
    std::uint8_t function_code;
    std::uint16_t first, second;
  };
  struct MaskWriteEcho {
    std::uint16_t address, and_mask, or_mask;
  };
  struct Exception {
    FunctionCode function;
    std::uint8_t code;
  };
  struct RawException {
    std::uint8_t function_code;
    std::uint8_t code;
  };
  struct Nothing {};
  struct StatusByte {
    std::uint8_t function_code;
    std::uint8_t value;
  };
  struct DiagnosticsEcho {
    std::uint16_t sub_function, data;
  };
  struct FifoData {
    ByteBuffer bytes;
  };
  struct DeviceIdentification {
    std::uint8_t code;
    std::uint8_t conformity_level;
    bool more_follows;
    std::uint8_t next_object_id;
    ByteBuffer objects;
  };
  struct FileRecordEcho {
    PduData request;
  };

  using Body = std::variant<Nothing, ByteCounted, CoilEcho, RegisterEcho, TwoFieldEcho,
                            MaskWriteEcho, Exception, RawException, StatusByte, DiagnosticsEcho,
                            FifoData, DeviceIdentification, FileRecordEcho>;
  Body body;
};

}  // namespace tessaly::core
