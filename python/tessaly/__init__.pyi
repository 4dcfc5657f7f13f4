from tessaly._tessaly import (
    AsciiTransport as AsciiTransport,
    AsyncAsciiTransport as AsyncAsciiTransport,
    AsyncRtuTransport as AsyncRtuTransport,
    AsyncSerialModbusClient as AsyncSerialModbusClient,
    AsyncTcpModbusClient as AsyncTcpModbusClient,
    AsyncTcpTransport as AsyncTcpTransport,
    AsyncSerialServer as AsyncSerialServer,
    AsyncTcpServer as AsyncTcpServer,
    CoilState as CoilState,
    ModbusApp as ModbusApp,
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
    SerialServer as SerialServer,
    TcpModbusClient as TcpModbusClient,
    TcpServer as TcpServer,
    TcpTransport as TcpTransport,
)

__version__: str
__all__: list[str]
