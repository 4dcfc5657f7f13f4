"""A real Modbus exchange on localhost: two TCP servers backed by in-memory ModbusApps, a
gateway routing unit 1 to the first and units 10..20 to the second, and a client that writes
coils and registers through the gateway and reads them back."""

import socket
import threading
import time

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


def start(runner):
    thread = threading.Thread(target=runner.serve_forever)
    thread.start()
    return thread


def wait_listening(port):
    for _ in range(200):
        try:
            socket.create_connection(("127.0.0.1", port)).close()
            return
        except OSError:
            time.sleep(0.01)


first_port, second_port, gateway_port = free_port(), free_port(), free_port()
first = tessaly.TcpServer("127.0.0.1", Memory(), port=first_port, unit_id=1)
second = tessaly.TcpServer("127.0.0.1", Memory(), port=second_port, unit_id=15)
threads = [start(first), start(second)]
wait_listening(first_port)
wait_listening(second_port)

gateway = tessaly.TcpGateway(f"127.0.0.1:{gateway_port}")
gateway.add_unit_route(1, gateway.add_tcp_downstream("127.0.0.1", first_port))
gateway.add_range_route(10, 20, gateway.add_tcp_downstream("127.0.0.1", second_port))
threads.append(start(gateway))
wait_listening(gateway_port)

print(f"tessaly {tessaly.__version__}: servers on {first.bind_address()} (unit 1) and "
      f"{second.bind_address()} (unit 15), gateway on {gateway.bind_address()}")
with tessaly.TcpTransport.connect("127.0.0.1", gateway_port) as transport:
    on, off = CoilState.On, CoilState.Off
    for unit in (1, 15):
        client = transport.create_client(unit)
        print(f"unit {unit}: write registers 0..4 ->",
              client.write_registers(0, [unit * 100 + i for i in range(5)]))
        print(f"unit {unit}: read registers 0..4  ->", client.read_holding_registers(0, 5))
        print(f"unit {unit}: write coils 10..13   ->", client.write_coils(10, [on, off, on, on]))
        print(f"unit {unit}: read coils 10..13    ->", client.read_coils(10, 4))
for runner in (gateway, first, second):
    runner.stop()
for thread in threads:
    thread.join()
print("stopped")
