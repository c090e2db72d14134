"""A TCP proxy that delays every byte by half the round trip each way, for
trying remote serial ports over a slow link. With --cut-after N it drops
both connections once N bytes went from the client to the server, as a
link that fails mid-transfer. With --drop-file PATH it drops every
connection and turns new ones away while PATH exists, as a site whose link
is down for a while.
usage: delay_proxy.py --to PORT --rtt MS [--cut-after BYTES] [--drop-file PATH]
Prints "READY <port>" when it listens on 127.0.0.1."""
import argparse
import asyncio
import os
import sys
import time


async def pump(reader, writer, delay, budget, cut):
    queue = asyncio.Queue()

    async def deliver():
        while True:
            due, data = await queue.get()
            if data is None:
                break
            wait = due - time.monotonic()
            if wait > 0:
                await asyncio.sleep(wait)
            writer.write(data)
            await writer.drain()
        writer.close()

    sender = asyncio.ensure_future(deliver())
    try:
        while True:
            data = await reader.read(65536)
            if not data:
                break
            if budget is not None:
                budget[0] -= len(data)
                if budget[0] <= 0:
                    cut.set()
                    break
            await queue.put((time.monotonic() + delay, data))
    except ConnectionError:
        pass
    await queue.put((0, None))
    await sender


async def serve(args):
    writers = set()

    def link_down():
        return args.drop_file and os.path.exists(args.drop_file)

    async def watch_drop_file():
        while True:
            if link_down():
                for w in list(writers):
                    w.transport.abort()
            await asyncio.sleep(0.1)

    async def handle(client_reader, client_writer):
        if link_down():
            client_writer.transport.abort()
            return
        server_reader, server_writer = await asyncio.open_connection("127.0.0.1", args.to)
        writers.update((client_writer, server_writer))
        delay = args.rtt / 2000.0
        cut = asyncio.Event()
        budget = [args.cut_after] if args.cut_after else None
        up = asyncio.ensure_future(pump(client_reader, server_writer, delay, budget, cut))
        down = asyncio.ensure_future(pump(server_reader, client_writer, delay, None, cut))
        waiter = asyncio.ensure_future(cut.wait())
        await asyncio.wait([up, down, waiter], return_when=asyncio.FIRST_COMPLETED)
        if cut.is_set():
            for w in (client_writer, server_writer):
                w.transport.abort()
        await asyncio.gather(up, down, return_exceptions=True)
        waiter.cancel()
        writers.difference_update((client_writer, server_writer))

    server = await asyncio.start_server(handle, "127.0.0.1", 0)
    # Held so the task lives as long as the server.
    watcher = asyncio.ensure_future(watch_drop_file()) if args.drop_file else None
    print("READY %d" % server.sockets[0].getsockname()[1], flush=True)
    async with server:
        await server.serve_forever()


parser = argparse.ArgumentParser()
parser.add_argument("--to", type=int, required=True)
parser.add_argument("--rtt", type=float, default=0)
parser.add_argument("--cut-after", type=int, default=0)
parser.add_argument("--drop-file")
try:
    asyncio.run(serve(parser.parse_args()))
except KeyboardInterrupt:
    sys.exit(0)
