from tessaly._tessaly import (
    AsciiTransport as AsciiTransport,
    AsyncAsciiTransport as AsyncAsciiTransport,
    AsyncRtuTransport as AsyncRtuTransport,
    AsyncSerialModbusClient as AsyncSerialModbusClient,
    AsyncTcpModbusClient as AsyncTcpModbusClient,
    AsyncTcpTransport as AsyncTcpTransport,
    CoilState as CoilState,
    ModbusConfigError as ModbusConfigError,
    ModbusConnectionError as ModbusConnectionError,
    ModbusDeviceException as ModbusDeviceException,
    ModbusError as ModbusError,
    ModbusInvalidArgument as ModbusInvalidArgument,
    ModbusProtocolError as ModbusProtocolError,
    ModbusTimeout as ModbusTimeout,
    RtuTransport as RtuTransport,
    SerialMode as SerialMode,
    SerialModbusClient as SerialModbusClient,
    TcpModbusClient as TcpModbusClient,
    TcpTransport as TcpTransport,
)

__version__: str
__all__: list[str]
