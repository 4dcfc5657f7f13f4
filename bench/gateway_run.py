"""Gateway benchmark: requests per second through one gateway hop versus straight to the same
server (a tessaly TcpServer with a trivial app), driven by the libmodbus client load with one and
eight upstream connections. Prints rates and ratios, all from one run."""

import os
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import run as client_bench  # noqa: E402
import server_run  # noqa: E402
import tessaly  # noqa: E402


def main():
    server_port, stop_server = server_run.tessaly_server()
    gateway_port = client_bench.free_port()
    gateway = tessaly.TcpGateway(f"127.0.0.1:{gateway_port}")
    gateway.add_unit_route(1, gateway.add_tcp_downstream("127.0.0.1", server_port))
    thread = threading.Thread(target=gateway.serve_forever, daemon=True)
    thread.start()
    time.sleep(0.3)
    try:
        rows = []
        for connections in (1, 8):
            direct = server_run.load(server_port, connections)
            through = server_run.load(gateway_port, connections)
            rows.append((connections, direct, through))
    finally:
        gateway.stop()
        thread.join(5)
        stop_server()
    print("gateway, read 10 holding registers, libmodbus client load on loopback")
    for connections, direct, through in rows:
        print(f"  {connections} connection(s): direct {direct:8.0f} req/s, through the gateway "
              f"{through:8.0f} req/s, ratio {through / direct:.2f}")


if __name__ == "__main__":
    sys.exit(main())
