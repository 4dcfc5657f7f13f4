from tessaly._tessaly import (
    CoilState as CoilState,
    ModbusConfigError as ModbusConfigError,
    ModbusConnectionError as ModbusConnectionError,
    ModbusDeviceException as ModbusDeviceException,
    ModbusError as ModbusError,
    ModbusInvalidArgument as ModbusInvalidArgument,
    ModbusProtocolError as ModbusProtocolError,
    ModbusTimeout as ModbusTimeout,
    SerialMode as SerialMode,
)

__version__: str
__all__: list[str]
