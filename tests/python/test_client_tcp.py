"""TCP clients against a pymodbus server, blocking and asyncio, with values checked on both
sides; errors, time-outs, cancellation and concurrency."""

import asyncio
import inspect
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import peers
import tessaly
from tessaly import CoilState

On, Off = CoilState.On, CoilState.Off


def peer_read(port, kind, address, count):
    """What the device holds, read back with pymodbus's own client."""
    from pymodbus.client import ModbusTcpClient

    with ModbusTcpClient("127.0.0.1", port=port) as client:
        if kind == "co":
            bits = client.read_coils(address, count=count, device_id=1).bits
            return [int(b) for b in bits[:count]]
        return list(client.read_holding_registers(address, count=count, device_id=1).registers)


@pytest.fixture(params=["blocking", "asyncio"])
def mode(request):
    return request.param


def results(mode, port, calls):
    """Runs `calls` (functions of a client) in order and returns their results."""
    if mode == "blocking":
        with tessaly.TcpTransport.connect("127.0.0.1", port) as transport:
            client = transport.create_client(1)
            return [call(client) for call in calls]

    async def main():
        async with await tessaly.AsyncTcpTransport.connect("127.0.0.1", port) as transport:
            client = transport.create_client(1)
            return [await call(client) for call in calls]

    return asyncio.run(main())


def test_data_access_round_trips(mode, pymodbus_tcp):
    port, device = pymodbus_tcp
    out = results(mode, port, [
        lambda c: c.read_holding_registers(0, 5),
        lambda c: c.write_register(3, 777),
        lambda c: c.write_registers(10, [1, 2, 65535]),
        lambda c: c.read_input_registers(2, 3),
        lambda c: c.write_coil(1, On),
        lambda c: c.write_coils(4, [On, Off, On]),
        lambda c: c.read_coils(0, 8),
        lambda c: c.read_discrete_inputs(0, 5),
        lambda c: c.mask_write_register(20, 0x00F0, 0x0003),
        lambda c: c.read_write_registers(30, 2, 30, [9, 8]),
    ])
    assert out[0] == [0, 1, 2, 3, 4]
    assert out[1] == (3, 777)
    assert out[2] == (10, 3)
    assert out[3] == [1002, 1003, 1004]
    assert out[4] == (1, On)
    assert out[5] == (4, 3)
    assert out[6] == [Off, On, Off, Off, On, Off, On, Off]
    assert all(type(v) is CoilState for v in out[6])
    assert out[7] == [1, 0, 0, 1, 1] and out[7][0] is On
    assert out[8] is None
    assert out[9] == [9, 8]  # written before read
    # The device saw the writes.
    assert peer_read(port, "hr", 3, 1) == [777]
    assert peer_read(port, "hr", 10, 3) == [1, 2, 65535]
    assert peer_read(port, "co", 0, 8) == [0, 1, 0, 0, 1, 0, 1, 0]
    assert peer_read(port, "hr", 20, 1) == [(20 & 0x00F0) | (0x0003 & ~0x00F0)]


def test_diagnostic_and_identification_requests(mode, pymodbus_tcp):
    port, _ = pymodbus_tcp
    status, diag, counter, log, server_id, ident, basic, fifo, records, written = results(mode, port, [
        lambda c: c.read_exception_status(),
        lambda c: c.diagnostics(0, [0x1234]),
        lambda c: c.get_event_counter(),
        lambda c: c.get_comm_event_log(),
        lambda c: c.report_server_id(),
        lambda c: c.get_device_identification(kind="Regular"),
        lambda c: c.get_device_identification(),
        lambda c: c.read_fifo_queue(0),
        lambda c: c.read_file_record([(1, 0, 2)]),
        lambda c: c.write_file_record([(1, 0, [1, 2])]),
    ])
    assert status == 0
    assert diag == (0, [0x1234])
    assert counter == (0, 0)
    assert log == (0, 0, 0, b"")
    assert isinstance(server_id, bytes) and server_id.startswith(b"Acme")
    assert basic == {0: b"Acme", 1: b"AC-1", 2: b"1.2"}
    assert isinstance(ident, dict)
    assert isinstance(fifo, list)
    assert len(records) == 1
    assert set(records[0]) == {"file_number", "record_number", "record_length", "record_data"}
    assert records[0]["file_number"] == 1
    assert records[0]["record_length"] == len(records[0]["record_data"])
    assert written is None


def test_device_exception(mode, pymodbus_tcp):
    port, _ = pymodbus_tcp
    with pytest.raises(tessaly.ModbusDeviceException) as raised:
        results(mode, port, [lambda c: c.read_holding_registers(500, 2)])
    assert raised.value.args == ("Device exception code 0x02", 2)
    assert isinstance(raised.value, tessaly.ModbusProtocolError)


def test_unit_ids_and_closed_transport(pymodbus_tcp):
    port, _ = pymodbus_tcp
    transport = tessaly.TcpTransport.connect("127.0.0.1", port)
    for unit, message in ((0, "InvalidBroadcastAddress"), (248, "InvalidSlaveAddress")):
        with pytest.raises(tessaly.ModbusConfigError, match=f"^{message}$"):
            transport.create_client(unit)
    transport.create_client(247)
    client = transport.create_client(1)
    assert client.read_holding_registers(1, 1) == [1]
    transport.close()
    transport.close()  # closing twice does nothing
    for call in (lambda: transport.create_client(1), lambda: transport.set_request_timeout(5),
                 transport.has_pending_requests, transport.clear_request_timeout):
        with pytest.raises(tessaly.ModbusInvalidArgument) as raised:
            call()
        assert raised.value.args == ("Transport is closed",)
    # A client made before the close keeps the handle; its connection is gone.
    with pytest.raises(tessaly.ModbusConnectionError):
        client.read_holding_registers(0, 1)


def test_argument_errors(pymodbus_tcp):
    port, _ = pymodbus_tcp
    transport = tessaly.TcpTransport.connect("127.0.0.1", port)
    client = transport.create_client(1)
    cases = [
        (lambda: client.write_coil(0, True), TypeError, None),
        (lambda: client.write_coil(0, 1), TypeError, None),
        (lambda: client.write_coils(0, [On, 1]), TypeError, None),
        (lambda: client.write_coils(0, "ab"), TypeError, None),
        (lambda: client.read_coils("0", 1), TypeError, None),
        (lambda: client.read_coils(0.0, 1), TypeError, None),
        (lambda: client.read_coils(65536, 1), OverflowError, None),
        (lambda: client.read_coils(-1, 1), OverflowError, None),
        (lambda: client.read_coils(0), TypeError, None),
        (lambda: client.read_coils(0, 1, 2), TypeError, None),
        (lambda: client.read_coils(0, quantity=1, address=2), TypeError, None),
        (lambda: client.read_coils(0, count=1), TypeError, None),
        (lambda: transport.create_client(256), OverflowError, None),
        (lambda: transport.set_request_timeout(2**32), OverflowError, None),
        (lambda: client.write_registers(0, [1] * 253), tessaly.ModbusError, "BufferTooSmall"),
        (lambda: client.write_registers(0, [1] * 124), tessaly.ModbusInvalidArgument,
         "InvalidQuantity"),
        (lambda: client.read_coils(0, 2001), tessaly.ModbusInvalidArgument, "InvalidQuantity"),
        (lambda: client.write_coils(0, [On] * 2001), tessaly.ModbusInvalidArgument,
         "InvalidQuantity"),
        (lambda: client.get_device_identification(kind="Full"), tessaly.ModbusInvalidArgument,
         "Unknown device-identification kind 'full'; expected 'basic', 'regular', 'extended', "
         "or 'specific'"),
        (lambda: client.write_file_record([(1, 0, [0] * 253)]), tessaly.ModbusInvalidArgument,
         "record_data exceeds Modbus PDU capacity"),
        (lambda: client.read_file_record([(1, 0, 125)]), tessaly.ModbusError,
         "FileReadPduOverflow"),
        (lambda: client.read_file_record([(1, 0)]), TypeError, None),
        (lambda: tessaly.TcpTransport.connect(502), TypeError, None),
        (lambda: tessaly.TcpTransport.connect("127.0.0.1", 70000), OverflowError, None),
        (lambda: tessaly.TcpTransport.connect("127.0.0.1", port, timeout_ms=-1), OverflowError,
         None),
    ]
    for call, error, message in cases:
        with pytest.raises(error) as raised:
            call()
        if message is not None:
            assert raised.value.args == (message,)
    # Nothing above reached the device or broke the client.
    assert client.read_holding_registers(0, 2) == [0, 1]
    transport.close()


def test_constructor_defaults_and_connection_refused():
    port = peers.free_port()
    with pytest.raises(tessaly.ModbusConnectionError, match="^ConnectionFailed$"):
        tessaly.TcpTransport.connect("127.0.0.1", port)
    assert inspect.signature(tessaly.TcpTransport.connect).parameters["port"].default == 502
    assert inspect.signature(tessaly.TcpTransport.connect).parameters["timeout_ms"].default == 1000


def test_silent_device_times_out_while_other_threads_run(silent_server):
    transport = tessaly.TcpTransport.connect("127.0.0.1", silent_server.port, timeout_ms=300)
    client = transport.create_client(1)
    ticks = []
    stop = threading.Event()

    def ticker():
        while not stop.is_set():
            ticks.append(1)
            time.sleep(0.01)

    thread = threading.Thread(target=ticker)
    thread.start()
    start = time.monotonic()
    with pytest.raises(tessaly.ModbusTimeout) as raised:
        client.read_holding_registers(0, 1)
    elapsed = time.monotonic() - start
    stop.set()
    thread.join()
    assert raised.value.args == ("Request timed out",)
    assert 0.28 <= elapsed < 1.5
    assert len(ticks) > 10  # the GIL was released during the wait
    assert transport.has_pending_requests()  # the engine keeps the entry until an answer
    transport.set_request_timeout(100)
    with pytest.raises(tessaly.ModbusTimeout):
        client.read_coils(0, 1)
    # A lost connection fails what is pending and everything after it.
    transport.clear_request_timeout()
    silent_server.drop_connections()
    with pytest.raises(tessaly.ModbusConnectionError, match="^ConnectionClosed$"):
        client.read_coils(0, 1)
    assert not transport.has_pending_requests()


def test_asyncio_timeout_cancellation_and_late_answers():
    server = peers.StreamServer(delay=0.3)

    async def main():
        transport = await tessaly.AsyncTcpTransport.connect("127.0.0.1", server.port,
                                                             timeout_ms=100)
        client = transport.create_client(1)
        with pytest.raises(tessaly.ModbusTimeout):
            await client.read_holding_registers(0, 1)
        transport.set_request_timeout(5000)
        task = asyncio.ensure_future(client.read_holding_registers(1, 1))
        await asyncio.sleep(0.05)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        # Late answers to the abandoned requests are dropped; the client stays usable.
        assert await client.read_holding_registers(7, 2) == [8, 9]
        assert await asyncio.wait_for(client.read_holding_registers(3, 1), 2) == [4]
        await transport.close()
        await transport.close()
        with pytest.raises(tessaly.ModbusInvalidArgument, match="^Transport is closed$"):
            transport.create_client(1)

    try:
        asyncio.run(main())
    finally:
        server.close()


def test_asyncio_method_outside_a_loop_raises_at_the_call(stream_server):
    async def make():
        return await tessaly.AsyncTcpTransport.connect("127.0.0.1", stream_server.port)

    transport = asyncio.run(make())
    client = transport.create_client(1)
    with pytest.raises(RuntimeError, match="no running event loop"):
        client.read_holding_registers(0, 1)
    with pytest.raises(RuntimeError, match="no running event loop"):
        tessaly.AsyncTcpTransport.connect("127.0.0.1", stream_server.port)


def test_one_transport_shared_by_threads_and_units(stream_server):
    transport = tessaly.TcpTransport.connect("127.0.0.1", stream_server.port)
    clients = [transport.create_client(unit) for unit in (1, 2, 3)]
    errors = []

    def work(index):
        client = clients[index % 3]
        for i in range(200):
            address = index * 1000 + i
            if client.read_holding_registers(address, 2) != [address + 1, address + 2]:
                errors.append((index, i))

    threads = [threading.Thread(target=work, args=(n,)) for n in range(6)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []
    assert not transport.has_pending_requests()
    transport.close()


def test_one_asyncio_transport_shared_by_tasks(stream_server):
    async def main():
        transport = await tessaly.AsyncTcpTransport.connect("127.0.0.1", stream_server.port)
        clients = [transport.create_client(unit) for unit in (1, 2)]
        answers = await asyncio.gather(*(clients[i % 2].read_holding_registers(i, 1)
                                         for i in range(500)))
        assert answers == [[i + 1] for i in range(500)]
        assert not transport.has_pending_requests()
        await transport.close()

    asyncio.run(main())


def run_script(script, **kwargs):
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(script)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **kwargs)


def test_ctrl_c_interrupts_a_blocking_wait(silent_server):
    process = run_script(f"""
        import sys, tessaly
        transport = tessaly.TcpTransport.connect("127.0.0.1", {silent_server.port})
        transport.clear_request_timeout()  # no time-out: the wait would last for ever
        client = transport.create_client(1)
        print("waiting", flush=True)
        try:
            client.read_holding_registers(0, 1)
        except KeyboardInterrupt:
            print("interrupted", flush=True)
            sys.exit(0)
    """)
    assert process.stdout.readline().strip() == "waiting"
    time.sleep(0.3)
    started = time.monotonic()
    process.send_signal(signal.SIGINT)
    out, err = process.communicate(timeout=10)
    assert "interrupted" in out, err
    assert process.returncode == 0
    assert time.monotonic() - started < 2


def test_exit_with_transports_open_is_prompt_and_clean(stream_server):
    process = run_script(f"""
        import asyncio, tessaly
        t = tessaly.TcpTransport.connect("127.0.0.1", {stream_server.port})
        c = t.create_client(1)
        assert c.read_holding_registers(0, 1) == [1]
        async def main():
            a = await tessaly.AsyncTcpTransport.connect("127.0.0.1", {stream_server.port})
            return a, await a.create_client(1).read_holding_registers(1, 1)
        keep = asyncio.run(main())
        print("done", flush=True)
    """)
    started = time.monotonic()
    out, err = process.communicate(timeout=20)
    assert out.strip() == "done", err
    assert process.returncode == 0
    assert time.monotonic() - started < 5


CLIENT_METHODS = {
    "read_coils": "(address, quantity)",
    "write_coil": "(address, value)",
    "write_coils": "(address, values)",
    "read_discrete_inputs": "(address, quantity)",
    "read_holding_registers": "(address, quantity)",
    "read_input_registers": "(address, quantity)",
    "write_register": "(address, value)",
    "write_registers": "(address, values)",
    "mask_write_register": "(address, and_mask, or_mask)",
    "read_write_registers": "(read_address, read_quantity, write_address, write_values)",
    "read_fifo_queue": "(address)",
    "read_file_record": "(requests)",
    "write_file_record": "(requests)",
    "read_exception_status": "()",
    "get_event_counter": "()",
    "diagnostics": "(sub_function, data)",
    "get_comm_event_log": "()",
    "report_server_id": "()",
    "get_device_identification": "(object_id=0, kind='basic')",
}

SERIAL_DOCUMENTED = {"read_file_record", "write_file_record", "diagnostics",
                     "get_comm_event_log", "report_server_id"}


@pytest.mark.parametrize("cls", ["TcpModbusClient", "AsyncTcpModbusClient", "SerialModbusClient",
                                 "AsyncSerialModbusClient"])
def test_client_signatures_and_docstrings(cls):
    klass = getattr(tessaly, cls)
    with pytest.raises(TypeError):
        klass()
    for name, signature in CLIENT_METHODS.items():
        method = getattr(klass, name)
        # `$self` in a text signature makes self positional-only.
        expected = "(self, /)" if signature == "()" else "(self, /, " + signature[1:]
        assert str(inspect.signature(method)) == expected
        documented = cls == "TcpModbusClient" or (cls == "SerialModbusClient"
                                                  and name in SERIAL_DOCUMENTED)
        assert (method.__doc__ is not None) == documented, name
    assert tessaly.TcpModbusClient.read_coils.__doc__ == \
        "Read coils (FC 01). Returns ``list[CoilState]``."
    assert tessaly.SerialModbusClient.read_file_record.__doc__.startswith(
        "Read file record (FC 14).")


@pytest.mark.parametrize("cls, constructor", [
    ("TcpTransport", "connect"), ("AsyncTcpTransport", "connect"), ("RtuTransport", "open"),
    ("AsciiTransport", "open"), ("AsyncRtuTransport", "open"), ("AsyncAsciiTransport", "open")])
def test_transport_signatures(cls, constructor):
    klass = getattr(tessaly, cls)
    with pytest.raises(TypeError):
        klass()
    signature = str(inspect.signature(getattr(klass, constructor)))
    if constructor == "connect":
        assert signature == "(host, port=502, timeout_ms=1000)"
    else:
        assert signature == ("(port, baud_rate=9600, timeout_ms=1000, data_bits=8, parity='none', "
                             "stop_bits=1, retry_attempts=3)")
    is_async = cls.startswith("Async")
    for name in ("create_client", "close", "set_request_timeout", "clear_request_timeout",
                 "has_pending_requests"):
        assert hasattr(klass, name)
    assert hasattr(klass, "__aenter__") == is_async
    assert hasattr(klass, "__enter__") == (not is_async)
    assert str(inspect.signature(klass.create_client)) == "(self, /, unit_id)"
    doc = getattr(klass, constructor).__doc__
    assert (doc is not None) == (cls == "RtuTransport")
    if doc:
        assert doc.startswith("Create a new sync serial client.")
