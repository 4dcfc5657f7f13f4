"""Servers: our clients and pymodbus clients against TcpServer, AsyncTcpServer, SerialServer and
AsyncSerialServer; the bridge's conversions and exception codes; listener rules."""

import asyncio
import signal
import socket
import subprocess
import sys
import textwrap
import threading
import time

import pytest
from pymodbus import FramerType
from pymodbus.client import ModbusSerialClient, ModbusTcpClient

import peers
import tessaly
from tessaly import CoilState

On, Off = CoilState.On, CoilState.Off


class MemoryApp(tessaly.ModbusApp):
    """An in-memory device: 100 registers and 100 coils."""

    def __init__(self):
        self.registers = list(range(100))
        self.coils = [Off] * 100
        self.exceptions = []

    def handle_read_holding_registers(self, address, count):
        if address + count > 100:
            raise IndexError(address)
        return self.registers[address:address + count]

    def handle_read_input_registers(self, address, count):
        return [1000 + address + i for i in range(count)]

    def handle_write_register(self, address, value):
        self.registers[address] = value

    def handle_write_registers(self, address, values):
        self.registers[address:address + len(values)] = values

    def handle_read_coils(self, address, count):
        return self.coils[address:address + count]

    def handle_read_discrete_inputs(self, address, count):
        return [On if (address + i) % 2 else Off for i in range(count)]

    def handle_write_coil(self, address, value):
        self.coils[address] = value

    def handle_write_coils(self, address, values):
        self.coils[address:address + len(values)] = values

    def handle_mask_write_register(self, address, and_mask, or_mask):
        self.registers[address] = (self.registers[address] & and_mask) | (or_mask & ~and_mask)

    def handle_read_write_registers(self, read_address, read_count, write_address, write_values):
        self.registers[write_address:write_address + len(write_values)] = write_values
        return self.registers[read_address:read_address + read_count]

    def handle_read_exception_status(self):
        return 0x5A

    def handle_get_comm_event_counter(self):
        return (0xFFFF, 7)

    def handle_get_comm_event_log(self):
        return b"\x00\x00\x00\x07\x00\x03\x20"

    def handle_report_server_id(self):
        return bytearray(b"tessaly")

    def handle_read_fifo_queue(self, pointer_address):
        return [pointer_address, 1, 2]

    def on_exception(self, txn_id, unit_id, function_code, exception_code):
        self.exceptions.append((unit_id, function_code, exception_code))


class BlockingServer:
    def __init__(self, app, cls=tessaly.TcpServer, **kwargs):
        self.port = peers.free_port()
        self.server = cls("127.0.0.1", app, port=self.port, **kwargs)
        self.errors = []
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()
        peers.wait_listening(self.port)

    def _run(self):
        try:
            self.server.serve_forever()
        except Exception as error:  # noqa: BLE001
            self.errors.append(error)

    def stop(self):
        self.server.stop()
        self.thread.join(5)
        assert not self.thread.is_alive()


@pytest.fixture
def memory_server():
    app = MemoryApp()
    server = BlockingServer(app)
    yield server, app
    server.stop()


def exercise(client):
    assert client.read_holding_registers(0, 3) == [0, 1, 2]
    assert client.write_register(5, 555) == (5, 555)
    assert client.write_registers(10, [7, 8, 9]) == (10, 3)
    assert client.read_holding_registers(10, 3) == [7, 8, 9]
    assert client.read_input_registers(2, 2) == [1002, 1003]
    assert client.write_coil(3, On) == (3, On)
    assert client.write_coils(5, [On, Off, On]) == (5, 3)
    assert client.read_coils(0, 8) == [Off, Off, Off, On, Off, On, Off, On]
    assert client.read_discrete_inputs(0, 3) == [Off, On, Off]
    assert client.mask_write_register(20, 0x00F0, 0x000F) is None
    assert client.read_write_registers(30, 2, 30, [4, 5]) == [4, 5]
    assert client.read_exception_status() == 0x5A
    assert client.get_event_counter() == (0xFFFF, 7)
    assert client.get_comm_event_log() == (0, 7, 3, b"\x20")
    assert client.report_server_id() == b"tessaly"
    assert client.read_fifo_queue(9) == [9, 1, 2]
    assert client.diagnostics(0, [0x1234]) == (0, [0x1234])
    with pytest.raises(tessaly.ModbusDeviceException) as raised:
        client.read_holding_registers(99, 5)
    assert raised.value.args == ("Device exception code 0x02", 2)
    with pytest.raises(tessaly.ModbusDeviceException) as raised:
        client.read_file_record([(1, 0, 1)])
    assert raised.value.args[1] == 1
    with pytest.raises(tessaly.ModbusDeviceException) as raised:
        client.get_device_identification()
    assert raised.value.args[1] == 1


def test_our_client_against_our_tcp_server(memory_server):
    server, app = memory_server
    with tessaly.TcpTransport.connect("127.0.0.1", server.port) as transport:
        exercise(transport.create_client(1))
    assert app.registers[5] == 555
    assert app.exceptions == [(1, 3, 2)]  # the hook fires only for exception-form answers


def test_pymodbus_client_against_our_tcp_server(memory_server):
    server, app = memory_server
    with ModbusTcpClient("127.0.0.1", port=server.port) as client:
        assert client.read_holding_registers(0, count=4, device_id=1).registers == [0, 1, 2, 3]
        assert not client.write_register(4, 44, device_id=1).isError()
        assert not client.write_coils(0, [True, False, True], device_id=1).isError()
        assert client.read_coils(0, count=3, device_id=1).bits[:3] == [True, False, True]
        assert client.read_input_registers(0, count=2, device_id=1).registers == [1000, 1001]
        assert client.read_discrete_inputs(0, count=2, device_id=1).bits[:2] == [False, True]
        assert not client.write_registers(40, [1, 2], device_id=1).isError()
        response = client.read_holding_registers(98, count=5, device_id=1)
        assert response.isError() and response.exception_code == 2
        # Unit 2 is not ours: no answer at all.
        with pytest.raises(Exception):
            client.comm_params.timeout_connect = 0.3
            client.read_holding_registers(0, count=1, device_id=2, no_response_expected=False)
    assert app.registers[4] == 44
    assert app.registers[40:42] == [1, 2]


def test_pymodbus_client_further_functions(memory_server):
    server, app = memory_server
    with ModbusTcpClient("127.0.0.1", port=server.port) as client:
        assert client.read_exception_status(device_id=1).status == 0x5A
        assert client.diag_query_data(0x1234, device_id=1).message == b"\x12\x34"
        counter = client.diag_get_comm_event_counter(device_id=1)
        assert counter.count == 7  # pymodbus reads the 0xFFFF status word as a flag
        log = client.diag_get_comm_event_log(device_id=1)
        assert log.event_count == 7 and log.message_count == 3
        assert not client.mask_write_register(address=50, and_mask=0x00F0, or_mask=0x000F,
                                              device_id=1).isError()
        rw = client.readwrite_registers(read_address=60, read_count=2, write_address=60,
                                        values=[5, 6], device_id=1)
        assert rw.registers == [5, 6]
        assert client.read_fifo_queue(address=3, device_id=1).values == [3, 1, 2]
        # pymodbus reads the last byte of the payload as the run indicator.
        assert client.report_device_id(device_id=1).identifier == b"tessal"
        assert client.read_device_information(device_id=1).isError()  # 0x2B: exception 1
    assert app.registers[50] == (50 & 0x00F0) | 0x000F
    assert app.registers[60:62] == [5, 6]


def test_asyncio_server_with_coroutine_handlers():
    class AsyncApp(MemoryApp):
        async def handle_read_holding_registers(self, address, count):
            await asyncio.sleep(0.01)
            return [address * 2 + i for i in range(count)]

    async def main():
        port = peers.free_port()
        async with tessaly.AsyncTcpServer("127.0.0.1", AsyncApp(), port=port) as server:
            run = asyncio.ensure_future(server.serve_forever())
            await asyncio.sleep(0.1)
            transport = await tessaly.AsyncTcpTransport.connect("127.0.0.1", port)
            client = transport.create_client(1)
            assert await client.read_holding_registers(5, 3) == [10, 11, 12]
            answers = await asyncio.gather(*(client.write_register(i, i) for i in range(5)))
            assert answers == [(i, i) for i in range(5)]
            await transport.close()
        # Leaving the block stopped the run.
        assert await asyncio.wait_for(run, 2) is None

    asyncio.run(main())


def test_bridge_rules(capfd):
    class Rules(tessaly.ModbusApp):
        def handle_read_holding_registers(self, address, count):
            if address == 1:
                return [0] * (count - 1)  # wrong length: code 2, nothing printed
            if address == 2:
                raise KeyError("x")
            if address == 3:
                raise type("Sub", (ValueError,), {})()
            if address == 4:
                raise TypeError("y")
            return [0] * count

        def handle_read_coils(self, address, count):
            return [True, False]

        def handle_read_fifo_queue(self, pointer_address):
            return list(range(pointer_address))

        async def handle_read_input_registers(self, address, count):
            return [1] * count

        def handle_write_coils(self, address, values):
            self.coils = values

        def handle_write_registers(self, address, values):
            self.registers = values

        def on_exception(self, txn_id, unit_id, function_code, exception_code):
            raise RuntimeError("hook fails")

    app = Rules()
    server = BlockingServer(app)
    capfd.readouterr()
    try:
        client = tessaly.TcpTransport.connect("127.0.0.1", server.port).create_client(1)

        def code(call):
            with pytest.raises(tessaly.ModbusDeviceException) as raised:
                call()
            return raised.value.args[1]

        assert code(lambda: client.read_holding_registers(1, 10)) == 2
        err = capfd.readouterr().err  # only the failing hook printed; the answer went out
        assert err.count("Traceback") == 1 and "hook fails" in err
        assert code(lambda: client.read_holding_registers(2, 1)) == 4
        assert code(lambda: client.read_holding_registers(3, 1)) == 2
        assert code(lambda: client.read_holding_registers(4, 1)) == 4
        assert code(lambda: client.read_coils(0, 2)) == 4
        err = capfd.readouterr().err
        assert "KeyError" in err and "TypeError" in err and "hook fails" in err
        assert code(lambda: client.read_fifo_queue(32)) == 2
        assert client.read_fifo_queue(31) == list(range(31))
        assert code(lambda: client.read_input_registers(0, 1)) == 4
        assert ("Async handlers are only supported when running within an active asyncio "
                "event loop.") in capfd.readouterr().err
        assert code(lambda: client.read_exception_status()) == 1
        assert "handle_read_exception_status() not implemented" in capfd.readouterr().err
        assert client.diagnostics(10, [9]) == (10, [9])  # the default echoes, silently
        assert capfd.readouterr().err == ""
        # Coils from packed bytes, registers from complete pairs only.
        raw = socket.create_connection(("127.0.0.1", server.port))
        raw.sendall(bytes.fromhex("0001 0000 0009 01 0F 0000 000A 02 FF01".replace(" ", "")))
        assert raw.recv(100) == bytes.fromhex("000100000006010F0000000A")
        assert app.coils == [On] * 9 + [Off]
        raw.sendall(bytes.fromhex("0002 0000 000C 01 10 0000 0003 05 0001 0002 03".replace(" ", "")))
        assert raw.recv(100) == bytes.fromhex("00020000000601100000" + "0003")
        assert app.registers == [1, 2]
        raw.close()
    finally:
        server.stop()


def test_default_app_answers_code_1_and_echoes_diagnostics(capfd):
    server = BlockingServer(tessaly.ModbusApp())
    try:
        client = tessaly.TcpTransport.connect("127.0.0.1", server.port).create_client(1)
        with pytest.raises(tessaly.ModbusDeviceException) as raised:
            client.read_coils(0, 3)
        assert raised.value.args == ("Device exception code 0x01", 1)
        assert "handle_read_coils(address=0, count=3) not implemented" in capfd.readouterr().err
        assert client.diagnostics(10, [5]) == (10, [5])
    finally:
        server.stop()


def test_base_methods_check_their_arguments():
    app = tessaly.ModbusApp()
    with pytest.raises(NotImplementedError,
                       match=r"^handle_write_coils\(address=1, values=<2 items>\) not implemented$"):
        app.handle_write_coils(1, [On, Off])
    with pytest.raises(NotImplementedError, match=r"value=On\) not implemented"):
        app.handle_write_coil(1, On)
    with pytest.raises(TypeError):
        app.handle_write_coil(1, True)
    with pytest.raises(OverflowError):
        app.handle_read_coils(70000, 1)
    assert app.on_exception(1, 2, 3, 4) is None
    with pytest.raises(OverflowError):
        app.on_exception(1, 256, 3, 4)
    assert tessaly.ModbusApp.__doc__.startswith("Base class for a Modbus server application.")


def test_blocking_call_inside_a_handler_raises_runtime_error(stream_server, capfd):
    transport = tessaly.TcpTransport.connect("127.0.0.1", stream_server.port)
    inner = transport.create_client(1)

    class Forwarder(tessaly.ModbusApp):
        def handle_read_holding_registers(self, address, count):
            return inner.read_holding_registers(address, count)

    server = BlockingServer(Forwarder())
    try:
        client = tessaly.TcpTransport.connect("127.0.0.1", server.port).create_client(1)
        with pytest.raises(tessaly.ModbusDeviceException) as raised:
            client.read_holding_registers(0, 1)
        assert raised.value.args[1] == 4
        assert "RuntimeError" in capfd.readouterr().err
    finally:
        server.stop()


def test_listener_rules():
    app = MemoryApp()
    port = peers.free_port()
    holder = socket.socket()
    holder.bind(("127.0.0.1", port))
    holder.listen(1)
    with pytest.raises(tessaly.ModbusConfigError, match="^Server bind failed: "):
        tessaly.TcpServer("127.0.0.1", app, port=port).serve_forever()
    holder.close()
    server = tessaly.TcpServer("127.0.0.1", app, port=port)
    assert server.bind_address() == f"127.0.0.1:{port}"
    assert tessaly.TcpServer("no-such-host.invalid", app, port=1502).bind_address() == \
        "no-such-host.invalid:1502"
    server.stop()
    start = time.monotonic()
    assert server.serve_forever() is None  # the stored stop ends the run right after binding
    assert time.monotonic() - start < 1
    with server:
        pass  # leaving stores a stop permit
    assert server.serve_forever() is None
    for unit, error in ((0, tessaly.ModbusConfigError), (248, tessaly.ModbusConfigError),
                        (256, OverflowError)):
        with pytest.raises(error):
            tessaly.TcpServer("127.0.0.1", app, unit_id=unit)
    with pytest.raises(TypeError):
        tessaly.TcpServer("127.0.0.1", object())
    with pytest.raises(RuntimeError):
        tessaly.AsyncTcpServer("127.0.0.1", app).serve_forever()


def test_clients_keep_being_served_after_stop_and_serving_again(memory_server):
    server, _ = memory_server
    transport = tessaly.TcpTransport.connect("127.0.0.1", server.port)
    client = transport.create_client(1)
    assert client.read_holding_registers(0, 1) == [0]
    server.server.stop()
    server.thread.join(5)
    assert client.read_holding_registers(1, 1) == [1]  # its session outlives the listener
    server.thread = threading.Thread(target=server._run, daemon=True)
    server.thread.start()
    peers.wait_listening(server.port)
    with tessaly.TcpTransport.connect("127.0.0.1", server.port) as second:
        assert second.create_client(1).read_holding_registers(2, 1) == [2]


@pytest.fixture(params=["rtu", "ascii"])
def serial_mode(request):
    return request.param


def test_serial_servers_with_our_and_pymodbus_clients(serial_mode, pty_link):
    app = MemoryApp()
    server = tessaly.SerialServer(pty_link.a, app, baud_rate=19200, mode=serial_mode.upper())
    errors = []

    def run():
        try:
            server.serve_forever()
        except Exception as error:  # noqa: BLE001
            errors.append(error)

    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    time.sleep(0.2)
    transport_cls = tessaly.RtuTransport if serial_mode == "rtu" else tessaly.AsciiTransport
    with transport_cls.open(pty_link.b, baud_rate=19200) as transport:
        client = transport.create_client(1)
        assert client.read_holding_registers(0, 3) == [0, 1, 2]
        assert client.write_register(1, 11) == (1, 11)
        assert client.write_coils(0, [On, On]) == (0, 2)
        assert client.diagnostics(0, [0xABCD]) == (0, [0xABCD])
    framer = FramerType.RTU if serial_mode == "rtu" else FramerType.ASCII
    peer = ModbusSerialClient(pty_link.b, framer=framer, baudrate=19200, timeout=1)
    assert peer.connect()
    assert peer.read_holding_registers(0, count=2, device_id=1).registers == [0, 11]
    assert peer.read_coils(0, count=2, device_id=1).bits[:2] == [True, True]
    peer.close()
    assert app.registers[1] == 11


def test_async_serial_server_stops(pty_link):
    async def main():
        server = tessaly.AsyncSerialServer(pty_link.a, MemoryApp(), baud_rate=19200)
        run = asyncio.ensure_future(server.serve_forever())
        await asyncio.sleep(0.2)
        transport = await tessaly.AsyncRtuTransport.open(pty_link.b, baud_rate=19200)
        assert await transport.create_client(1).read_holding_registers(2, 2) == [2, 3]
        await transport.close()
        await server.stop()
        assert await asyncio.wait_for(run, 2) is None

    asyncio.run(main())


def test_serial_server_checks():
    app = MemoryApp()
    long_path = "/dev/" + "x" * 60
    server = tessaly.SerialServer(long_path, app)  # constructs
    with pytest.raises(tessaly.ModbusConfigError) as raised:
        server.serve_forever()
    assert raised.value.args == ("Port path too long (max 64 chars): " + long_path,)
    with pytest.raises(tessaly.ModbusConnectionError, match="^ConnectionFailed$"):
        tessaly.SerialServer("/dev/does-not-exist", app).serve_forever()
    with pytest.raises(tessaly.ModbusConfigError, match="^Unknown serial mode 'modbus'"):
        tessaly.SerialServer("/dev/x", app, mode="Modbus")
    with pytest.raises(tessaly.ModbusConfigError, match="^Invalid serial mode"):
        tessaly.SerialServer("/dev/x", app, mode=1)
    with pytest.raises(tessaly.ModbusConfigError, match="^Invalid data_bits '9'"):
        tessaly.SerialServer("/dev/x", app, data_bits=9, parity="mark")
    with pytest.raises(tessaly.ModbusConfigError, match="^InvalidBroadcastAddress$"):
        tessaly.SerialServer("/dev/x", app, unit_id=0)


def test_ctrl_c_stops_a_blocking_server():
    port = peers.free_port()
    process = subprocess.Popen([sys.executable, "-c", textwrap.dedent(f"""
        import tessaly
        server = tessaly.TcpServer("127.0.0.1", tessaly.ModbusApp(), port={port})
        print("serving", flush=True)
        try:
            server.serve_forever()
        except KeyboardInterrupt:
            print("stopped", flush=True)
    """)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert process.stdout.readline().strip() == "serving"
    peers.wait_listening(port)
    process.send_signal(signal.SIGINT)
    out, err = process.communicate(timeout=10)
    assert "stopped" in out, err
    assert process.returncode == 0


def test_exit_while_serving_is_prompt_and_clean():
    port = peers.free_port()
    process = subprocess.Popen([sys.executable, "-c", textwrap.dedent(f"""
        import threading, time, tessaly
        class App(tessaly.ModbusApp):
            def handle_read_holding_registers(self, address, count):
                return [7] * count
        server = tessaly.TcpServer("127.0.0.1", App(), port={port})
        threading.Thread(target=server.serve_forever, daemon=True).start()
        time.sleep(0.3)
        client = tessaly.TcpTransport.connect("127.0.0.1", {port}).create_client(1)
        assert client.read_holding_registers(0, 2) == [7, 7]
        print("done", flush=True)
    """)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    started = time.monotonic()
    out, err = process.communicate(timeout=20)
    assert out.strip() == "done", err
    assert process.returncode == 0, err
    assert time.monotonic() - started < 5


def test_overlong_payload_ends_the_session_instead_of_an_empty_answer():
    class Chatty(MemoryApp):
        def handle_report_server_id(self):
            return b"x" * 600

    server = BlockingServer(Chatty())
    try:
        transport = tessaly.TcpTransport.connect("127.0.0.1", server.port)
        client = transport.create_client(1)
        with pytest.raises(tessaly.ModbusConnectionError):
            client.report_server_id()
        with tessaly.TcpTransport.connect("127.0.0.1", server.port) as again:
            assert again.create_client(1).read_holding_registers(0, 1) == [0]
    finally:
        server.stop()


def test_blocking_serial_server_calls_handlers_on_its_own_thread(pty_link):
    seen = []

    class Where(MemoryApp):
        def handle_read_holding_registers(self, address, count):
            seen.append(threading.get_ident())
            return super().handle_read_holding_registers(address, count)

    server = tessaly.SerialServer(pty_link.a, Where(), baud_rate=19200)
    thread = threading.Thread(target=lambda: pytest.raises(Exception, server.serve_forever),
                              daemon=True)
    thread.start()
    time.sleep(0.2)
    with tessaly.RtuTransport.open(pty_link.b, baud_rate=19200) as transport:
        assert transport.create_client(1).read_holding_registers(3, 1) == [3]
    assert seen == [thread.ident]
