"""kavri in one minute: one publisher process, a few subscriber processes and a late one.

The publisher streams numbered messages on the topic "stream" of the bus "demo", first as fast
as the subscribers take them, then at a steady pace while the subscribers sleep between
messages. Every subscriber checks every payload (its number, and a body that depends on the
number), measures how long each message took from the publisher's clock reading to its own,
and reports back. Part-way through the stream a late subscriber starts from cursor 0 with
`subscribe_from`: it first replays what was published before it joined (from the write-ahead
log, since the ring has long overwritten it) and then follows the live stream.

    make demo                                # or, after `make build`:
    PYTHONPATH=build/python python3.13 examples/demo.py [--messages N] [--base-dir DIR]

The topic's files are removed at the start (left over from an earlier run) and at the end
(pass --keep to look at them: ring.mmap, producer.lock, signal.sock and wal/).
"""

import argparse
import array
import multiprocessing
import os
import queue
import random
import struct
import sys
import time
import traceback

import kavri

BUS = "demo"
TOPIC = "stream"
HEADER = struct.Struct("<QQ")  # message number, publisher's CLOCK_MONOTONIC in ns
BODIES = 64  # distinct bodies; message n carries body n % BODIES
BATCH = 64  # messages per publish_many in the fast phase
STALL_SECS = 20.0  # a subscriber that receives nothing for this long gives up


def make_bodies(size):
    rng = random.Random(20240611)
    return [rng.randbytes(size) for _ in range(BODIES)]


def open_bus(base_dir):
    # base_dir None means the default, "/tmp/kavri"; the log is on by default.
    return kavri._RustBus(BUS, base_dir=base_dir)


def run_child(role, results, *args):
    """Runs one role in a child process and sends its outcome (or its traceback) home."""
    try:
        results.put((role, role_functions[role](*args)))
    except BaseException:  # noqa: B902 - every failure must reach the parent
        results.put((role, {"error": traceback.format_exc()}))


def publisher(base_dir, plan, counters, done):
    bus = open_bus(base_dir)
    pub = bus.topic(TOPIC)  # takes the producer lock for this process
    pub.wait_for_subscribers(n=plan["subscribers"], timeout_secs=30.0)
    bodies = make_bodies(plan["body"])
    pack, now = HEADER.pack, time.monotonic_ns
    fast, paced = plan["fast"], plan["paced"]

    seq, full_waits = 0, 0
    started = time.perf_counter()
    while seq < fast:
        stop = min(seq + BATCH, fast)
        t = now()
        batch = [pack(n, t) + bodies[n % BODIES] for n in range(seq, stop)]
        while batch:
            # Under the default "error" policy a full ring ends the batch early: the slowest
            # subscriber is a whole ring behind. Give it a moment and send the rest.
            written = pub.publish_many(batch)
            del batch[:written]
            if batch:
                full_waits += 1
                time.sleep(0.0001)
        seq = stop
        counters[0] = seq
    fast_secs = time.perf_counter() - started

    # Steady pace: the subscribers have drained the ring and sleep on their sockets.
    interval = 1.0 / plan["rate"]
    next_at = time.perf_counter()
    for n in range(fast, fast + paced):
        next_at += interval
        delay = next_at - time.perf_counter()
        if delay > 0:
            time.sleep(delay)
        pub.publish(pack(n, now()) + bodies[n % BODIES])
        counters[0] = n + 1

    # Stay until every subscriber has its messages: the ring is read from this publisher's
    # mapping of the file, and a subscriber that finds nothing waits on this process's socket.
    done.wait(timeout=60.0)
    stats = pub.stats()
    wal = stats.wal
    return {
        "fast_secs": fast_secs,
        "full_waits": full_waits,
        "published_total": stats.published_total,
        "wakeups_sent_total": stats.wakeups_sent_total,
        "wal_bytes": wal.total_wal_bytes if wal else 0,
        "wal_segments": wal.segments if wal else 0,
    }


def check(payload, expected, bodies):
    n, sent = HEADER.unpack_from(payload)
    if n != expected:
        raise AssertionError(f"expected message {expected}, got {n}")
    if len(payload) != HEADER.size + len(bodies[0]) or not payload.endswith(bodies[n % BODIES]):
        raise AssertionError(f"message {n}: payload differs from what was published")
    return sent


def subscriber(base_dir, plan, counters, slot, start_cursor):
    """Receives every message from `start_cursor` (None: the start of the stream) to the end
    and checks each one."""
    bus = open_bus(base_dir)
    if start_cursor is None:
        # Not `subscribe` (the tail): the publisher starts as soon as it has accepted every
        # subscriber, which can be a moment before the last one has placed its start.
        sub = bus.subscribe_from(TOPIC, 0, timeout_secs=30.0)
    else:
        sub = bus.subscribe_from(TOPIC, start_cursor, timeout_secs=30.0)
    history = sub.lag  # messages published before this subscription began
    expected = sub.cursor
    bodies = make_bodies(plan["body"])
    total, fast = plan["fast"] + plan["paced"], plan["fast"]
    lat_fast, lat_paced = array.array("q"), array.array("q")
    now = time.monotonic_ns
    first_at, last_message = None, time.monotonic()

    while expected < total:
        batch = sub.recv_batch(1024, timeout_secs=1.0)
        if not batch:
            if time.monotonic() - last_message > STALL_SECS:
                raise AssertionError(f"nothing received for {STALL_SECS:.0f} s at {expected}")
            continue
        t = now()
        last_message = time.monotonic()
        if first_at is None:
            first_at = time.perf_counter()
        for payload in batch:
            sent = check(payload, expected, bodies)
            (lat_fast if expected < fast else lat_paced).append(t - sent)
            expected += 1
        counters[slot] = expected
    elapsed = time.perf_counter() - first_at
    return {
        "start": start_cursor,
        "history": history,
        "received": total - (start_cursor or 0),
        "secs": elapsed,
        "lat_fast": lat_fast.tobytes(),
        "lat_paced": lat_paced.tobytes(),
    }


role_functions = {"publisher": publisher, "subscriber": subscriber}


def percentiles(samples_ns, points=(50, 99, 99.9)):
    ordered = sorted(samples_ns)
    if not ordered:
        return {p: float("nan") for p in points}
    # Nearest rank: the smallest sample at or above p percent of all samples.
    return {p: ordered[max(0, int(-(-len(ordered) * p // 100)) - 1)] / 1000.0 for p in points}


def progress_line(counters, plan, subscribers):
    total = plan["fast"] + plan["paced"]
    subs = " ".join(f"{counters[1 + i] * 100 // total:3d}%" for i in range(subscribers))
    late = counters[1 + subscribers]
    return (f"published {counters[0]:>9,}/{total:,}  subscribers {subs}  "
            f"late {late * 100 // total:3d}%")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--messages", type=int, default=1_000_000,
                        help="messages in the fast phase (default 1000000)")
    parser.add_argument("--paced", type=int, default=2_000,
                        help="messages sent at a steady pace after it (default 2000)")
    parser.add_argument("--rate", type=float, default=4_000.0,
                        help="messages per second of the paced phase (default 4000)")
    parser.add_argument("--subscribers", type=int, default=3)
    parser.add_argument("--size", type=int, default=128, help="payload bytes (default 128)")
    parser.add_argument("--base-dir", default=None,
                        help='base directory of the bus (default "/tmp/kavri")')
    parser.add_argument("--keep", action="store_true", help="leave the topic's files on disk")
    args = parser.parse_args()
    if args.size < HEADER.size + 1 or args.messages < 1 or args.subscribers < 1:
        parser.error("need --size of at least 17, and at least one message and subscriber")

    plan = {"fast": args.messages, "paced": args.paced, "rate": args.rate,
            "subscribers": args.subscribers, "body": args.size - HEADER.size}
    base_dir = args.base_dir
    shown_dir = os.path.join(base_dir or "/tmp/kavri", BUS, TOPIC)

    bus = open_bus(base_dir)
    try:
        bus.clean_topic(TOPIC)  # files of an earlier run; a running publisher refuses this
    except kavri.AlreadyPublishingError:
        sys.exit(f"another process is publishing {shown_dir}: is a demo still running?")

    ctx = multiprocessing.get_context("spawn")
    counters = ctx.Array("q", 2 + args.subscribers, lock=False)
    results, done = ctx.Queue(), ctx.Event()
    late_slot = 1 + args.subscribers
    procs = [ctx.Process(target=run_child, name="publisher",
                         args=("publisher", results, base_dir, plan, counters, done))]
    procs += [ctx.Process(target=run_child, name=f"subscriber-{i}",
                          args=("subscriber", results, base_dir, plan, counters, 1 + i, None))
              for i in range(args.subscribers)]
    late = ctx.Process(target=run_child, name="late",
                       args=("subscriber", results, base_dir, plan, counters, late_slot, 0))

    print(f"kavri demo: {args.messages:,} + {args.paced:,} messages of {args.size} B, "
          f"{args.subscribers} subscribers + 1 late, topic {shown_dir}")
    interactive = sys.stdout.isatty()
    outcomes = []
    late_started = False
    started = last_print = time.monotonic()
    try:
        for p in procs:
            p.start()
        while len(outcomes) < len(procs) + 1:
            if not late_started and counters[0] >= plan["fast"] // 2:
                late.start()  # half of the fast phase is history by now
                late_started = True
            try:
                role, outcome = results.get(timeout=0.1)
            except queue.Empty:
                pass
            else:
                if "error" in outcome:
                    raise RuntimeError(f"the {role} failed:\n{outcome['error']}")
                outcomes.append((role, outcome))
                if sum(r == "subscriber" for r, _ in outcomes) == args.subscribers + 1:
                    done.set()  # the publisher may go now
            if any(p.exitcode not in (None, 0) for p in procs + [late]):
                raise RuntimeError("a child process died")
            if time.monotonic() - started > 120:
                raise RuntimeError("the demo took longer than two minutes")
            if interactive:
                print("\r" + progress_line(counters, plan, args.subscribers), end="", flush=True)
            elif time.monotonic() - last_print >= 2.0:
                print(progress_line(counters, plan, args.subscribers), flush=True)
                last_print = time.monotonic()
        if interactive:
            print("\r" + progress_line(counters, plan, args.subscribers))
    except BaseException:
        if interactive:
            print()
        for p in procs + [late]:
            if p.is_alive():
                p.terminate()
        raise
    finally:
        done.set()
        for p in procs + [late]:
            if p.pid is not None:
                p.join(timeout=10)
                if p.is_alive():
                    p.kill()
                    p.join()
    report(outcomes, plan, args.size)
    if not args.keep:
        bus.clean_topic(TOPIC)
    else:
        print(f"files kept in {shown_dir}")


def report(outcomes, plan, size):
    pub = next(o for role, o in outcomes if role == "publisher")
    subs = [o for role, o in outcomes if role == "subscriber" and o["start"] is None]
    late = next(o for role, o in outcomes if role == "subscriber" and o["start"] is not None)
    fast = plan["fast"]
    lat_fast, lat_paced = array.array("q"), array.array("q")
    for s in subs:
        lat_fast.frombytes(s["lat_fast"])
        lat_paced.frombytes(s["lat_paced"])

    rate = fast / pub["fast_secs"]
    print(f"verified: {len(subs)} subscribers x {plan['fast'] + plan['paced']:,} messages, "
          f"late subscriber {late['received']:,}; every payload as published")
    print(f"fast phase: {rate:,.0f} messages/s into {len(subs)} subscribers "
          f"({rate * len(subs):,.0f} deliveries/s, {rate * size / 1e6:,.1f} MB/s each), "
          f"ring full {pub['full_waits']:,} times")
    for name, samples in (("under load", lat_fast), (f"at {plan['rate']:,.0f}/s", lat_paced)):
        p = percentiles(samples)
        print(f"latency {name:>11}: p50 {p[50]:8.1f} us  p99 {p[99]:8.1f} us  "
              f"p99.9 {p[99.9]:8.1f} us  ({len(samples):,} samples)")
    print(f"late subscriber: subscribe_from(0) after {late['history']:,} messages; replayed "
          f"{late['history']:,} messages of history, then followed live; "
          f"{late['received'] / late['secs']:,.0f} messages/s")
    print(f"log: {pub['wal_bytes'] / 1e6:,.1f} MB in {pub['wal_segments']} segment(s); "
          f"{pub['wakeups_sent_total']:,} wake-ups sent for {pub['published_total']:,} messages")


if __name__ == "__main__":
    main()
