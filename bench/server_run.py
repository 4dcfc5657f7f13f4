"""Server benchmark: requests per second of tessaly's TcpServer (a trivial in-memory app), of a
libmodbus server and of pymodbus's server, each driven by the same libmodbus client load with one
and eight connections. Prints rates and ratios, all from one run."""

import os
import subprocess
import sys
import threading
import time
import warnings

warnings.filterwarnings("ignore")
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python"))

import run as client_bench  # noqa: E402


def load(port, connections, seconds=2.0):
    tool = client_bench.compile_tool("server_load")
    out = subprocess.run([tool, str(port), str(connections), str(seconds)], capture_output=True,
                         text=True, check=True)
    return float(out.stdout.strip())


def tessaly_server():
    import tessaly

    class App(tessaly.ModbusApp):
        def handle_read_holding_registers(self, address, count):
            return list(range(address, address + count))

    port = client_bench.free_port()
    server = tessaly.TcpServer("127.0.0.1", App(), port=port)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    time.sleep(0.3)
    return port, lambda: (server.stop(), thread.join(5))


def libmodbus_server():
    port = client_bench.free_port()
    process = subprocess.Popen([client_bench.compile_tool("libmodbus_server"), str(port)],
                               stdout=subprocess.PIPE, text=True)
    process.stdout.readline()
    return port, process.kill


def pymodbus_server():
    import peers

    thread, port, _ = peers.start_tcp_server()
    return port, thread.stop


def main():
    results = {}
    for name, start in (("tessaly", tessaly_server), ("libmodbus", libmodbus_server),
                        ("pymodbus", pymodbus_server)):
        for connections in (1, 8):
            if name == "libmodbus" and connections > 1:
                continue  # the libmodbus server serves one connection at a time
            port, stop = start()
            try:
                results[(name, connections)] = load(port, connections)
            finally:
                stop()
    print("server, read 10 holding registers, libmodbus client load on loopback")
    for (name, connections), rate in results.items():
        print(f"  {name:10s} {connections} connection(s): {rate:10.0f} req/s")
    print("ratios")
    print(f"  tessaly / libmodbus server, 1 connection  : "
          f"{results[('tessaly', 1)] / results[('libmodbus', 1)]:.2f}")
    print(f"  tessaly / pymodbus server, 8 connections  : "
          f"{results[('tessaly', 8)] / results[('pymodbus', 8)]:.1f}")


if __name__ == "__main__":
    sys.exit(main())
