"""Independent peers for the tests: pymodbus servers over TCP and serial lines, socat-linked
pseudo-terminal pairs, and a small Modbus TCP server for concurrency tests."""

import asyncio
import contextlib
import os
import shutil
import socket
import subprocess
import threading
import time
import warnings

from pymodbus.datastore import (
    ModbusDeviceContext,
    ModbusSequentialDataBlock,
    ModbusServerContext,
)
from pymodbus.pdu.device import ModbusDeviceIdentification
from pymodbus.server import ModbusSerialServer, ModbusTcpServer

warnings.filterwarnings("ignore", message=".*deprecated.*")

# Initial contents of the pymodbus data store; protocol address n is index n.
COILS = [0] * 64
DISCRETE = [1, 0, 0, 1] * 16
HOLDING = list(range(100))
INPUT = [1000 + i for i in range(100)]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def make_context(units=None):
    # pymodbus blocks start one below the protocol address they serve.
    device = ModbusDeviceContext(
        co=ModbusSequentialDataBlock(1, list(COILS)),
        di=ModbusSequentialDataBlock(1, list(DISCRETE)),
        hr=ModbusSequentialDataBlock(1, list(HOLDING)),
        ir=ModbusSequentialDataBlock(1, list(INPUT)),
    )
    if units is None:
        return ModbusServerContext(devices=device, single=True), device
    return ModbusServerContext(devices={unit: device for unit in units}, single=False), device


def identity():
    ident = ModbusDeviceIdentification()
    ident.VendorName = "Acme"
    ident.ProductCode = "AC-1"
    ident.MajorMinorRevision = "1.2"
    return ident


class ServerThread:
    """Runs a pymodbus server on its own event loop in a background thread."""

    def __init__(self, make_server):
        self.loop = asyncio.new_event_loop()
        self.server = None
        ready = threading.Event()

        async def main():
            self.server = make_server()
            self.loop.call_soon(ready.set)
            with contextlib.suppress(asyncio.CancelledError):
                await self.server.serve_forever()

        self.thread = threading.Thread(target=self.loop.run_until_complete, args=(main(),),
                                       daemon=True)
        self.thread.start()
        ready.wait(5)

    def stop(self):
        async def shutdown():
            with contextlib.suppress(Exception):
                await self.server.shutdown()

        with contextlib.suppress(Exception):
            asyncio.run_coroutine_threadsafe(shutdown(), self.loop).result(5)
        self.thread.join(5)


def wait_listening(port, timeout=5.0):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
            return
        except OSError:
            time.sleep(0.02)
    raise RuntimeError(f"nothing listens on {port}")


def start_tcp_server():
    context, device = make_context()
    port = free_port()
    thread = ServerThread(lambda: ModbusTcpServer(context, address=("127.0.0.1", port),
                                                  identity=identity()))
    wait_listening(port)
    return thread, port, device


class PtyLink:
    """Two pseudo-terminals joined by socat: bytes written to one are read from the other."""

    def __init__(self, directory):
        if shutil.which("socat") is None:
            raise RuntimeError("socat is required for the serial tests")
        self.a = os.path.join(directory, "ttyA")
        self.b = os.path.join(directory, "ttyB")
        self.process = subprocess.Popen(
            ["socat", f"pty,raw,echo=0,link={self.a}", f"pty,raw,echo=0,link={self.b}"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        end = time.monotonic() + 5
        while not (os.path.exists(self.a) and os.path.exists(self.b)):
            if time.monotonic() > end:
                raise RuntimeError("socat did not create the pty pair")
            time.sleep(0.01)

    def close(self):
        self.process.terminate()
        self.process.wait(5)


def start_serial_server(port_path, framer):
    context, device = make_context(units=[1])
    thread = ServerThread(lambda: ModbusSerialServer(
        context, framer=framer, port=port_path, baudrate=19200, identity=identity(),
        ignore_missing_devices=True))
    time.sleep(0.2)  # the server opens its port on the loop
    return thread, device


class _Listener:
    """A listening socket on loopback whose connections are handed to `_serve` on threads."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(16)
        self.port = self.sock.getsockname()[1]
        self.connections = []
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            self.connections.append(conn)
            threading.Thread(target=self._serve, args=(conn,), daemon=True).start()

    def _serve(self, conn):
        pass

    def drop_connections(self):
        for conn in self.connections:
            with contextlib.suppress(OSError):
                conn.shutdown(socket.SHUT_RDWR)
                conn.close()

    def close(self):
        self.drop_connections()
        self.sock.close()


class StreamServer(_Listener):
    """A minimal Modbus TCP server that reads the stream correctly however frames arrive, and
    answers reads of holding registers with address + 1 per register, after `delay` seconds.

    pymodbus 3.16 drops the second of two requests that arrive in one TCP segment, so tests of
    many requests in flight on one connection use this server."""

    def __init__(self, delay=0.0):
        self.delay = delay
        super().__init__()

    def _serve(self, conn):
        buffer = b""
        while True:
            try:
                data = conn.recv(4096)
            except OSError:
                return
            if not data:
                return
            buffer += data
            while len(buffer) >= 6 and len(buffer) >= 6 + int.from_bytes(buffer[4:6], "big"):
                size = 6 + int.from_bytes(buffer[4:6], "big")
                frame, buffer = buffer[:size], buffer[size:]
                address = int.from_bytes(frame[8:10], "big")
                count = int.from_bytes(frame[10:12], "big")
                body = b"".join(((address + i + 1) & 0xFFFF).to_bytes(2, "big")
                                for i in range(count))
                pdu = bytes([3, len(body)]) + body
                if self.delay:
                    time.sleep(self.delay)
                try:
                    conn.sendall(frame[:4] + (len(pdu) + 1).to_bytes(2, "big") + frame[6:7] + pdu)
                except OSError:
                    return


class SilentServer(_Listener):
    """Accepts connections and never answers."""
