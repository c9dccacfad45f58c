"""kavri side by side with the usual ways of moving messages between processes on one machine.

    make bench                                   # builds, installs the peers, runs this
    PYTHONPATH=build/python python3.13 bench/compare.py [options]

Every scenario runs kavri and its peers in one invocation, on the same machine, with the same
payloads, and prints a table of ratios (kavri's figure divided by the peer's):

  (a) 1 -> 1 throughput, 64 B and 4 KiB, messages per second
  (b) one-way latency p50 / p99 / p99.9 at a steady rate, subscribers asleep between messages
  (c) fan-out 1 -> 4 and 1 -> 16, deliveries per second (every message reaches every receiver)
  (d) 64 KiB bandwidth, beside memcpy
  (e) log on versus off, and the replay speed of a late subscriber from cursor 0

Peers: multiprocessing.Pipe, multiprocessing.Queue and a bare Unix-socket pair of this
interpreter; ZeroMQ over ipc:// through bench/zmq_harness (C++ at both ends); Redis Streams
(redis-server, XADD / XREAD, appendonly yes with appendfsync everysec) on a loopback port,
spoken to with the small RESP client below. Peers that are not installed are skipped.

Timing: a run starts when every process has set up and met at a barrier; it ends at the last
receive of the last receiver (CLOCK_MONOTONIC, which all processes share). Each figure is the
best of --repeat runs.
"""

import argparse
import array
import json
import multiprocessing
import os
import platform
import queue
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time
import traceback

import kavri

STAMP = struct.Struct("<Q")
now_ns = time.monotonic_ns


def percentile(ordered, p):
    """Nearest rank of an ascending list, in microseconds."""
    if not ordered:
        return float("nan")
    rank = max(1, -(-len(ordered) * p // 100))
    return ordered[int(rank) - 1] / 1000.0


def latency_summary(samples_ns):
    ordered = sorted(samples_ns)
    return {"p50": percentile(ordered, 50), "p99": percentile(ordered, 99),
            "p999": percentile(ordered, 99.9), "samples": len(ordered)}


def paced(count, rate):
    """Yields `count` times at a steady rate, sleeping (not spinning) in between."""
    interval = 1.0 / rate
    next_at = time.perf_counter()
    for i in range(count):
        next_at += interval
        delay = next_at - time.perf_counter()
        if delay > 0:
            time.sleep(delay)
        yield i


def stamped(size):
    pad = bytes(max(0, size - STAMP.size))
    return lambda: STAMP.pack(now_ns()) + pad


class Stall(Exception):
    pass


# --------------------------------------------------------------------------------------------
# Running a group of processes: one sender, some receivers, one barrier before the clock starts
# and one after the last receive (so that no sender goes away while a receiver still reads).

def child(fn, results, index, barrier, args):
    try:
        results.put((index, fn(barrier, *args)))
    except BaseException:  # noqa: B902 - the parent reports it
        barrier.abort()
        results.put((index, {"error": traceback.format_exc()}))


def run_group(ctx, sender, sender_args, receiver, receiver_args, limit_secs=120.0):
    """Runs sender(barrier, *sender_args) and receiver(barrier, *args) for each args tuple in
    `receiver_args`, each in its own process; returns (sender result, receiver results)."""
    results = ctx.Queue()
    barrier = ctx.Barrier(1 + len(receiver_args), timeout=limit_secs)
    jobs = [(sender, sender_args)] + [(receiver, a) for a in receiver_args]
    procs = [ctx.Process(target=child, args=(fn, results, i, barrier, a))
             for i, (fn, a) in enumerate(jobs)]
    for p in procs:
        p.start()
    got, deadline, error = {}, time.monotonic() + limit_secs, None
    try:
        while len(got) < len(procs):
            try:
                index, outcome = results.get(timeout=max(0.1, deadline - time.monotonic()))
            except queue.Empty:
                error = f"no result within {limit_secs:.0f} s"
                break
            if "error" in outcome:
                error = error or outcome["error"]
            got[index] = outcome
    finally:
        for p in procs:
            p.join(timeout=5 if error is None else 1)
            if p.is_alive():
                p.kill()
                p.join()
    if error:
        raise RuntimeError(error)
    return got[0], [got[i] for i in range(1, len(procs))]


def throughput(sent, received):
    """Deliveries per second: all receivers' messages over first send to last receive."""
    deliveries = sum(r["count"] for r in received)
    last = max(r["last"] for r in received)
    return deliveries / ((last - sent["start"]) / 1e9)


def merged_latency(received):
    samples = array.array("q")
    for r in received:
        samples.frombytes(r["lat"])
    return latency_summary(samples)


# --------------------------------------------------------------------------------------------
# kavri

def kavri_bus(base, wal, geometry):
    capacity, slot_size = geometry
    return kavri._RustBus("bench", base_dir=base, capacity=capacity, slot_size=slot_size,
                          wal_enabled=wal)


def kavri_send(barrier, base, topic, wal, geometry, receivers, n, size, batch, rate):
    bus = kavri_bus(base, wal, geometry)
    pub = bus.topic(topic)
    pub.wait_for_subscribers(n=receivers, timeout_secs=60.0)
    barrier.wait()
    start = now_ns()
    if rate:
        make = stamped(size)
        for _ in paced(n, rate):
            pub.publish(make())
    else:
        payloads = [bytes(size)] * batch
        sent = 0
        while sent < n:
            left = n - sent
            written = pub.publish_many(payloads if left >= batch else payloads[:left])
            sent += written
            if written == 0:
                os.sched_yield()  # the ring is full: the slowest receiver is a ring behind
    barrier.wait()
    return {"start": start}


def kavri_receive(barrier, base, topic, wal, geometry, n, size, mode):
    bus = kavri_bus(base, wal, geometry)
    sub = bus.subscribe(topic, timeout_secs=60.0)
    barrier.wait()
    count, lat = 0, array.array("q")
    quiet_since = time.monotonic()
    if mode == "batch":
        # A batch's bytes objects stay alive together: past a few hundred KiB the allocator
        # hands memory back to the system after each batch and every batch pays page faults
        # again, so the batch is kept to 64 KiB of payload.
        per_call = max(1, min(1024, 65536 // max(size, 1)))
        while count < n:
            got = len(sub.recv_batch(per_call, timeout_secs=1.0))
            count += got
            quiet_since = check_stall(got, quiet_since)
    elif mode == "buffer":
        buf = bytearray(size * max(1, (256 << 10) // size))  # 256 KiB
        while count < n:
            got = sub.recv_into_buffer(buf, size, timeout_secs=1.0)
            count += got
            quiet_since = check_stall(got, quiet_since)
    elif mode == "into":
        buf = bytearray(sub.max_payload_size)
        while count < n:
            got = sub.recv_timeout_into(buf, timeout_secs=1.0)
            count += got is not None
            quiet_since = check_stall(got is not None, quiet_since)
    elif mode == "latency":
        while count < n:
            payload = sub.recv()  # asleep on the socket until the publisher wakes it
            lat.append(now_ns() - STAMP.unpack_from(payload)[0])
            count += 1
    else:
        raise ValueError(mode)
    last = now_ns()
    barrier.wait()
    return {"count": count, "last": last, "lat": lat.tobytes()}


def check_stall(got, quiet_since):
    if got:
        return time.monotonic()
    if time.monotonic() - quiet_since > 20:
        raise Stall("nothing received for 20 s")
    return quiet_since


class Kavri:
    def __init__(self, ctx, base):
        self.ctx, self.base, self.runs = ctx, base, 0

    def geometry(self, size):
        # The defaults (256 slots of 64 KiB) suit large messages; small ones get a ring of
        # 4096 slots of their own size, 16 MiB or less, as a user would configure.
        return (256, 65536) if size > 4096 else (4096, max(size, 64))

    def run(self, n, size, receivers=1, mode="batch", wal=False, batch=256, rate=None):
        self.runs += 1
        topic = f"t{self.runs}"
        geometry = self.geometry(size)
        try:
            sent, received = run_group(
                self.ctx, kavri_send,
                (self.base, topic, wal, geometry, receivers, n, size, batch, rate),
                kavri_receive,
                [(self.base, topic, wal, geometry, n, size, mode)] * receivers)
        finally:
            kavri_bus(self.base, wal, geometry).clean_topic(topic)
        return sent, received


# --------------------------------------------------------------------------------------------
# multiprocessing.Pipe, multiprocessing.Queue, a Unix-socket pair

def pipe_send(barrier, ends, n, size, rate):
    barrier.wait()
    start = now_ns()
    if rate:
        make = stamped(size)
        for _ in paced(n, rate):
            payload = make()
            for end in ends:
                end.send_bytes(payload)
    else:
        payload = bytes(size)
        for _ in range(n):
            for end in ends:
                end.send_bytes(payload)
    barrier.wait()
    return {"start": start}


def pipe_receive(barrier, end, n, size, latency):
    barrier.wait()
    lat = array.array("q")
    for _ in range(n):
        payload = end.recv_bytes()
        if latency:
            lat.append(now_ns() - STAMP.unpack_from(payload)[0])
    last = now_ns()
    barrier.wait()
    return {"count": n, "last": last, "lat": lat.tobytes()}


def queue_send(barrier, queues, n, size, rate):
    barrier.wait()
    start = now_ns()
    if rate:
        make = stamped(size)
        for _ in paced(n, rate):
            payload = make()
            for q in queues:
                q.put(payload)
    else:
        payload = bytes(size)
        for _ in range(n):
            for q in queues:
                q.put(payload)
    barrier.wait()
    return {"start": start}


def queue_receive(barrier, q, n, size, latency):
    barrier.wait()
    lat = array.array("q")
    for _ in range(n):
        payload = q.get(timeout=60)
        if latency:
            lat.append(now_ns() - STAMP.unpack_from(payload)[0])
    last = now_ns()
    barrier.wait()
    return {"count": n, "last": last, "lat": lat.tobytes()}


def socket_send(barrier, socks, n, size, rate):
    barrier.wait()
    start = now_ns()
    if rate:
        make = stamped(size)
        for _ in paced(n, rate):
            payload = make()
            for s in socks:
                s.sendall(payload)
    else:
        payload = bytes(size)
        for _ in range(n):
            for s in socks:
                s.sendall(payload)
    barrier.wait()
    return {"start": start}


def socket_receive(barrier, s, n, size, latency):
    barrier.wait()
    buf = bytearray(size)
    view = memoryview(buf)
    lat = array.array("q")
    for _ in range(n):
        # Fixed-size messages on a stream: one recv_into per message unless the kernel hands
        # over a part (large messages).
        got = s.recv_into(view, size)
        while got < size:
            more = s.recv_into(view[got:], size - got)
            if more == 0:
                raise EOFError("sender closed")
            got += more
        if latency:
            lat.append(now_ns() - STAMP.unpack_from(buf)[0])
    last = now_ns()
    barrier.wait()
    return {"count": n, "last": last, "lat": lat.tobytes()}


def run_pipe(ctx, n, size, receivers=1, rate=None):
    pairs = [ctx.Pipe(duplex=False) for _ in range(receivers)]
    return run_group(ctx, pipe_send, ([w for _, w in pairs], n, size, rate), pipe_receive,
                     [(r, n, size, rate is not None) for r, _ in pairs])


def run_queue(ctx, n, size, receivers=1, rate=None):
    queues = [ctx.Queue(maxsize=1000) for _ in range(receivers)]
    return run_group(ctx, queue_send, (queues, n, size, rate), queue_receive,
                     [(q, n, size, rate is not None) for q in queues])


def run_socket(ctx, n, size, receivers=1, rate=None):
    pairs = [socket.socketpair(socket.AF_UNIX, socket.SOCK_STREAM) for _ in range(receivers)]
    try:
        return run_group(ctx, socket_send, ([a for a, _ in pairs], n, size, rate),
                         socket_receive, [(b, n, size, rate is not None) for _, b in pairs])
    finally:
        for a, b in pairs:
            a.close()
            b.close()


# --------------------------------------------------------------------------------------------
# ZeroMQ (C++ harness)

class Zmq:
    def __init__(self, harness, tmp):
        self.harness, self.tmp, self.runs = harness, tmp, 0

    def call(self, *args):
        self.runs += 1
        endpoint = f"ipc://{self.tmp}/zmq-{self.runs}.ipc"
        out = subprocess.run([self.harness, args[0], endpoint, *map(str, args[1:])],
                             capture_output=True, text=True, timeout=150, check=True)
        return json.loads(out.stdout)

    def throughput(self, n, size, receivers=1):
        r = self.call("throughput", size, n, receivers)
        return r["deliveries"] / r["secs"]

    def latency(self, n, size, rate):
        return self.call("latency", size, n, rate)


# --------------------------------------------------------------------------------------------
# Redis Streams: the server, and a minimal RESP client

class Resp:
    """Enough of RESP2 for XADD, XREAD, DEL and friends: commands are lists of bytes."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=60)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.buf, self.pos = b"", 0

    @staticmethod
    def encode(args):
        out = [b"*%d\r\n" % len(args)]
        for a in args:
            if isinstance(a, str):
                a = a.encode()
            out.append(b"$%d\r\n" % len(a))
            out.append(a)
            out.append(b"\r\n")
        return b"".join(out)

    def send(self, *commands):
        self.sock.sendall(b"".join(self.encode(c) for c in commands))

    def call(self, *args):
        self.send(args)
        return self.reply()

    def fill(self, need):
        """Makes `need` bytes available at self.pos."""
        while len(self.buf) - self.pos < need:
            chunk = self.sock.recv(max(1 << 20, need))
            if not chunk:
                raise EOFError("redis closed the connection")
            self.buf = self.buf[self.pos:] + chunk
            self.pos = 0

    def line(self):
        while (end := self.buf.find(b"\r\n", self.pos)) < 0:
            self.fill(len(self.buf) - self.pos + 1)
        text = self.buf[self.pos:end]
        self.pos = end + 2
        return text

    def reply(self):
        head = self.line()
        kind, rest = head[:1], head[1:]
        if kind == b"+":
            return rest
        if kind == b"-":
            raise RuntimeError(f"redis: {rest.decode()}")
        if kind == b":":
            return int(rest)
        if kind == b"$":
            length = int(rest)
            if length < 0:
                return None
            self.fill(length + 2)
            value = self.buf[self.pos:self.pos + length]
            self.pos += length + 2
            return value
        if kind == b"*":
            length = int(rest)
            return None if length < 0 else [self.reply() for _ in range(length)]
        raise RuntimeError(f"redis: unexpected reply {head[:40]!r}")

    def close(self):
        self.sock.close()


class RedisServer:
    """redis-server on a free loopback port, its files in a temporary directory; stopped (the
    process this object started, by its pid) and removed by stop()."""

    def __init__(self, binary, tmp):
        self.dir = tempfile.mkdtemp(prefix="redis-", dir=tmp)
        for _ in range(5):
            with socket.socket() as probe:
                probe.bind(("127.0.0.1", 0))
                self.port = probe.getsockname()[1]
            self.proc = subprocess.Popen(
                [binary, "--port", str(self.port), "--bind", "127.0.0.1", "--dir", self.dir,
                 "--appendonly", "yes", "--appendfsync", "everysec", "--save", "",
                 "--auto-aof-rewrite-percentage", "0", "--daemonize", "no",
                 "--logfile", os.path.join(self.dir, "redis.log")],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            deadline = time.monotonic() + 10
            while time.monotonic() < deadline and self.proc.poll() is None:
                try:
                    client = Resp(self.port)
                    client.call("PING")
                    client.close()
                    return
                except OSError:
                    time.sleep(0.05)
            self.stop()
        raise RuntimeError("redis-server did not start")

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        shutil.rmtree(self.dir, ignore_errors=True)


REDIS_PIPELINE = 100  # XADDs per round trip in the throughput runs


def redis_send(barrier, port, stream, n, size, rate):
    client = Resp(port)
    barrier.wait()
    start = now_ns()
    if rate:
        make = stamped(size)
        for _ in paced(n, rate):
            client.call("XADD", stream, "*", "d", make())
    else:
        payload = bytes(size)
        command = ("XADD", stream, "*", "d", payload)
        sent = 0
        while sent < n:
            k = min(REDIS_PIPELINE, n - sent)
            client.send(*([command] * k))
            for _ in range(k):
                client.reply()
            sent += k
    barrier.wait()
    client.close()
    return {"start": start}


def redis_receive(barrier, port, stream, n, size, latency):
    client = Resp(port)
    barrier.wait()
    count, last_id, lat = 0, b"0-0", array.array("q")
    while count < n:
        reply = client.call("XREAD", "COUNT", "1000", "BLOCK", "20000", "STREAMS", stream,
                            last_id)
        if reply is None:
            raise Stall("XREAD: nothing for 20 s")
        entries = reply[0][1]
        t = now_ns()
        for entry_id, fields in entries:
            if len(fields[1]) != size:
                raise AssertionError("wrong payload size from redis")
            if latency:
                lat.append(t - STAMP.unpack_from(fields[1])[0])
        count += len(entries)
        last_id = entries[-1][0]
    last = now_ns()
    barrier.wait()
    client.close()
    return {"count": count, "last": last, "lat": lat.tobytes()}


def redis_replay(barrier, port, stream, n, size):
    client = Resp(port)
    barrier.wait()
    start = now_ns()
    count, last_id, payload_bytes = 0, b"0-0", 0
    while count < n:
        entries = client.call("XREAD", "COUNT", "1000", "STREAMS", stream, last_id)[0][1]
        for _, fields in entries:
            payload_bytes += len(fields[1])
        count += len(entries)
        last_id = entries[-1][0]
    secs = (now_ns() - start) / 1e9
    barrier.wait()
    client.close()
    return {"count": count, "bytes": payload_bytes, "secs": secs, "last": now_ns()}


def idle(barrier):
    barrier.wait()
    barrier.wait()
    return {}


class Redis:
    def __init__(self, ctx, server):
        self.ctx, self.port, self.runs = ctx, server.port, 0

    def run(self, n, size, receivers=1, rate=None):
        self.runs += 1
        stream = f"s{self.runs}"
        try:
            return run_group(self.ctx, redis_send, (self.port, stream, n, size, rate),
                             redis_receive,
                             [(self.port, stream, n, size, rate is not None)] * receivers)
        finally:
            self.drop(stream)

    def drop(self, stream):
        client = Resp(self.port)
        client.call("DEL", stream)
        client.close()

    def fill(self, stream, n, size):
        client = Resp(self.port)
        payload = bytes(size)
        sent = 0
        while sent < n:
            k = min(REDIS_PIPELINE, n - sent)
            client.send(*([("XADD", stream, "*", "d", payload)] * k))
            for _ in range(k):
                client.reply()
            sent += k
        client.close()


# --------------------------------------------------------------------------------------------
# memcpy (the bandwidth reference)

def memcpy_rate(size, seconds=0.5):
    """Bytes per second of one stream of `size`-byte copies: out of a 16 MiB ring of blocks,
    like the ring's slots, into one buffer (a receive buffer that is reused)."""
    ring = bytearray(16 << 20)
    dst = memoryview(bytearray(size))
    src = memoryview(ring)
    blocks = len(ring) // size
    copied, i = 0, 0
    start = time.perf_counter()
    while (elapsed := time.perf_counter() - start) < seconds:
        for _ in range(256):
            off = (i % blocks) * size
            dst[:] = src[off:off + size]
            i += 1
        copied += 256 * size
    return copied / elapsed


# --------------------------------------------------------------------------------------------
# The scenarios

class Table:
    def __init__(self, title, unit, higher_is_better=True):
        self.title, self.unit, self.higher = title, unit, higher_is_better
        self.rows = []  # (name, value, is_kavri, note)

    def add(self, name, value, kavri_row=False, note=""):
        self.rows.append((name, value, kavri_row, note))

    def render(self):
        refs = [(n, v) for n, v, k, _ in self.rows if k and v == v]
        out = [f"\n{self.title}", "-" * len(self.title)]
        head = f"{'':44} {self.unit:>14}"
        for name, _ in refs:
            head += f"  {self.short(name):>14}"
        out.append(head)
        for name, value, is_kavri, note in self.rows:
            line = f"{name:44} {self.fmt(value):>14}"
            for _, ref in refs:
                line += f"  {self.ratio(ref, value):>14}"
            out.append(line + (f"  {note}" if note else ""))
        if refs:
            out.append("ratio columns: the kavri row named above divided by the row's figure"
                       + ("" if self.higher else " (latency: below 1 means kavri is faster)"))
        return "\n".join(out)

    @staticmethod
    def short(name):
        return name.replace("kavri ", "")[:14]

    @staticmethod
    def fmt(value):
        if value != value:
            return "-"
        if value >= 100:
            return f"{value:,.0f}"
        return f"{value:,.2f}"

    @staticmethod
    def ratio(ref, value):
        if value != value or value == 0:
            return "-"
        return f"{ref / value:.2f}x"


def best(repeat, measure):
    values = [measure() for _ in range(repeat)]
    return max(values)


def best_latency(repeat, measure):
    runs = [measure() for _ in range(repeat)]
    return min(runs, key=lambda r: r["p50"])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build-dir", default="build",
                        help="where the zmq_harness was built (default build)")
    parser.add_argument("--only", default="abcde", help="scenarios to run, e.g. ab (default all)")
    parser.add_argument("--scale", type=float, default=1.0,
                        help="multiplies every message count (default 1.0)")
    parser.add_argument("--repeat", type=int, default=1,
                        help="runs per figure, the best one reported (default 1)")
    parser.add_argument("--rate", type=float, default=5000.0,
                        help="messages per second in the latency runs (default 5000)")
    parser.add_argument("--latency-samples", type=int, default=10000,
                        help="messages per latency run (default 10000)")
    parser.add_argument("--replay-mib", type=int, default=1024,
                        help="size of the log replayed in (e), MiB (default 1024)")
    parser.add_argument("--dir", default=None,
                        help="where topics, sockets and redis files go (default a new "
                             "directory under the system's temporary directory)")
    parser.add_argument("--json", default=None, help="also write the figures to this file")
    args = parser.parse_args()

    ctx = multiprocessing.get_context("spawn")
    tmp = tempfile.mkdtemp(prefix=f"kavri-compare-{os.getpid()}-", dir=args.dir)
    harness = os.path.join(args.build_dir, "bench", "zmq_harness")
    zmq = Zmq(harness, tmp) if os.access(harness, os.X_OK) else None
    redis_binary = shutil.which("redis-server")
    server = RedisServer(redis_binary, tmp) if redis_binary else None
    redis = Redis(ctx, server) if server else None
    k = Kavri(ctx, os.path.join(tmp, "kavri"))
    scale = lambda n: max(1, int(n * args.scale))  # noqa: E731
    rep = args.repeat

    print(f"kavri compare: {platform.node()}, {os.cpu_count()} CPUs, {platform.platform()}, "
          f"Python {platform.python_version()}, {time.strftime('%Y-%m-%d %H:%M')}")
    if not zmq:
        print(f"(no {harness}: ZeroMQ skipped; `make bench` builds it)")
    if not redis:
        print("(no redis-server: Redis skipped; `make bench` installs it)")
    tables = []

    def show(table):
        print(table.render(), flush=True)
        tables.append(table)

    try:
        if "a" in args.only:
            for size, kn, pn in ((64, 2_000_000, 300_000), (4096, 400_000, 100_000)):
                t = Table(f"(a) 1 -> 1, {size} B", "msgs/s")

                def kav(mode, wal, n=scale(kn), size=size):
                    return lambda: throughput(*k.run(n, size, mode=mode, wal=wal))
                t.add("kavri recv_batch", best(rep, kav("batch", False)), True)
                t.add("kavri recv_into_buffer", best(rep, kav("buffer", False)), True)
                t.add("kavri recv_batch, log on", best(rep, kav("batch", True)), False,
                      "(the default: every message also in the log)")
                t.add("multiprocessing.Pipe", best(rep, lambda: throughput(
                    *run_pipe(ctx, scale(pn), size))))
                t.add("multiprocessing.Queue", best(rep, lambda: throughput(
                    *run_queue(ctx, scale(pn // 2), size))))
                t.add("Unix socket pair", best(rep, lambda: throughput(
                    *run_socket(ctx, scale(pn), size))))
                if zmq:
                    t.add("ZeroMQ PUSH/PULL ipc:// (C++ both ends)",
                          best(rep, lambda: zmq.throughput(scale(kn // 2), size)))
                if redis:
                    t.add(f"Redis XADD x{REDIS_PIPELINE} / XREAD (log on)", best(
                        rep, lambda: throughput(*redis.run(scale(pn // 2), size))))
                show(t)

        if "b" in args.only:
            n, rate = args.latency_samples, args.rate
            tables_b = {p: Table(f"(b) one-way latency {p}, 64 B at {rate:,.0f}/s, receivers "
                                 "asleep", "us", higher_is_better=False)
                        for p in ("p50", "p99", "p999")}
            runs = [("kavri recv (log off)", True,
                     lambda: merged_latency(k.run(n, 64, mode="latency", rate=rate)[1])),
                    ("kavri recv, log on", False,
                     lambda: merged_latency(k.run(n, 64, mode="latency", rate=rate,
                                                  wal=True)[1])),
                    ("Unix socket pair (bare socket wake)", False,
                     lambda: merged_latency(run_socket(ctx, n, 64, rate=rate)[1])),
                    ("multiprocessing.Pipe", False,
                     lambda: merged_latency(run_pipe(ctx, n, 64, rate=rate)[1])),
                    ("multiprocessing.Queue", False,
                     lambda: merged_latency(run_queue(ctx, n, 64, rate=rate)[1]))]
            if zmq:
                runs.append(("ZeroMQ PUSH/PULL ipc:// (C++ both ends)", False,
                             lambda: zmq.latency(n, 64, rate)))
            if redis:
                runs.append(("Redis XADD / XREAD BLOCK", False,
                             lambda: merged_latency(redis.run(n, 64, rate=rate)[1])))
            for name, is_ref, measure in runs:
                r = best_latency(rep, measure)
                for p, table in tables_b.items():
                    table.add(name, r[p], is_ref)
            for table in tables_b.values():
                show(table)

        if "c" in args.only:
            for receivers in (4, 16):
                t = Table(f"(c) fan-out 1 -> {receivers}, 64 B", "deliveries/s")
                kn, pn = 1_000_000 // (receivers // 4), 100_000 // (receivers // 4)
                t.add("kavri recv_batch", best(rep, lambda: throughput(
                    *k.run(scale(kn), 64, receivers=receivers))), True)
                t.add("kavri recv_batch, log on", best(rep, lambda: throughput(
                    *k.run(scale(kn), 64, receivers=receivers, wal=True))))
                t.add("multiprocessing.Pipe (one per receiver)", best(rep, lambda: throughput(
                    *run_pipe(ctx, scale(pn), 64, receivers))))
                t.add("multiprocessing.Queue (one per receiver)", best(rep, lambda: throughput(
                    *run_queue(ctx, scale(pn // 2), 64, receivers))))
                t.add("Unix socket pairs (one per receiver)", best(rep, lambda: throughput(
                    *run_socket(ctx, scale(pn), 64, receivers))))
                if zmq:
                    t.add("ZeroMQ XPUB/SUB ipc://, no drop (C++)", best(rep, lambda: zmq.throughput(
                        scale(kn // 2), 64, receivers)))
                if redis:
                    t.add(f"Redis XADD x{REDIS_PIPELINE} / XREAD", best(rep, lambda: throughput(
                        *redis.run(scale(pn // 2), 64, receivers))))
                show(t)

        if "d" in args.only:
            size = 65536
            t = Table("(d) 1 -> 1, 64 KiB messages", "MB/s")
            mb = lambda rate: rate * size / 1e6  # noqa: E731
            t.add("kavri recv_into", best(rep, lambda: mb(throughput(
                *k.run(scale(30_000), size, mode="into")))), True)
            t.add("kavri recv_batch", best(rep, lambda: mb(throughput(
                *k.run(scale(30_000), size)))))
            t.add("kavri recv_into, log on", best(rep, lambda: mb(throughput(
                *k.run(scale(10_000), size, mode="into", wal=True)))))
            t.add("memcpy, one stream (16 MiB ring -> buffer)", best(rep, lambda: memcpy_rate(
                size) / 1e6))
            t.add("multiprocessing.Pipe", best(rep, lambda: mb(throughput(
                *run_pipe(ctx, scale(10_000), size)))))
            t.add("multiprocessing.Queue", best(rep, lambda: mb(throughput(
                *run_queue(ctx, scale(5_000), size)))))
            t.add("Unix socket pair", best(rep, lambda: mb(throughput(
                *run_socket(ctx, scale(10_000), size)))))
            if zmq:
                t.add("ZeroMQ PUSH/PULL ipc:// (C++)", best(rep, lambda: mb(zmq.throughput(
                    scale(20_000), size))))
            if redis:
                t.add(f"Redis XADD x{REDIS_PIPELINE} / XREAD", best(rep, lambda: mb(throughput(
                    *redis.run(scale(3_000), size)))))
            show(t)

        if "e" in args.only:
            for size, kn in ((64, 2_000_000), (4096, 300_000)):
                t = Table(f"(e) log on versus off, 1 -> 1, {size} B", "msgs/s")
                t.add("kavri, log on", best(rep, lambda: throughput(
                    *k.run(scale(kn), size, wal=True))), True)
                t.add("kavri, log off", best(rep, lambda: throughput(*k.run(scale(kn), size))))
                if redis:
                    t.add("Redis XADD / XREAD, appendfsync everysec", best(
                        rep, lambda: throughput(*redis.run(scale(kn // 20), size))))
                show(t)
            show(replay_table(ctx, k, redis, args.replay_mib, rep))
    finally:
        if server:
            server.stop()
        shutil.rmtree(tmp, ignore_errors=True)

    if args.json:
        with open(args.json, "w") as f:
            json.dump([{"title": t.title, "unit": t.unit,
                        "rows": [{"name": n, "value": v} for n, v, _, _ in t.rows]}
                       for t in tables], f, indent=1)


# --------------------------------------------------------------------------------------------
# (e) replay: a late subscriber from cursor 0 of a log of --replay-mib

REPLAY_SIZE = 4096


def kavri_fill(base, topic, target_bytes):
    """Publishes 4 KiB messages until the log holds nearly `target_bytes` (kept under the
    1 GiB retention limit, which would otherwise remove the oldest segment); returns the
    message count."""
    bus = kavri._RustBus("bench", base_dir=base, wal_enabled=True,
                         backpressure="drop_oldest")
    pub = bus.topic(topic)
    batch = [bytes(REPLAY_SIZE)] * 256
    limit = min(target_bytes, (1 << 30) - (4 << 20))
    published = 0
    while True:
        wal = pub.stats().wal
        if wal.total_wal_bytes + len(batch) * (REPLAY_SIZE + 64) > limit:
            break
        published += pub.publish_many(batch)
    stats = pub.stats()
    del pub  # the log is flushed and synced, the producer lock released
    return published, stats.wal.total_wal_bytes


def kavri_late(barrier, base, topic, n):
    bus = kavri._RustBus("bench", base_dir=base)
    buf = bytearray(REPLAY_SIZE * 256)
    barrier.wait()  # kavri_hold_topic has reopened the topic
    sub = bus.subscribe_from(topic, 0, timeout_secs=60.0)
    start = now_ns()
    count = 0
    while count < n:
        got = sub.recv_into_buffer(buf, REPLAY_SIZE, timeout_secs=5.0)
        if got == 0:
            raise Stall(f"replay stopped at {count} of {n}")
        count += got
    secs = (now_ns() - start) / 1e9
    barrier.wait()
    return {"count": count, "bytes": count * REPLAY_SIZE, "secs": secs, "last": now_ns()}


def kavri_hold_topic(barrier, base, topic):
    """The publisher the late subscriber connects to: it reopens the log (continuing the
    numbering after it) and publishes nothing."""
    bus = kavri._RustBus("bench", base_dir=base, backpressure="drop_oldest")
    pub = bus.topic(topic)
    barrier.wait()
    barrier.wait()
    del pub
    return {"start": 0}


def replay_table(ctx, k, redis, mib, rep):
    t = Table(f"(e) replay from cursor 0 of a {mib} MiB log, 4 KiB messages", "MB/s")
    base, topic = k.base, "replay"
    kavri_bus(base, True, (256, 65536)).clean_topic(topic)
    n, log_bytes = kavri_fill(base, topic, mib << 20)

    def measure():
        _, (late,) = run_group(ctx, kavri_hold_topic, (base, topic), kavri_late,
                               [(base, topic, n)])
        return late["bytes"] / late["secs"] / 1e6
    t.add("kavri subscribe_from(0), recv_into_buffer", best(rep, measure), True,
          f"({n:,} messages, {log_bytes / 2**20:,.0f} MiB of log)")
    kavri_bus(base, True, (256, 65536)).clean_topic(topic)
    if redis:
        stream = "replay"
        redis.fill(stream, n, REPLAY_SIZE)

        def measure_redis():
            _, (late,) = run_group(ctx, idle, (), redis_replay,
                                   [(redis.port, stream, n, REPLAY_SIZE)])
            return late["bytes"] / late["secs"] / 1e6
        t.add("Redis XREAD COUNT 1000 from 0-0", best(rep, measure_redis))
        redis.drop(stream)
    return t


if __name__ == "__main__":
    main()
