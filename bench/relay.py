#!/usr/bin/env python3
"""A TCP relay that delays every chunk by half a round trip in each direction,
so a request and its answer cost one round trip more than on loopback.

Usage: bench/relay.py LISTEN_PORT TARGET_PORT RTT_MS
Prints "ready" on stdout once it listens on 127.0.0.1:LISTEN_PORT.
"""

import asyncio
import sys
import time


async def pipe(reader, writer, delay, first_extra=0.0):
    """Copies reader to writer, each chunk released `delay` seconds after it
    arrived (the first `first_extra` later still); order is kept and reading
    never waits for the delay."""
    queue = asyncio.Queue()
    extra = first_extra

    async def release():
        while True:
            due, data = await queue.get()
            if data is None:
                break
            wait = due - time.monotonic()
            if wait > 0:
                await asyncio.sleep(wait)
            writer.write(data)
            await writer.drain()
        try:
            writer.write_eof()
        except (OSError, RuntimeError):
            pass

    sender = asyncio.ensure_future(release())
    try:
        while True:
            data = await reader.read(1 << 16)
            if not data:
                break
            queue.put_nowait((time.monotonic() + delay + extra, data))
            extra = 0.0
    except (ConnectionError, OSError):
        pass
    queue.put_nowait((0, None))
    try:
        await sender
    except (ConnectionError, OSError):
        pass


async def serve(listen_port, target_port, delay):
    async def handle(client_reader, client_writer):
        try:
            server_reader, server_writer = await asyncio.open_connection("127.0.0.1", target_port)
        except OSError:
            client_writer.close()
            return
        # A new connection costs the round trip of its handshake before the
        # first request can leave.
        await asyncio.gather(pipe(client_reader, server_writer, delay, 2 * delay),
                             pipe(server_reader, client_writer, delay))
        for w in (client_writer, server_writer):
            w.close()

    server = await asyncio.start_server(handle, "127.0.0.1", listen_port, backlog=256)
    print("ready", flush=True)
    async with server:
        await server.serve_forever()


def main():
    listen_port, target_port, rtt_ms = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3])
    asyncio.run(serve(listen_port, target_port, rtt_ms / 2000.0))


if __name__ == "__main__":
    main()
