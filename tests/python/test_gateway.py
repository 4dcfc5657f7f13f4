"""The gateway between upstream clients (ours, pymodbus, raw sockets) and downstream devices
(ours and pymodbus), its events, its configuration rules and its failures."""

import asyncio
import socket
import threading
import time

import pytest
from pymodbus.client import ModbusTcpClient

import peers
import tessaly


class Recorder(tessaly.GatewayEventHandler):
    def __init__(self):
        self.events = []

    def on_forward(self, session_id, unit_id, channel_idx):
        self.events.append(("forward", session_id, unit_id, channel_idx))

    def on_routing_miss(self, session_id, unit_id):
        self.events.append(("miss", session_id, unit_id))

    def on_response_returned(self, session_id, upstream_txn):
        self.events.append(("returned", session_id, upstream_txn))

    def on_downstream_timeout(self, session_id, internal_txn):
        self.events.append(("timeout", session_id, internal_txn))

    def on_upstream_disconnect(self, session_id):
        self.events.append(("disconnect", session_id))


class Offset(tessaly.ModbusApp):
    def handle_read_holding_registers(self, address, count):
        return [address + 1000 + i for i in range(count)]


@pytest.fixture
def downstreams():
    """A pymodbus device (any unit) and one of our servers answering unit 15."""
    pymodbus_thread, pymodbus_port, _ = peers.start_tcp_server()
    our_port = peers.free_port()
    ours = tessaly.TcpServer("127.0.0.1", Offset(), port=our_port, unit_id=15)
    thread = threading.Thread(target=ours.serve_forever, daemon=True)
    thread.start()
    peers.wait_listening(our_port)
    yield pymodbus_port, our_port
    ours.stop()
    pymodbus_thread.stop()


class Running:
    def __init__(self, gateway):
        self.gateway = gateway
        self.errors = []
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()
        time.sleep(0.3)

    def _run(self):
        try:
            self.gateway.serve_forever()
        except Exception as error:  # noqa: BLE001
            self.errors.append(error)

    def stop(self):
        self.gateway.stop()
        self.thread.join(5)
        assert not self.thread.is_alive()


@pytest.fixture
def gateway(downstreams):
    pymodbus_port, our_port = downstreams
    events = Recorder()
    port = peers.free_port()
    gw = tessaly.TcpGateway(f"127.0.0.1:{port}", event_handler=events)
    assert gw.add_tcp_downstream("127.0.0.1", pymodbus_port) == 0
    assert gw.add_tcp_downstream("127.0.0.1", our_port) == 1
    gw.add_unit_route(1, 0)
    gw.add_range_route(10, 20, 1)
    running = Running(gw)
    yield port, events, running
    running.stop()


def test_routes_by_unit_and_range_for_our_and_pymodbus_clients(gateway):
    port, events, _ = gateway
    with tessaly.TcpTransport.connect("127.0.0.1", port) as transport:
        assert transport.create_client(1).read_holding_registers(0, 3) == [0, 1, 2]
        assert transport.create_client(15).read_holding_registers(5, 2) == [1005, 1006]
        assert transport.create_client(1).write_register(3, 33) == (3, 33)
    with ModbusTcpClient("127.0.0.1", port=port) as client:
        assert client.read_holding_registers(3, count=1, device_id=1).registers == [33]
        assert client.read_holding_registers(0, count=2, device_id=15).registers == [1000, 1001]
    assert ("forward", 0, 1, 0) in events.events
    assert ("forward", 0, 15, 1) in events.events
    assert any(e[0] == "returned" for e in events.events)


def test_transaction_ids_are_restored_per_client(gateway):
    port, _, _ = gateway
    a = socket.create_connection(("127.0.0.1", port))
    b = socket.create_connection(("127.0.0.1", port))
    for sock, address in ((a, 0), (b, 1)):
        sock.sendall(bytes.fromhex(f"BEEF 0000 0006 01 03 000{address} 0001".replace(" ", "")))
    assert a.recv(100) == bytes.fromhex("BEEF000000050103020000")
    assert b.recv(100) == bytes.fromhex("BEEF000000050103020001")
    a.close()
    b.close()


def test_routing_miss_and_broadcast_answer_exception_4(gateway):
    port, events, _ = gateway
    sock = socket.create_connection(("127.0.0.1", port))
    for unit in (5, 0):
        sock.sendall(bytes([0, 7, 0, 0, 0, 6, unit, 3, 0, 0, 0, 1]))
        assert sock.recv(100) == bytes([0, 7, 0, 0, 0, 3, unit, 0x83, 0x04])
    assert events.events[:2] == [("miss", 0, 5), ("miss", 0, 0)]
    # An undecodable frame is ignored; a length-0 frame ends the session.
    sock.sendall(bytes.fromhex("000800000003010900"))
    sock.settimeout(0.3)
    with pytest.raises(socket.timeout):
        sock.recv(100)
    sock.sendall(bytes.fromhex("00090000000001"))
    sock.settimeout(2)
    assert sock.recv(100) == b""
    time.sleep(0.1)
    assert events.events[-1] == ("disconnect", 0)
    sock.close()


def test_silent_downstream_times_out_after_a_second(silent_server):
    events = Recorder()
    port = peers.free_port()
    gw = tessaly.TcpGateway(f"127.0.0.1:{port}", events)
    gw.add_tcp_downstream("127.0.0.1", silent_server.port)
    gw.add_range_route(1, 247, 0)
    running = Running(gw)
    try:
        with tessaly.TcpTransport.connect("127.0.0.1", port, timeout_ms=3000) as transport:
            start = time.monotonic()
            with pytest.raises(tessaly.ModbusDeviceException) as raised:
                transport.create_client(9).read_holding_registers(0, 1)
            assert raised.value.args == ("Device exception code 0x0B", 11)
            assert 0.9 <= time.monotonic() - start < 2.0
        assert ("timeout", 0, 0) in events.events
    finally:
        running.stop()


def test_hooks_that_raise_change_nothing(downstreams, capfd):
    class Angry(tessaly.GatewayEventHandler):
        def on_forward(self, session_id, unit_id, channel_idx):
            raise RuntimeError("angry hook")

    pymodbus_port, _ = downstreams
    port = peers.free_port()
    gw = tessaly.TcpGateway(f"127.0.0.1:{port}", event_handler=Angry())
    gw.add_tcp_downstream("127.0.0.1", pymodbus_port)
    gw.add_unit_route(1, 0)
    running = Running(gw)
    try:
        with tessaly.TcpTransport.connect("127.0.0.1", port) as transport:
            assert transport.create_client(1).read_holding_registers(1, 1) == [1]
        assert "angry hook" in capfd.readouterr().err
    finally:
        running.stop()


def test_configuration_rules():
    gw = tessaly.TcpGateway("127.0.0.1:5020")
    assert gw.bind_address() == "127.0.0.1:5020"
    with pytest.raises(ValueError, match=r"^at least one downstream must be registered before "
                                         r"serve_forever\(\)$"):
        gw.serve_forever()
    with pytest.raises(ValueError, match=r"^channel 0 not registered \(only 0 downstream\(s\) "
                                         r"configured\)$"):
        gw.add_unit_route(1, 0)
    assert gw.add_tcp_downstream("192.168.1.10", None) == 0
    with pytest.raises(TypeError):
        gw.add_tcp_downstream("192.168.1.10")
    with pytest.raises(ValueError, match=r"^at least one route must be registered"):
        gw.serve_forever()
    with pytest.raises(ValueError, match=r"^unit ID must be 1\.\.=247$"):
        gw.add_unit_route(0, 5)
    with pytest.raises(ValueError, match=r"^invalid range: require 1 <= min <= max$"):
        gw.add_range_route(6, 5, 0)
    with pytest.raises(OverflowError):
        gw.add_unit_route(256, 0)
    with pytest.raises(TypeError):
        tessaly.TcpGateway("127.0.0.1:5020", event_handler=object())
    with pytest.raises(TypeError):
        tessaly.GatewayEventHandler(1)
    handler = tessaly.GatewayEventHandler()
    assert handler.on_forward(0, 1, 2) is None
    with pytest.raises(OverflowError):
        handler.on_routing_miss(0, 256)
    with gw as same:
        assert same is gw


def test_start_failures():
    dead = peers.free_port()
    gw = tessaly.TcpGateway(f"127.0.0.1:{peers.free_port()}")
    gw.add_tcp_downstream("127.0.0.1", dead)
    gw.add_unit_route(1, 0)
    with pytest.raises(ConnectionError) as raised:
        gw.serve_forever()
    assert str(raised.value) == f"downstream connect to 127.0.0.1:{dead} failed: ConnectionFailed"
    server = peers.SilentServer()
    holder = socket.socket()
    holder.bind(("127.0.0.1", 0))
    holder.listen(1)
    taken = holder.getsockname()[1]
    clash = tessaly.TcpGateway(f"127.0.0.1:{taken}")
    clash.add_tcp_downstream("127.0.0.1", server.port)
    clash.add_unit_route(1, 0)
    with pytest.raises(RuntimeError, match="^gateway bind failed: "):
        clash.serve_forever()
    holder.close()
    server.close()


def test_stop_remembered_and_sessions_outlive_the_run(downstreams):
    pymodbus_port, _ = downstreams
    port = peers.free_port()
    gw = tessaly.TcpGateway(f"127.0.0.1:{port}")
    gw.add_tcp_downstream("127.0.0.1", pymodbus_port)
    gw.add_unit_route(1, 0)
    running = Running(gw)
    transport = tessaly.TcpTransport.connect("127.0.0.1", port)
    client = transport.create_client(1)
    assert client.read_holding_registers(2, 1) == [2]
    running.stop()
    assert running.errors == []
    assert client.read_holding_registers(4, 1) == [4]  # its session goes on
    transport.close()


def test_async_gateway():
    async def main(pymodbus_port):
        port = peers.free_port()
        gw = tessaly.AsyncTcpGateway(f"127.0.0.1:{port}")
        gw.add_tcp_downstream("127.0.0.1", pymodbus_port)
        gw.add_unit_route(1, 0)
        async with gw as same:
            assert same is gw
            run = asyncio.ensure_future(gw.serve_forever())
            await asyncio.sleep(0.3)
            transport = await tessaly.AsyncTcpTransport.connect("127.0.0.1", port)
            assert await transport.create_client(1).read_holding_registers(0, 2) == [0, 1]
            await transport.close()
        assert await asyncio.wait_for(run, 3) is None
        assert await gw.__aexit__(None, None, None) is False

    thread, port, _ = peers.start_tcp_server()
    try:
        asyncio.run(main(port))
    finally:
        thread.stop()
