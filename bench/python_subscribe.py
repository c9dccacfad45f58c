"""Receiving from Python across processes, beside the peers a Python user would otherwise pick.

    PYTHONPATH=build/python python3.13 bench/python_subscribe.py [--seconds 1.0]

Throughput: a publisher process streams fixed-size payloads with TopicPublisher.publish_many
(batches of 1024, policy "error" so nothing is lost, log off) to one or sixteen subscriber
processes; each subscriber times its receives from its first message to its last. The same
traffic goes through multiprocessing.Pipe (send_bytes / recv_bytes) and multiprocessing.Queue
(put / get) between two processes of the same interpreter.

Latency: a sender process sends one message every 200 us, stamped with the monotonic clock (one
clock for all processes); a receiver process blocked in its receive reads the stamp on arrival.
The bare Unix-socket wake (an 8-byte send into a socketpair and a blocking recv) is the floor of
waking a sleeping process through a socket; kavri's blocking recv and multiprocessing.Pipe are
measured the same way, the three in turn for five rounds; each figure is the median of the
rounds' percentiles.
"""

import argparse
import ctypes
import multiprocessing as mp
import os
import shutil
import socket
import struct
import tempfile
import time

from kavri._kavri import _RustBus

CTX = mp.get_context("fork")
BATCH = 1024
LATENCY_SAMPLES = 2000
LATENCY_ROUNDS = 5
LATENCY_PACE_NS = 200_000
STAMP = struct.Struct("<Q")
TRIM_SUFFIX = ", trim threshold 64 MiB"
M_TRIM_THRESHOLD = -1


def bus_for(base_dir, size, policy="error"):
    capacity = 65536 if size <= 64 else 1024
    return _RustBus("bench", base_dir=base_dir, capacity=capacity, slot_size=size,
                    backpressure=policy, wal_enabled=False)


# ---- kavri throughput ---------------------------------------------------------------------

def kavri_publisher(base_dir, topic, size, subscribers, count):
    bus = bus_for(base_dir, size)
    handle = bus.topic(topic)
    handle.wait_for_subscribers(subscribers, 30.0)
    batch = [b"x" * size] * BATCH
    publish_many = handle.publish_many
    sent = 0
    while sent < count:
        pending = batch if count - sent >= BATCH else batch[:count - sent]
        while pending:
            written = publish_many(pending)
            sent += written
            if written:
                pending = pending[written:]
    # Exiting is safe: what is still unread stays readable, and no subscriber asks for more.


def kavri_subscriber(base_dir, topic, size, mode, count, out):
    if mode.endswith(TRIM_SUFFIX):
        # glibc returns the heap top to the kernel once more than 128 KiB of it is free, which a
        # freed batch of 4 KiB bytes objects is; the next batch grows it again. Raising the
        # threshold shows the receive path without that churn.
        ctypes.CDLL(None).mallopt(M_TRIM_THRESHOLD, 64 << 20)
        mode = mode[:-len(TRIM_SUFFIX)]
    bus = bus_for(base_dir, size)
    sub = bus.subscribe(topic, 30.0)
    received = 0
    if mode == "recv":
        recv = sub.recv
        recv()
        start = time.perf_counter()
        for _ in range(count - 1):
            recv()
    elif mode == "recv_batch(100)":
        recv_batch = sub.recv_batch
        received = len(recv_batch(100, 30.0))
        start = time.perf_counter()
        while received < count:
            received += len(recv_batch(100, 30.0))
    elif mode == "recv_into":
        buf = bytearray(size)
        recv_into = sub.recv_into
        recv_into(buf)
        start = time.perf_counter()
        for _ in range(count - 1):
            recv_into(buf)
    elif mode == "recv_into_buffer":
        buf = bytearray(size * 1024)
        recv_into_buffer = sub.recv_into_buffer
        received = recv_into_buffer(buf, size, 30.0)
        start = time.perf_counter()
        while received < count:
            received += recv_into_buffer(buf, size, 30.0)
    end = time.perf_counter()
    out.send((start, end))


def kavri_rate(size, mode, subscribers, count):
    """Deliveries per second over all subscribers: their messages after the first, divided by
    the time from the earliest start to the latest end (perf_counter is the monotonic clock)."""
    base_dir = tempfile.mkdtemp(prefix="kavri-bench-sub-")
    try:
        topic = "t"
        publisher = CTX.Process(target=kavri_publisher,
                                args=(base_dir, topic, size, subscribers, count))
        publisher.start()
        pipes, children = [], []
        for _ in range(subscribers):
            recv_end, send_end = CTX.Pipe(duplex=False)
            child = CTX.Process(target=kavri_subscriber,
                                args=(base_dir, topic, size, mode, count, send_end))
            child.start()
            pipes.append(recv_end)
            children.append(child)
        spans = [p.recv() for p in pipes]
        for child in children:
            child.join(60)
        publisher.join(60)
        start = min(s for s, _ in spans)
        end = max(e for _, e in spans)
        return subscribers * (count - 1) / (end - start)
    finally:
        shutil.rmtree(base_dir, ignore_errors=True)


# ---- multiprocessing throughput -----------------------------------------------------------

def pipe_sender(conn, size, count):
    payload = b"x" * size
    send = conn.send_bytes
    for _ in range(count):
        send(payload)


def pipe_receiver(conn, count, out):
    recv = conn.recv_bytes
    recv()
    start = time.perf_counter()
    for _ in range(count - 1):
        recv()
    out.send(time.perf_counter() - start)


def queue_sender(queue, size, count):
    payload = b"x" * size
    put = queue.put
    for _ in range(count):
        put(payload)


def queue_receiver(queue, count, out):
    get = queue.get
    get()
    start = time.perf_counter()
    for _ in range(count - 1):
        get()
    out.send(time.perf_counter() - start)


def mp_rate(kind, size, count):
    result_recv, result_send = CTX.Pipe(duplex=False)
    if kind == "pipe":
        a, b = CTX.Pipe(duplex=False)
        sender = CTX.Process(target=pipe_sender, args=(b, size, count))
        receiver = CTX.Process(target=pipe_receiver, args=(a, count, result_send))
    else:
        queue = CTX.Queue(maxsize=8192)
        sender = CTX.Process(target=queue_sender, args=(queue, size, count))
        receiver = CTX.Process(target=queue_receiver, args=(queue, count, result_send))
    receiver.start()
    sender.start()
    elapsed = result_recv.recv()
    sender.join(60)
    receiver.join(60)
    return (count - 1) / elapsed


# ---- latency ------------------------------------------------------------------------------

def paced(send):
    """Calls send(stamp) every LATENCY_PACE_NS, spinning between sends."""
    next_at = time.monotonic_ns()
    for _ in range(LATENCY_SAMPLES):
        while time.monotonic_ns() < next_at:
            pass
        send(STAMP.pack(time.monotonic_ns()))
        next_at += LATENCY_PACE_NS


def collect(receive, out):
    now = time.monotonic_ns
    unpack = STAMP.unpack_from
    samples = []
    for _ in range(LATENCY_SAMPLES):
        payload = receive()
        samples.append(now() - unpack(payload)[0])
    out.send(samples)


def kavri_latency_sender(base_dir):
    bus = bus_for(base_dir, 64, "drop_oldest")
    handle = bus.topic("lat")
    handle.wait_for_subscribers(1, 30.0)
    time.sleep(0.2)  # let the receiver block
    paced(handle.publish)
    time.sleep(0.2)


def kavri_latency_receiver(base_dir, out):
    bus = bus_for(base_dir, 64, "drop_oldest")
    sub = bus.subscribe("lat", 30.0)
    collect(sub.recv, out)


def socket_sender(sock):
    time.sleep(0.2)
    paced(sock.sendall)


def socket_receiver(sock, out):
    collect(lambda: sock.recv(8, socket.MSG_WAITALL), out)


def pipe_latency_sender(conn):
    time.sleep(0.2)
    paced(conn.send_bytes)


def pipe_latency_receiver(conn, out):
    collect(conn.recv_bytes, out)


def latency(kind):
    result_recv, result_send = CTX.Pipe(duplex=False)
    base_dir = tempfile.mkdtemp(prefix="kavri-bench-lat-")
    try:
        if kind == "kavri":
            sender = CTX.Process(target=kavri_latency_sender, args=(base_dir,))
            receiver = CTX.Process(target=kavri_latency_receiver, args=(base_dir, result_send))
        elif kind == "socket":
            a, b = socket.socketpair(socket.AF_UNIX, socket.SOCK_STREAM)
            sender = CTX.Process(target=socket_sender, args=(a,))
            receiver = CTX.Process(target=socket_receiver, args=(b, result_send))
        else:
            a, b = CTX.Pipe(duplex=False)
            sender = CTX.Process(target=pipe_latency_sender, args=(b,))
            receiver = CTX.Process(target=pipe_latency_receiver, args=(a, result_send))
        receiver.start()
        sender.start()
        samples = sorted(result_recv.recv())
        sender.join(60)
        receiver.join(60)
        return samples[len(samples) // 2] / 1000, samples[len(samples) * 99 // 100] / 1000
    finally:
        shutil.rmtree(base_dir, ignore_errors=True)


# ---- the run ------------------------------------------------------------------------------

def row(name, size, subs, rate):
    gbps = rate * size / 1e9
    print(f"| {name:<34} | {size:>5} | {subs:>4} | {rate / 1e6:>8.2f} M/s | {gbps:>6.2f} GB/s |",
          flush=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=float, default=1.0,
                        help="rough length of each throughput row")
    args = parser.parse_args()
    # Message counts sized for about --seconds per row at the expected rates.
    scale = args.seconds
    counts = {
        ("recv", 64): 1_500_000, ("recv_batch(100)", 64): 5_000_000,
        ("recv_into", 64): 2_000_000, ("recv_into_buffer", 64): 10_000_000,
        ("recv", 4096): 600_000, ("recv_batch(100)", 4096): 800_000,
        ("recv_into", 4096): 800_000, ("recv_into_buffer", 4096): 1_000_000,
    }
    print(f"| {'receiver':<34} | {'size':>5} | {'subs':>4} | {'messages':>12} | "
          f"{'bytes':>11} |")
    print(f"|{'-' * 36}|{'-' * 7}|{'-' * 6}|{'-' * 14}|{'-' * 13}|")
    for size in (64, 4096):
        for mode in ("recv", "recv_batch(100)", "recv_into", "recv_into_buffer"):
            n = int(counts[(mode, size)] * scale)
            row(f"kavri {mode}", size, 1, kavri_rate(size, mode, 1, n))
        if size > 512:  # bytes objects beyond pymalloc's limit come from malloc
            n = int(counts[("recv_batch(100)", size)] * scale)
            row("kavri recv_batch(100), trim 64 MiB", size, 1,
                kavri_rate(size, "recv_batch(100)" + TRIM_SUFFIX, 1, n))
        for mode in ("recv_batch(100)", "recv_into", "recv_into_buffer"):
            n = int(counts[(mode, size)] * scale / 8)
            row(f"kavri {mode}, total", size, 16, kavri_rate(size, mode, 16, n))
        n = int(600_000 * scale if size == 64 else 300_000 * scale)
        row("multiprocessing.Pipe bytes", size, 1, mp_rate("pipe", size, n))
        row("multiprocessing.Queue", size, 1, mp_rate("queue", size, n // 3))
    print()
    print(f"| {'one-way latency, 64 B':<34} | {'p50 us':>8} | {'p99 us':>8} |")
    print(f"|{'-' * 36}|{'-' * 10}|{'-' * 10}|")
    # The three are measured in turn, round after round, and each figure is the median over the
    # rounds: on a shared machine the wake-up cost drifts with what else runs, and measuring the
    # floor and kavri minutes apart would compare two different machines.
    kinds = (("socket", "bare Unix-socket wake"), ("kavri", "kavri blocking recv"),
             ("pipe", "multiprocessing.Pipe recv_bytes"))
    rounds = {kind: [] for kind, _ in kinds}
    for _ in range(LATENCY_ROUNDS):
        for kind, _ in kinds:
            rounds[kind].append(latency(kind))
    floor = None
    for kind, name in kinds:
        p50 = sorted(r[0] for r in rounds[kind])[LATENCY_ROUNDS // 2]
        p99 = sorted(r[1] for r in rounds[kind])[LATENCY_ROUNDS // 2]
        floor = floor or p50
        print(f"| {name:<34} | {p50:>8.1f} | {p99:>8.1f} | {p50 / floor:.2f}x", flush=True)

if __name__ == "__main__":
    main()
