"""A real Modbus exchange on localhost: a TCP server backed by an in-memory ModbusApp, and a
client that writes coils and registers and reads them back."""

import socket
import threading

import tessaly
from tessaly import CoilState


class Memory(tessaly.ModbusApp):
    """A device with 100 holding registers and 100 coils."""

    def __init__(self):
        self.registers = [0] * 100
        self.coils = [CoilState.Off] * 100

    def handle_read_holding_registers(self, address, count):
        return self.registers[address:address + count]

    def handle_write_registers(self, address, values):
        self.registers[address:address + len(values)] = values

    def handle_read_coils(self, address, count):
        return self.coils[address:address + count]

    def handle_write_coils(self, address, values):
        self.coils[address:address + len(values)] = values


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


port = free_port()
server = tessaly.TcpServer("127.0.0.1", Memory(), port=port, unit_id=1)
thread = threading.Thread(target=server.serve_forever)
thread.start()

print(f"tessaly {tessaly.__version__}: server on {server.bind_address()}")
while True:
    try:
        transport = tessaly.TcpTransport.connect("127.0.0.1", port)
        break
    except tessaly.ModbusConnectionError:
        pass
with transport:
    client = transport.create_client(1)
    print("write registers 0..4  ->", client.write_registers(0, [100, 200, 300, 400, 500]))
    print("read registers 0..4   ->", client.read_holding_registers(0, 5))
    on, off = CoilState.On, CoilState.Off
    print("write coils 10..13    ->", client.write_coils(10, [on, off, on, on]))
    print("read coils 10..13     ->", client.read_coils(10, 4))
server.stop()
thread.join()
print("server stopped")
