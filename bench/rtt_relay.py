#!/usr/bin/env python3
"""A loopback TCP relay that adds round-trip time, and counts what crosses it.

    python3 bench/rtt_relay.py --target PORT --rtt-ms 80

Listens on 127.0.0.1 (a free port, printed as "PORT <n>"), connects every
accepted client to 127.0.0.1:PORT, and delays every chunk by half the
round-trip time in each direction, keeping its order; the client's first
bytes on a connection also wait one round trip, as they would behind a TCP
handshake. A request and its answer then cost one round trip, a new
connection one more, a full TLS 1.2 handshake two more, a resumed one one. It counts connections, TLS
handshakes (ClientHello records from the client) and, of those, resumed
ones (the server's first flight carries no Certificate message).

As a module: Relay(target_port, rtt_ms).start() runs it in a thread of its
own; .port, .stats() and .stop(). Standard library only.
"""

import argparse
import asyncio
import sys
import threading
import time

CHUNK = 65536


class _TlsWatch:
    """Reads the server's records up to its ChangeCipherSpec: full or resumed."""

    def __init__(self):
        self.buf = bytearray()
        self.hs = bytearray()  # handshake message bytes, across records
        self.done = False
        self.full = False

    def feed(self, data):
        if self.done:
            return
        self.buf += data
        while len(self.buf) >= 5 and not self.done:
            ctype, length = self.buf[0], int.from_bytes(self.buf[3:5], "big")
            if len(self.buf) < 5 + length:
                return
            body = bytes(self.buf[5:5 + length])
            del self.buf[:5 + length]
            if ctype == 20:  # ChangeCipherSpec: the plain flight is over
                self.done = True
            elif ctype == 22:
                self.hs += body
                while len(self.hs) >= 4:
                    mtype, mlen = self.hs[0], int.from_bytes(self.hs[1:4], "big")
                    if mtype == 11:
                        self.full = True
                    if len(self.hs) < 4 + mlen:
                        break
                    del self.hs[:4 + mlen]
            else:
                self.done = True


class Relay:
    def __init__(self, target_port, rtt_ms, target_host="127.0.0.1"):
        self.target = (target_host, target_port)
        self.half = rtt_ms / 2000.0
        self.port = 0
        self.lock = threading.Lock()
        self.counts = {"connections": 0, "handshakes": 0, "resumed": 0}
        self.loop = None
        self.thread = None
        self._ready = threading.Event()

    def stats(self):
        with self.lock:
            return dict(self.counts)

    def _count(self, key):
        with self.lock:
            self.counts[key] += 1

    async def _pipe(self, reader, writer, watch=None, hello=None, not_before=0.0):
        queue = asyncio.Queue()

        async def pump_in():
            while True:
                data = await reader.read(CHUNK)
                await queue.put((max(time.monotonic(), not_before) + self.half, data))
                if not data:
                    return

        async def pump_out():
            first = True
            while True:
                due, data = await queue.get()
                wait = due - time.monotonic()
                if wait > 0:
                    await asyncio.sleep(wait)
                if not data:
                    try:
                        writer.write_eof()
                    except (OSError, RuntimeError):
                        pass
                    return
                if hello is not None and first and data[:1] == b"\x16" and data[5:6] == b"\x01":
                    hello()
                first = False
                if watch is not None and not watch.done:
                    watch.feed(data)
                    if watch.done and not watch.full:
                        self._count("resumed")
                writer.write(data)
                await writer.drain()

        try:
            await asyncio.gather(pump_in(), pump_out())
        except (OSError, ConnectionError):
            pass

    async def _client(self, c_reader, c_writer):
        self._count("connections")
        try:
            s_reader, s_writer = await asyncio.open_connection(*self.target)
        except OSError:
            c_writer.close()
            return
        watch = _TlsWatch()

        def hello():
            self._count("handshakes")

        # The kernel completed the client's connect at once; a real one takes
        # a round trip before the client's first bytes can leave.
        opened = time.monotonic() + 2 * self.half
        await asyncio.gather(self._pipe(c_reader, s_writer, hello=hello, not_before=opened),
                             self._pipe(s_reader, c_writer, watch=watch))
        for w in (c_writer, s_writer):
            w.close()

    async def _main(self):
        server = await asyncio.start_server(self._client, "127.0.0.1", 0)
        self.port = server.sockets[0].getsockname()[1]
        self._stop = asyncio.Event()
        self._ready.set()
        async with server:
            await self._stop.wait()

    def start(self):
        def run():
            self.loop = asyncio.new_event_loop()
            self.loop.run_until_complete(self._main())

        self.thread = threading.Thread(target=run, daemon=True)
        self.thread.start()
        self._ready.wait(10)
        return self

    def stop(self):
        if self.loop is not None:
            self.loop.call_soon_threadsafe(self._stop.set)
            self.thread.join(5)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--target", type=int, required=True, help="port on 127.0.0.1")
    ap.add_argument("--rtt-ms", type=float, required=True)
    args = ap.parse_args()
    relay = Relay(args.target, args.rtt_ms).start()
    print("PORT %d" % relay.port, flush=True)
    try:
        sys.stdin.read()  # until the caller closes our input
    except KeyboardInterrupt:
        pass
    relay.stop()
    print("stats %s" % relay.stats(), file=sys.stderr)


if __name__ == "__main__":
    main()
