#!/usr/bin/env python3
"""A network between a follower and the leader of a wall, on one machine.

Listens on ADDR:PORT for both UDP (the network clock's packets) and TCP (the
wall's plan), and forwards to the leader's HOST:PORT:

- UDP: each request from a follower's clock goes to the leader, each reply
  back to that clock, each one delayed by DELAY +- JITTER ms (uniform) and
  dropped with probability LOSS; packets may pass each other, as on a real
  network with jitter.
- TCP: each chunk, either way, is delayed by DELAY +- JITTER ms and kept in
  order (a chunk never leaves before the one ahead of it); none is dropped.
  A connection the leader refuses (it is gone) is closed on the follower.
- SIGUSR1 slips a plan line with a start out of bounds to every follower.

This machine's kernel has no netem queueing discipline, hence this.

    bench/wall_relay.py --listen 127.0.0.1:7001 --to 127.0.0.1:7000 \
        [--delay 20] [--jitter 5] [--loss 0.01] [--seed N] [--realtime] [--stats FILE]
"""
import argparse
import asyncio
import json
import os
import random
import signal
import socket
import sys
import time

# A follower's clock that has sent nothing for this long is forgotten.
UDP_IDLE_S = 120


def host_port(text):
    host, _, port = text.rpartition(":")
    if not host or not port.isdigit():
        raise argparse.ArgumentTypeError(f"HOST:PORT, not {text!r}")
    return host.strip("[]"), int(port)


class Link:
    """Delay, jitter and loss, and what they did."""

    def __init__(self, delay_ms, jitter_ms, loss, seed):
        self.delay = delay_ms / 1000.0
        self.jitter = jitter_ms / 1000.0
        self.loss = loss
        self.rng = random.Random(seed)
        self.counts = {"udp_to_leader": 0, "udp_to_follower": 0, "udp_dropped": 0,
                       "tcp_chunks": 0, "tcp_bytes": 0, "tcp_connections": 0, "tcp_refused": 0}
        self.late_ms = []  # how much later than planned each UDP packet left (this process's own delay)

    def late_summary(self):
        late = sorted(self.late_ms[-20000:])
        if not late:
            return {}
        at = lambda q: round(late[min(len(late) - 1, int(q * len(late)))], 2)
        return {"late_ms_median": at(0.5), "late_ms_p99": at(0.99), "late_ms_max": round(late[-1], 2)}

    def pause(self):
        return max(0.0, self.delay + self.rng.uniform(-self.jitter, self.jitter))

    def dropped(self):
        return self.rng.random() < self.loss

    def carry(self, counter, send, *args):
        """One UDP packet either way: counted, perhaps dropped, else sent after its pause."""
        self.counts[counter] += 1
        if self.dropped():
            self.counts["udp_dropped"] += 1
            return
        loop = asyncio.get_running_loop()
        pause = self.pause()
        due = loop.time() + pause

        def go():
            self.late_ms.append((loop.time() - due) * 1000)
            send(*args)

        loop.call_later(pause, go)


class Clocks(asyncio.DatagramProtocol):
    """The listening UDP socket: one upstream socket per follower's clock, so
    the leader's replies find their way back."""

    def __init__(self, link, leader):
        self.link = link
        self.leader = leader
        self.transport = None
        self.upstream = {}  # follower's address -> [transport, last heard]

    def connection_made(self, transport):
        self.transport = transport

    def datagram_received(self, data, addr):
        loop = asyncio.get_running_loop()
        if addr not in self.upstream:
            self.upstream[addr] = [None, time.monotonic()]
            loop.create_task(self.open_upstream(addr))
        self.upstream[addr][1] = time.monotonic()
        self.link.carry("udp_to_leader", self.to_leader, addr, data)

    async def open_upstream(self, addr):
        loop = asyncio.get_running_loop()
        relay = self

        class Replies(asyncio.DatagramProtocol):
            def datagram_received(self, data, _):
                relay.link.carry("udp_to_follower", relay.to_follower, addr, data)

            def error_received(self, exc):
                pass  # the leader is gone: its clock's requests go unanswered

        transport, _ = await loop.create_datagram_endpoint(Replies, remote_addr=self.leader)
        self.upstream[addr][0] = transport

    def to_leader(self, addr, data):
        entry = self.upstream.get(addr)
        if entry and entry[0]:
            entry[0].sendto(data)

    def to_follower(self, addr, data):
        self.transport.sendto(data, addr)

    def error_received(self, exc):
        pass

    def forget_idle(self):
        now = time.monotonic()
        for addr, (transport, heard) in list(self.upstream.items()):
            if now - heard > UDP_IDLE_S:
                if transport:
                    transport.close()
                del self.upstream[addr]


async def pump(reader, writer, link):
    """One direction of a TCP connection: chunks delayed, in order."""
    loop = asyncio.get_running_loop()
    queue = asyncio.Queue()

    async def deliver():
        while True:
            due, data = await queue.get()
            wait = due - loop.time()
            if wait > 0:
                await asyncio.sleep(wait)
            if data is None:
                break
            writer.write(data)
            await writer.drain()

    sender = loop.create_task(deliver())
    last_due = 0.0
    try:
        while True:
            data = await reader.read(65536)
            # The end too comes after the delay, behind the data.
            due = max(loop.time() + link.pause(), last_due)
            last_due = due
            queue.put_nowait((due, data or None))
            if not data:
                break
            link.counts["tcp_chunks"] += 1
            link.counts["tcp_bytes"] += len(data)
        await sender
    except (ConnectionError, OSError):
        sender.cancel()
    finally:
        try:
            writer.close()
        except OSError:
            pass


async def serve(args):
    if args.realtime:
        # The relay stands for a network, which a busy machine does not slow down.
        try:
            os.sched_setscheduler(0, os.SCHED_FIFO, os.sched_param(10))
        except (OSError, AttributeError) as e:
            print(f"relay: no real-time priority ({e}); its own delays add to the network's", flush=True)
    link = Link(args.delay, args.jitter, args.loss, args.seed)
    loop = asyncio.get_running_loop()
    host, port = args.listen

    followers = set()

    def bend_plan():
        for w in list(followers):
            w.write(b"item next 99 18446744073709551615 4000000000 bad.mp4\n")

    loop.add_signal_handler(signal.SIGUSR1, bend_plan)

    async def on_follower(reader, writer):
        link.counts["tcp_connections"] += 1
        followers.add(writer)
        try:
            up_reader, up_writer = await asyncio.open_connection(*args.to)
        except OSError:
            link.counts["tcp_refused"] += 1
            writer.close()
            return
        for s in (writer, up_writer):
            sock = s.get_extra_info("socket")
            if sock is not None:
                sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        try:
            await asyncio.gather(pump(reader, up_writer, link), pump(up_reader, writer, link),
                                 return_exceptions=True)
        except asyncio.CancelledError:
            pass  # the relay is stopping
        finally:
            followers.discard(writer)

    server = await asyncio.start_server(on_follower, host, port, reuse_address=True)
    _, clocks = await loop.create_datagram_endpoint(lambda: Clocks(link, args.to), local_addr=(host, port))
    print(f"relay {host}:{port} -> {args.to[0]}:{args.to[1]}: {args.delay} +- {args.jitter} ms, "
          f"loss {args.loss:.1%} (UDP)", flush=True)

    stop = asyncio.Event()
    for sig in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(sig, stop.set)
    while not stop.is_set():
        try:
            await asyncio.wait_for(stop.wait(), timeout=10)
        except asyncio.TimeoutError:
            pass
        clocks.forget_idle()
        if args.stats:
            with open(args.stats, "w") as f:
                json.dump({**link.counts, **link.late_summary()}, f)
    server.close()
    if args.stats:
        with open(args.stats, "w") as f:
            json.dump({**link.counts, **link.late_summary()}, f)
    print("relay: " + ", ".join(f"{k} {v}" for k, v in {**link.counts, **link.late_summary()}.items()), flush=True)


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--listen", type=host_port, required=True, help="ADDR:PORT the follower is given (UDP and TCP)")
    p.add_argument("--to", type=host_port, required=True, help="the leader's HOST:PORT")
    p.add_argument("--delay", type=float, default=20.0, help="ms, each way (20)")
    p.add_argument("--jitter", type=float, default=5.0, help="+- ms, uniform (5)")
    p.add_argument("--loss", type=float, default=0.01, help="UDP packets dropped, 0..1 (0.01)")
    p.add_argument("--seed", type=int, default=None)
    p.add_argument("--realtime", action="store_true", help="run at real-time priority (SCHED_FIFO 10)")
    p.add_argument("--stats", help="write the counts here, as JSON, every 10 s and at the end")
    args = p.parse_args()
    if args.jitter > args.delay:
        sys.exit("the jitter cannot be larger than the delay")
    asyncio.run(serve(args))


if __name__ == "__main__":
    main()
