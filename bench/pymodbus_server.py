"""Reference Modbus/TCP slave on pymodbus 3.0 (Debian's python3-pymodbus) for the load generator.

Run with /usr/bin/python3 (the Debian interpreter that sees the package):
    /usr/bin/python3 pymodbus_server.py [--port P] [--max-seconds S]
Binds 127.0.0.1 (port 0 = a free port), 10000 holding registers (zero_mode: wire address = index),
prints "PORT <n>" and serves until SIGTERM/SIGINT or until S seconds have passed (default 1800).
"""
import argparse
import asyncio
import logging
import signal
import sys

from pymodbus.datastore import ModbusSequentialDataBlock, ModbusSlaveContext, ModbusServerContext
from pymodbus.server.async_io import ModbusTcpServer
from pymodbus.transaction import ModbusSocketFramer


async def main(port, max_seconds):
    slave = ModbusSlaveContext(hr=ModbusSequentialDataBlock(0, list(range(10000))), zero_mode=True)
    context = ModbusServerContext(slaves={1: slave}, single=False)
    server = ModbusTcpServer(context, ModbusSocketFramer, address=("127.0.0.1", port), backlog=1024)
    task = asyncio.ensure_future(server.serve_forever())
    await asyncio.wait_for(server.serving, 10)
    bound = server.server.sockets[0].getsockname()[1]
    print(f"PORT {bound}", flush=True)
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    try:
        await asyncio.wait_for(stop.wait(), max_seconds)
    except asyncio.TimeoutError:
        pass
    task.cancel()


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--max-seconds", type=float, default=1800)
    args = parser.parse_args()
    # Every client disconnect logs an error in pymodbus 3.0; that is noise here.
    logging.basicConfig(level=logging.CRITICAL)
    logging.getLogger("pymodbus").setLevel(logging.CRITICAL)
    asyncio.run(main(args.port, args.max_seconds))
    sys.exit(0)
