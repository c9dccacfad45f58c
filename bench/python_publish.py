"""Messages per second published from Python, beside the cost of an empty C-API call.

    PYTHONPATH=build/python python3.13 bench/python_publish.py [--seconds 1.0]

Each row times one call pattern in a plain loop for about the given time, best of three runs.
"empty C call" is len(b"") in the same loop: the interpreter's own per-call floor. No
subscriber is connected; every topic uses backpressure "drop_oldest", so the ring never fills,
and the default geometry (256 slots of 64 KiB).
"""

import argparse
import shutil
import tempfile
import time

from kavri._kavri import _RustBus

BATCH = 100


def rate(loop, messages_per_call, seconds):
    """Best messages per second over three timed runs of `loop(n)`."""
    n = 1000
    while True:  # size the run to about `seconds`
        start = time.perf_counter()
        loop(n)
        elapsed = time.perf_counter() - start
        if elapsed > seconds / 10:
            break
        n *= 4
    n = max(1, int(n * seconds / elapsed))
    best = 0.0
    for _ in range(3):
        start = time.perf_counter()
        loop(n)
        elapsed = time.perf_counter() - start
        best = max(best, n * messages_per_call / elapsed)
    return best


def loops(bus, topic, payload):
    publisher = bus.topic(topic + "-handle")
    batch = [payload] * BATCH
    publish = publisher.publish
    publish_many = publisher.publish_many
    bus_publish = bus.publish
    empty = b""

    def empty_call(n):
        for _ in range(n):
            len(empty)

    def rust_bus_publish(n):
        for _ in range(n):
            bus_publish(topic, payload)

    def topic_publish(n):
        for _ in range(n):
            publish(payload)

    def topic_publish_many(n):
        for _ in range(n):
            publish_many(batch)

    return publisher, [
        ("empty C call (len(b''))", empty_call, 1),
        ("_RustBus.publish", rust_bus_publish, 1),
        ("TopicPublisher.publish", topic_publish, 1),
        (f"TopicPublisher.publish_many ({BATCH})", topic_publish_many, BATCH),
    ]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=float, default=1.0)
    args = parser.parse_args()
    base_dir = tempfile.mkdtemp(prefix="kavri-bench-")
    try:
        print(f"| {'call':<36} | {'size':>5} | {'log':>3} | {'messages/s':>12} | {'ns/msg':>7} |")
        print(f"|{'-' * 38}|{'-' * 7}|{'-' * 5}|{'-' * 14}|{'-' * 9}|")
        for wal in (True, False):
            bus = _RustBus(f"bench-{int(wal)}", base_dir=base_dir, wal_enabled=wal,
                           backpressure="drop_oldest")
            for size in (64, 4096):
                payload = b"x" * size
                topic = f"t{size}"
                bus.publish(topic, payload)  # create the bus's publisher before timing
                publisher, rows = loops(bus, topic, payload)
                for name, loop, per_call in rows:
                    r = rate(loop, per_call, args.seconds)
                    print(f"| {name:<36} | {size:>5} | {'on' if wal else 'off':>3} "
                          f"| {r:>12,.0f} | {1e9 / r:>7.1f} |", flush=True)
                del publisher
            del bus
    finally:
        shutil.rmtree(base_dir, ignore_errors=True)


if __name__ == "__main__":
    main()
