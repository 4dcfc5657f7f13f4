"""Serial clients over RTU and ASCII against pymodbus serial servers on a socat pty pair."""

import asyncio
import inspect
import os
import select
import threading

import pytest
from pymodbus import FramerType

import peers
import tessaly
from tessaly import CoilState


@pytest.fixture(params=["rtu", "ascii"])
def serial_peer(request, pty_link):
    framer = FramerType.RTU if request.param == "rtu" else FramerType.ASCII
    thread, _ = peers.start_serial_server(pty_link.b, framer)
    yield request.param, pty_link.a
    thread.stop()


def transport_class(mode, is_async):
    name = ("Async" if is_async else "") + ("Rtu" if mode == "rtu" else "Ascii") + "Transport"
    return getattr(tessaly, name)


CALLS = [
    (lambda c: c.read_holding_registers(0, 4), [0, 1, 2, 3]),
    (lambda c: c.write_register(5, 4242), (5, 4242)),
    (lambda c: c.read_holding_registers(5, 1), [4242]),
    (lambda c: c.write_registers(7, [11, 12]), (7, 2)),
    (lambda c: c.read_input_registers(0, 2), [1000, 1001]),
    (lambda c: c.write_coils(0, [CoilState.On, CoilState.On]), (0, 2)),
    (lambda c: c.write_coil(3, CoilState.On), (3, CoilState.On)),
    (lambda c: c.read_coils(0, 5), [1, 1, 0, 1, 0]),
    (lambda c: c.read_discrete_inputs(0, 4), [1, 0, 0, 1]),
    (lambda c: c.diagnostics(0, [0xBEEF]), (0, [0xBEEF])),
    (lambda c: c.get_device_identification(), {0: b"Acme", 1: b"AC-1", 2: b"1.2"}),
]


def test_blocking_serial_client(serial_peer):
    mode, port = serial_peer
    with transport_class(mode, False).open(port, baud_rate=19200, parity="N") as transport:
        client = transport.create_client(1)
        for call, expected in CALLS:
            assert call(client) == expected
        with pytest.raises(tessaly.ModbusDeviceException) as raised:
            client.read_holding_registers(900, 1)
        assert raised.value.args == ("Device exception code 0x02", 2)
        assert not transport.has_pending_requests()


def test_asyncio_serial_client(serial_peer):
    mode, port = serial_peer

    async def main():
        transport = await transport_class(mode, True).open(port, baud_rate=19200)
        async with transport:
            client = transport.create_client(1)
            for call, expected in CALLS:
                assert await call(client) == expected
            # Several tasks at once share the line one request at a time.
            answers = await asyncio.gather(*(client.read_holding_registers(i, 1)
                                             for i in range(5)))
            assert answers == [[0], [1], [2], [3], [4]]

    asyncio.run(main())


def read_available(fd, wait):
    ready, _, _ = select.select([fd], [], [], wait)
    return os.read(fd, 1024) if ready else b""


def test_silent_device_times_out_once_and_the_line_recovers(pty_link):
    # The far end of the line is driven by hand: nothing answers the first request.
    far = os.open(pty_link.b, os.O_RDWR | os.O_NOCTTY)
    try:
        with tessaly.RtuTransport.open(pty_link.a, baud_rate=19200, timeout_ms=300,
                                       retry_attempts=5) as transport:
            client = transport.create_client(1)
            with pytest.raises(tessaly.ModbusTimeout):
                client.read_holding_registers(0, 1)
            assert read_available(far, 0.5) == bytes.fromhex("010300000001840a")
            assert read_available(far, 0.5) == b""  # sent once, never retried
            # The next request gets the line and its own answer.
            done = []
            thread = threading.Thread(target=lambda: done.append(client.read_holding_registers(2, 1)))
            thread.start()
            assert read_available(far, 1.0)[:2] == b"\x01\x03"
            os.write(far, bytes.fromhex("010302002a399b"))
            thread.join(5)
            assert done == [[42]]
    finally:
        os.close(far)


@pytest.mark.parametrize("kwargs, message", [
    ({"parity": "mark"}, "Unknown parity 'mark'; expected 'none', 'even', or 'odd'"),
    ({"parity": "MARK"}, "Unknown parity 'mark'; expected 'none', 'even', or 'odd'"),
    ({"data_bits": 9}, "Invalid data_bits '9'; expected one of 5, 6, 7, or 8"),
    ({"stop_bits": 0}, "Invalid stop_bits '0'; expected 1 or 2"),
    ({"data_bits": 9, "parity": "mark"}, "Invalid data_bits '9'; expected one of 5, 6, 7, or 8"),
    ({"parity": "x", "stop_bits": 3}, "Unknown parity 'x'; expected 'none', 'even', or 'odd'"),
])
def test_line_setting_errors(kwargs, message):
    for cls in (tessaly.RtuTransport, tessaly.AsciiTransport, tessaly.AsyncRtuTransport):
        with pytest.raises(tessaly.ModbusConfigError) as raised:
            cls.open("/dev/null-not-opened", **kwargs)
        assert raised.value.args == (message,)


def test_port_checks():
    long_path = "/dev/" + "x" * 60  # 65 bytes
    with pytest.raises(tessaly.ModbusConfigError) as raised:
        tessaly.RtuTransport.open(long_path)
    assert raised.value.args == ("Port path too long (max 64 chars): " + long_path,)
    wide = "é" * 40  # 40 characters, 80 bytes
    with pytest.raises(tessaly.ModbusConfigError, match="^Port path too long"):
        tessaly.AsciiTransport.open(wide)
    with pytest.raises(tessaly.ModbusConnectionError, match="^ConnectionFailed$"):
        tessaly.RtuTransport.open("/dev/does-not-exist")
    with pytest.raises(OverflowError):
        tessaly.RtuTransport.open("/dev/x", data_bits=256)
    with pytest.raises(TypeError):
        tessaly.RtuTransport.open("/dev/x", parity=1)


def test_capital_parity_letter_and_custom_baud_rate(pty_link):
    with tessaly.RtuTransport.open(pty_link.a, baud_rate=250000, parity="E", stop_bits=2,
                                   data_bits=7) as transport:
        assert not transport.has_pending_requests()


def test_rtu_open_docstring():
    doc = tessaly.RtuTransport.open.__doc__
    assert doc.startswith("Create a new sync serial client.")
    assert ":param retry_attempts: Number of client retry attempts (default 3)." in doc
    assert inspect.signature(tessaly.RtuTransport.open).parameters["parity"].default == "none"
