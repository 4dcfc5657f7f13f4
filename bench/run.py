"""Client benchmark: tessaly's blocking and asyncio clients, pymodbus's sync and async clients
and a libmodbus C client, each reading 10 holding registers in a loop from the same libmodbus
server on loopback. Prints requests per second and ratios, all from one run."""

import asyncio
import os
import socket
import subprocess
import sys
import time
import warnings

warnings.filterwarnings("ignore")
HERE = os.path.dirname(os.path.abspath(__file__))
BUILD = os.path.join(HERE, "..", "build", "bench")


def compile_tool(name):
    os.makedirs(BUILD, exist_ok=True)
    out = os.path.join(BUILD, name)
    source = os.path.join(HERE, name + ".c")
    if not os.path.exists(out) or os.path.getmtime(out) < os.path.getmtime(source):
        subprocess.run(["cc", "-O2", "-pthread", "-I/usr/include/modbus", source, "-o", out, "-lmodbus"],
                       check=True)
    return out


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def timed(count, body):
    start = time.perf_counter()
    body()
    return count / (time.perf_counter() - start)


def tessaly_blocking(port, count):
    import tessaly

    with tessaly.TcpTransport.connect("127.0.0.1", port) as transport:
        client = transport.create_client(1)
        for _ in range(500):
            client.read_holding_registers(0, 10)
        return timed(count, lambda: [client.read_holding_registers(0, 10) for _ in range(count)])


async def pipelined(read, count, in_flight):
    async def worker(n):
        for _ in range(n):
            await read()

    per_worker = count // in_flight
    start = time.perf_counter()
    await asyncio.gather(*(worker(per_worker) for _ in range(in_flight)))
    return per_worker * in_flight / (time.perf_counter() - start)


def tessaly_async(port, count, in_flight=100):
    import tessaly

    async def main():
        transport = await tessaly.AsyncTcpTransport.connect("127.0.0.1", port)
        client = transport.create_client(1)
        await pipelined(lambda: client.read_holding_registers(0, 10), 2000, in_flight)
        rate = await pipelined(lambda: client.read_holding_registers(0, 10), count, in_flight)
        await transport.close()
        return rate

    return asyncio.run(main())


def pymodbus_sync(port, count):
    from pymodbus.client import ModbusTcpClient

    with ModbusTcpClient("127.0.0.1", port=port) as client:
        return timed(count, lambda: [client.read_holding_registers(0, count=10, device_id=1)
                                     for _ in range(count)])


def pymodbus_async(port, count, in_flight=100):
    from pymodbus.client import AsyncModbusTcpClient

    async def main():
        client = AsyncModbusTcpClient("127.0.0.1", port=port)
        await client.connect()
        rate = await pipelined(lambda: client.read_holding_registers(0, count=10, device_id=1),
                               count, in_flight)
        client.close()
        return rate

    return asyncio.run(main())


def libmodbus_client(port, count):
    out = subprocess.run([compile_tool("libmodbus_client"), str(port), str(count)],
                         capture_output=True, text=True, check=True)
    return float(out.stdout.strip())


def main():
    server_path = compile_tool("libmodbus_server")
    port = free_port()
    server = subprocess.Popen([server_path, str(port)], stdout=subprocess.PIPE, text=True)
    try:
        server.stdout.readline()
        rows = [
            ("libmodbus C client, sequential", libmodbus_client(port, 20000)),
            ("tessaly blocking, sequential", tessaly_blocking(port, 20000)),
            ("pymodbus sync, sequential", pymodbus_sync(port, 3000)),
            ("tessaly asyncio, 100 in flight", tessaly_async(port, 100000)),
            ("pymodbus async, 100 in flight", pymodbus_async(port, 3000)),
        ]
    finally:
        server.kill()
    rates = dict(rows)
    print("read 10 holding registers from a libmodbus server on loopback")
    for name, rate in rows:
        print(f"  {name:34s} {rate:10.0f} req/s")
    print("ratios")
    print(f"  tessaly blocking / libmodbus C client : "
          f"{rates['tessaly blocking, sequential'] / rates['libmodbus C client, sequential']:.2f}")
    print(f"  tessaly blocking / pymodbus sync      : "
          f"{rates['tessaly blocking, sequential'] / rates['pymodbus sync, sequential']:.1f}")
    print(f"  tessaly asyncio  / pymodbus async     : "
          f"{rates['tessaly asyncio, 100 in flight'] / rates['pymodbus async, 100 in flight']:.1f}")


if __name__ == "__main__":
    sys.exit(main())
