"""The module frame: version, exception hierarchy, enumerations and what is exposed."""

import inspect

import pytest

import tessaly
from tessaly import _tessaly as native

EXCEPTIONS = [
    ("ModbusError", Exception, "Base class for all tessaly exceptions."),
    ("ModbusTimeout", "ModbusError",
     "Raised when a Modbus request times out before a response is received."),
    ("ModbusConnectionError", "ModbusError",
     "Raised when the connection to the Modbus device fails or is lost."),
    ("ModbusProtocolError", "ModbusError",
     "Raised when a Modbus protocol framing or parse error occurs."),
    ("ModbusDeviceException", "ModbusProtocolError",
     "Raised when the remote device returns a Modbus exception response "
     "(exception code in args[1])."),
    ("ModbusConfigError", "ModbusError",
     "Raised when client or server configuration is invalid "
     "(e.g. bad port, bad unit ID at construction)."),
    ("ModbusInvalidArgument", "ModbusError",
     "Raised when a per-request argument is out of range or otherwise invalid "
     "(e.g. address out of range, invalid quantity, bad coil value, invalid mask)."),
]

# Classes of the module, in order; later features append theirs.
CLASSES = ["CoilState", "SerialMode", "AsyncTcpTransport", "AsyncTcpModbusClient", "TcpTransport",
           "TcpModbusClient", "AsyncRtuTransport", "AsyncAsciiTransport", "AsyncSerialModbusClient",
           "RtuTransport", "AsciiTransport", "SerialModbusClient", "ModbusApp", "AsyncTcpServer",
           "TcpServer", "AsyncSerialServer", "SerialServer", "GatewayEventHandler",
           "AsyncTcpGateway", "TcpGateway"]


def test_version():
    assert native.__version__ == "0.16.0"
    assert tessaly.__version__ == "0.16.0"
    assert isinstance(native.__version__, str)


def test_attribute_order_and_nothing_else_callable():
    public = [name for name in vars(native) if not name.startswith("__")]
    assert public == [name for name, _, _ in EXCEPTIONS] + CLASSES
    callables = {name for name, value in vars(native).items() if callable(value)}
    assert callables == set(public)
    assert native.__doc__


@pytest.mark.parametrize("name, base, doc", EXCEPTIONS)
def test_exception_classes(name, base, doc):
    cls = getattr(native, name)
    base = getattr(native, base) if isinstance(base, str) else base
    assert cls.__bases__ == (base,)
    assert cls.__module__ == "tessaly"
    assert cls.__name__ == cls.__qualname__ == name
    assert cls.__doc__ == doc
    assert issubclass(cls, native.ModbusError)
    assert getattr(tessaly, name) is cls


def test_exception_hierarchy():
    assert issubclass(native.ModbusDeviceException, native.ModbusProtocolError)
    assert issubclass(native.ModbusDeviceException, native.ModbusError)
    assert issubclass(native.ModbusTimeout, native.ModbusError)
    assert issubclass(native.ModbusError, Exception)
    assert not issubclass(native.ModbusTimeout, TimeoutError)
    with pytest.raises(native.ModbusProtocolError):
        raise native.ModbusDeviceException("Device exception code 0x02", 2)


def test_package_reexports_every_name():
    for name in vars(native):
        if not name.startswith("_"):
            assert getattr(tessaly, name) is getattr(native, name)
    assert set(tessaly.__all__) == {n for n in vars(native) if not n.startswith("_")}


ENUMS = [
    (native.CoilState, [("Off", "OFF", 0), ("On", "ON", 1)]),
    (native.SerialMode, [("Rtu", "RTU", 0), ("Ascii", "ASCII", 1)]),
]


@pytest.mark.parametrize("cls, members", ENUMS, ids=["CoilState", "SerialMode"])
def test_enumeration_members(cls, members):
    assert cls.__module__ == "tessaly._tessaly"
    assert cls.__doc__ is None
    for name, alias, value in members:
        member = getattr(cls, name)
        assert getattr(cls, alias) is member
        assert getattr(cls, name) is member  # cached
        assert type(member) is cls
        assert int(member) == value
        assert repr(member) == str(member) == f"{cls.__name__}.{name}"
        assert member == value and member == bool(value)
        assert not (member != value)
        assert member != value + 1
        assert member != float(value)
        assert member != str(value)
        assert member == getattr(cls, name)
        with pytest.raises(TypeError):
            hash(member)
        with pytest.raises(TypeError):
            member < member  # noqa: B015
        with pytest.raises(TypeError):
            member >= 0  # noqa: B015
    first, second = (getattr(cls, m[0]) for m in members)
    assert first != second and not (first == second)
    with pytest.raises(TypeError):
        cls()
    with pytest.raises(TypeError):
        cls.On = None
    with pytest.raises(TypeError):
        type(first)(1)


def test_truth_values():
    assert bool(native.CoilState.On) is True
    assert bool(native.CoilState.Off) is False
    assert bool(native.SerialMode.Rtu) is True  # no truth value: every member is true
    assert bool(native.SerialMode.Ascii) is True


def test_members_of_different_enumerations_are_never_equal():
    assert native.CoilState.On != native.SerialMode.Ascii
    assert not (native.CoilState.Off == native.SerialMode.Rtu)
    assert native.CoilState.On == 1 == native.SerialMode.Ascii


def test_members_are_not_hashable_keys():
    with pytest.raises(TypeError):
        {native.CoilState.On: 1}
    assert native.CoilState.On in [native.CoilState.Off, native.CoilState.On]


def test_bare_class_names():
    for name in CLASSES[2:]:
        cls = getattr(native, name)
        assert cls.__name__ == cls.__qualname__ == name


def test_no_module_level_functions():
    assert not [n for n, v in vars(native).items() if inspect.isbuiltin(v)]


def test_typing_stubs_describe_what_exists():
    import ast
    import pathlib

    package = pathlib.Path(tessaly.__file__).parent
    assert (package / "py.typed").exists()
    tree = ast.parse((package / "_tessaly.pyi").read_text())
    classes = {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}
    for name in vars(native):
        if not name.startswith("_"):
            assert name in classes or name == "__version__", name

    def methods(node):
        found = {item.name for item in node.body if isinstance(item, ast.FunctionDef)}
        for base in node.bases:
            if isinstance(base, ast.Name) and base.id in classes:
                found |= methods(classes[base.id])
        return found

    for name in ("TcpTransport", "AsyncTcpTransport", "RtuTransport", "AsciiTransport",
                 "AsyncRtuTransport", "AsyncAsciiTransport", "TcpModbusClient",
                 "AsyncTcpModbusClient", "SerialModbusClient", "AsyncSerialModbusClient",
                 "ModbusApp", "TcpServer", "AsyncTcpServer", "SerialServer", "AsyncSerialServer",
                 "GatewayEventHandler", "TcpGateway", "AsyncTcpGateway"):
        cls = getattr(native, name)
        public = {m for m in vars(cls) if not m.startswith("_") or m in
                  ("__enter__", "__exit__", "__aenter__", "__aexit__")}
        assert public <= methods(classes[name]), (name, public - methods(classes[name]))
