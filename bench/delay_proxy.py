#!/usr/bin/env python3
"""A TCP proxy that puts a fixed latency between its clients and one
upstream server, for benchmarks of far mirrors on a machine whose kernel
cannot delay packets itself.

Every chunk read from one side is written to the other side --delay-ms
later, in the order it was read; each direction of each connection is
delayed on its own, so a request and its answer take twice the delay.
A new connection's first bytes to the server wait one more round trip,
which a real connection spends on its handshake before it can send.
End of stream travels behind the data like the rest.

What it does not model: a limit on bandwidth, loss, and TCP's slow start.
Up to --buffer-mb per direction of a connection is held in flight, so a
transfer's speed is bounded by that over the delay, far above a link's.

  delay_proxy.py --upstream 127.0.0.1:8080 --delay-ms 25 --port-file p
writes the port it listens on (127.0.0.1, chosen by the system unless
--port is given) to the port file once it accepts connections. On
SIGTERM or SIGINT it prints how many connections and bytes it carried.
"""

import argparse
import asyncio
import collections
import os
import signal
import sys

# Larger than a default transport's limits: fewer pauses and wakeups per
# megabyte on bulk transfers, which keeps the proxy's own cost down.
WRITE_HIGH = 4 << 20
WRITE_LOW = 1 << 20


class Direction:
    """Bytes read from `source` reach `sink` `delay` seconds later. The
    sink is attached once its connection is up; what arrived before waits."""

    def __init__(self, link, loop, delay, limit, not_before, stats, key):
        self.link = link
        self.loop = loop
        self.delay = delay
        self.limit = limit
        self.not_before = not_before
        self.stats = stats
        self.key = key
        self.queue = collections.deque()  # (due, bytes or None for end of stream)
        self.queued = 0
        self.timer = None
        self.source = None
        self.sink = None
        self.sink_full = False
        self.source_paused = False
        self.done = False
        self.close_after = False

    def feed(self, data):
        if self.done or (self.queue and self.queue[-1][1] is None):
            return  # nothing follows the end of stream
        due = max(self.loop.time() + self.delay, self.not_before)
        self.queue.append((due, data))
        if data is not None:
            self.queued += len(data)
            self.stats[self.key] += len(data)
            if self.queued > self.limit and not self.source_paused and self.source is not None:
                self.source.pause_reading()
                self.source_paused = True
        self.arm()

    def arm(self):
        if self.timer is None and self.queue and self.sink is not None and not self.sink_full:
            self.timer = self.loop.call_at(self.queue[0][0], self.flush)

    def flush(self):
        self.timer = None
        if self.sink.is_closing():
            self.queue.clear()
            return
        now = self.loop.time()
        while self.queue and self.queue[0][0] <= now and not self.sink_full:
            _, data = self.queue.popleft()
            if data is None:
                self.done = True
                if self.sink.can_write_eof():
                    self.sink.write_eof()
                if self.close_after:
                    self.sink.close()
                self.link.direction_done()
                return
            self.queued -= len(data)
            # May call pause_writing() at once, which stops this loop.
            self.sink.write(data)
        if self.source_paused and self.queued <= self.limit // 2 and self.source is not None:
            self.source.resume_reading()
            self.source_paused = False
        self.arm()

    def sink_paused(self):
        self.sink_full = True
        if self.timer is not None:
            self.timer.cancel()
            self.timer = None

    def sink_resumed(self):
        self.sink_full = False
        self.arm()

    def cancel(self):
        if self.timer is not None:
            self.timer.cancel()
            self.timer = None
        self.queue.clear()


class Side(asyncio.Protocol):
    """One of a connection's two sockets: what it reads goes into `out`,
    and `into` is the direction that writes to it."""

    def __init__(self, link, out, into):
        self.link = link
        self.out = out
        self.into = into
        self.transport = None

    def connection_made(self, transport):
        self.transport = transport
        if self.link.closed:  # the client left while this side was connecting
            transport.close()
            return
        transport.set_write_buffer_limits(high=WRITE_HIGH, low=WRITE_LOW)
        self.out.source = transport
        self.into.sink = transport
        self.into.arm()

    def data_received(self, data):
        self.out.feed(data)

    def eof_received(self):
        self.out.feed(None)
        return True  # half-closed: the other direction may still be writing

    def pause_writing(self):
        self.into.sink_paused()

    def resume_writing(self):
        self.into.sink_resumed()

    def connection_lost(self, exc):
        self.link.lost(self, exc)


class Link:
    """One client connection and its connection to the upstream server."""

    def __init__(self, proxy):
        loop = proxy.loop
        handshake = 3 * proxy.delay  # the client's first bytes would arrive a round trip later
        self.proxy = proxy
        self.up = Direction(self, loop, proxy.delay, proxy.limit, loop.time() + handshake, proxy.stats, "up_bytes")
        self.down = Direction(self, loop, proxy.delay, proxy.limit, 0.0, proxy.stats, "down_bytes")
        self.client = Side(self, self.up, self.down)
        self.server = Side(self, self.down, self.up)
        self.closed = False

    async def connect(self):
        try:
            await self.proxy.loop.create_connection(lambda: self.server, self.proxy.host, self.proxy.port)
        except OSError as e:
            print(f"delay_proxy: cannot reach {self.proxy.host}:{self.proxy.port}: {e}", file=sys.stderr)
            if self.client.transport is not None:
                self.client.transport.abort()

    def direction_done(self):
        if self.up.done and self.down.done:
            self.closed = True
            for side in (self.client, self.server):
                if side.transport is not None:
                    side.transport.close()

    def lost(self, side, exc):
        if self.closed:
            return
        self.closed = True
        other = self.server if side is self.client else self.client
        if other.transport is None:
            return
        if exc is not None:
            # A reset is passed on at once.
            self.up.cancel()
            self.down.cancel()
            other.transport.abort()
            return
        # A close reaches the other side behind what is still on its way.
        pending = self.up if other is self.server else self.down
        if pending.queue:
            pending.feed(None)
            pending.close_after = True
        else:
            other.transport.close()


class Proxy:
    def __init__(self, loop, host, port, delay, limit):
        self.loop = loop
        self.host = host
        self.port = port
        self.delay = delay
        self.limit = limit
        self.stats = collections.Counter()

    def accept(self):
        link = Link(self)
        self.stats["connections"] += 1
        self.loop.create_task(link.connect())
        return link.client


async def serve(args):
    loop = asyncio.get_running_loop()
    host, _, port = args.upstream.rpartition(":")
    proxy = Proxy(loop, host, int(port), args.delay_ms / 1000.0, args.buffer_mb << 20)
    server = await loop.create_server(proxy.accept, "127.0.0.1", args.port, backlog=1024)
    bound = server.sockets[0].getsockname()[1]
    if args.port_file:
        tmp = args.port_file + ".tmp"
        with open(tmp, "w") as f:
            f.write(f"{bound}\n")
        os.replace(tmp, args.port_file)
    stop = asyncio.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    await stop.wait()
    server.close()
    s = proxy.stats
    print(f"delay_proxy: {s['connections']} connections, {s['up_bytes']} bytes to the server, "
          f"{s['down_bytes']} bytes to clients", flush=True)


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--upstream", required=True, help="host:port of the server")
    p.add_argument("--delay-ms", type=float, default=25.0, help="delay of each direction")
    p.add_argument("--port", type=int, default=0)
    p.add_argument("--port-file")
    p.add_argument("--buffer-mb", type=int, default=64, help="bytes held in flight per direction of a connection")
    asyncio.run(serve(p.parse_args()))


if __name__ == "__main__":
    main()
