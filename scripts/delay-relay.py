#!/usr/bin/env python3
"""A TCP relay that adds latency, as a slow network between kdr and a
device server would.

Listens on 127.0.0.1:PORT and forwards each connection to TARGET_HOST:PORT,
connecting there DELAY ms after the client connected. Every chunk read in either direction is written DELAY ms after it arrived,
in order; the relay reads on while chunks wait, so the delay adds latency
without limiting throughput. When one side closes, whatever is still
waiting for that direction is delivered on time, then both sides close.

The first line on standard output is the port listened on (the one
picked when PORT is 0), flushed before the first connection is taken.

Example:
    scripts/delay-relay.py --delay-ms 150 0 127.0.0.1:4001
    kdr open --port tcp://127.0.0.1:<printed port>
"""

import argparse
import asyncio
import signal
import socket
import sys

CHUNK = 65536


def parse_target(text):
    host, sep, port = text.rpartition(":")
    if not sep or not host or not port.isdigit() or not 0 < int(port) < 65536:
        raise argparse.ArgumentTypeError(f"{text!r} is not HOST:PORT")
    return host.strip("[]"), int(port)


def parse_port(text):
    if not text.isdigit() or int(text) > 65535:
        raise argparse.ArgumentTypeError(f"{text!r} is not a port number (0 to 65535)")
    return int(text)


def parse_delay(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number of milliseconds") from None
    if value < 0:
        raise argparse.ArgumentTypeError("the delay cannot be negative")
    return value


async def pump(reader, writer, delay, loop):
    """Copies reader to writer, each chunk held until DELAY after it arrived.

    WRITER may be a future that gives the writer later: reading starts at
    once, so that chunks are timed from their arrival all the same. Reading
    and delivering run apart, joined by a queue, so a chunk that arrives
    while an earlier one waits is timed from its own arrival."""
    queue = asyncio.Queue()

    async def read():
        try:
            while True:
                data = await reader.read(CHUNK)
                queue.put_nowait((loop.time() + delay, data))
                if not data:
                    return
        except (ConnectionError, OSError):
            queue.put_nowait((loop.time(), b""))

    reading = asyncio.ensure_future(read())
    try:
        if asyncio.isfuture(writer):
            writer = await writer
        while True:
            due, data = await queue.get()
            wait = due - loop.time()
            if wait > 0:
                await asyncio.sleep(wait)
            if not data:
                return
            writer.write(data)
            await writer.drain()
    finally:
        reading.cancel()


async def relay(client_reader, client_writer, target, delay, connections):
    task = asyncio.current_task()
    connections.add(task)
    try:
        await connect(client_reader, client_writer, target, delay)
    except asyncio.CancelledError:
        pass  # the relay is stopping; a cancelled handler would be reported as a fault
    finally:
        connections.discard(task)


def no_nagle(writer):
    sock = writer.get_extra_info("socket")
    if sock is not None:  # each chunk goes out when due, not held to join the next
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)


async def connect(client_reader, client_writer, target, delay):
    loop = asyncio.get_running_loop()
    no_nagle(client_writer)
    upstream = loop.create_future()
    directions = [asyncio.ensure_future(pump(client_reader, upstream, delay, loop))]
    server_writer = None
    try:
        # The connection reaches the target one delay later, as over a
        # network: after the close of the one before, delayed as much.
        await asyncio.sleep(delay)
        try:
            server_reader, server_writer = await asyncio.open_connection(*target)
        except OSError as error:
            print(f"delay-relay: cannot reach {target[0]}:{target[1]}: {error}", file=sys.stderr)
            return
        no_nagle(server_writer)
        upstream.set_result(server_writer)
        directions.append(asyncio.ensure_future(pump(server_reader, client_writer, delay, loop)))
        # Either side's end (or a failed write) ends the connection on both.
        await asyncio.wait(directions, return_when=asyncio.FIRST_COMPLETED)
    finally:
        for task in directions:
            task.cancel()
        await asyncio.gather(*directions, return_exceptions=True)
        writers = [w for w in (client_writer, server_writer) if w is not None]
        for writer in writers:
            writer.close()
        for writer in writers:
            try:
                await writer.wait_closed()
            except (ConnectionError, OSError):
                pass


async def main(arguments):
    delay = arguments.delay_ms / 1000.0
    connections = set()
    server = await asyncio.start_server(
        lambda r, w: relay(r, w, arguments.target, delay, connections),
        "127.0.0.1",
        arguments.port,
    )
    print(server.sockets[0].getsockname()[1], flush=True)
    stop = asyncio.get_running_loop().create_future()
    for number in (signal.SIGINT, signal.SIGTERM):
        asyncio.get_running_loop().add_signal_handler(number, stop.set_result, None)
    async with server:
        await stop
    # Told to stop: the connections under way end now, quietly.
    for task in connections:
        task.cancel()
    await asyncio.gather(*connections, return_exceptions=True)


if __name__ == "__main__":
    parser = argparse.ArgumentParser(
        description=__doc__.split("\n\n")[0].replace("\n", " "),
        epilog=__doc__.split("\n\n", 1)[1],
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("port", type=parse_port, help="the loopback port to listen on (0: any free one)")
    parser.add_argument("target", type=parse_target, help="where to forward: HOST:PORT")
    parser.add_argument(
        "--delay-ms",
        type=parse_delay,
        default=150.0,
        metavar="MS",
        help="milliseconds added to each direction (default 150: a round trip of 300 ms)",
    )
    asyncio.run(main(parser.parse_args()))
