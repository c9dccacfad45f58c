"""Waiting for two topics in one thread with `selectors`, without a receive that blocks.

A publisher process sends a trickle of messages on the topics "ticks" and "alerts" and then
exits. This process subscribes to both and multiplexes them on one selector, using the
event-loop protocol of `Subscription`:

1. read with `try_recv` until it returns None;
2. `arm_wakeup()`: True means a message arrived meanwhile, so read again at once; False means
   the flag is armed and the publisher's next publish makes `fileno()` readable;
3. when the descriptor is readable, `drain_wakeup()` consumes the wake-up byte (it returns
   False when the readiness had nothing behind it, and raises OSError "publisher closed"
   once the publisher is gone), then go back to step 1.

Wake-ups are coalesced: one byte can stand for many messages, which is why step 1 reads until
None. asyncio users do the same with `loop.add_reader(sub.fileno(), callback)`.

    PYTHONPATH=build/python python3.13 examples/event_loop.py [--messages N] [--base-dir DIR]
"""

import argparse
import multiprocessing
import selectors
import sys
import time

import kavri

BUS = "event-loop-demo"
TOPICS = ("ticks", "alerts")


def publish(base_dir, count):
    bus = kavri._RustBus(BUS, base_dir=base_dir)
    handles = {name: bus.topic(name) for name in TOPICS}
    for handle in handles.values():
        handle.wait_for_subscribers(n=1, timeout_secs=30.0)
    for n in range(count):
        handles["ticks"].publish(b"tick %d" % n)
        if n % 10 == 9:
            handles["alerts"].publish(b"alert %d" % (n // 10))
        # Pauses let the subscriber drain and arm, so that most messages need a wake-up.
        time.sleep(0.002 if n % 50 else 0.05)
    # Dropping the handles closes the topics' sockets: the subscriber sees "publisher closed".
    del handles


def read_all(sub, name, received):
    """Step 1: everything unread, until try_recv has nothing."""
    while (payload := sub.try_recv()) is not None:
        expected = b"%s %d" % (name.rstrip("s").encode(), len(received[name]))
        if payload != expected:
            raise AssertionError(f"{name}: expected {expected!r}, got {payload!r}")
        received[name].append(payload)


def read_then_arm(sub, name, received):
    """Steps 1 and 2: read, arm, and read again for as long as arming finds a message."""
    read_all(sub, name, received)
    while sub.arm_wakeup():
        read_all(sub, name, received)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--messages", type=int, default=500, help="ticks to send (default 500)")
    parser.add_argument("--base-dir", default=None,
                        help='base directory of the bus (default "/tmp/kavri")')
    args = parser.parse_args()

    bus = kavri._RustBus(BUS, base_dir=args.base_dir)
    for name in TOPICS:
        bus.clean_topic(name)
    publisher = multiprocessing.get_context("spawn").Process(
        target=publish, args=(args.base_dir, args.messages))
    publisher.start()
    try:
        subs = {name: bus.subscribe(name, timeout_secs=30.0) for name in TOPICS}
        received = {name: [] for name in TOPICS}
        wakeups = {name: 0 for name in TOPICS}
        selector = selectors.DefaultSelector()
        for name, sub in subs.items():
            selector.register(sub.fileno(), selectors.EVENT_READ, (name, sub))
            read_then_arm(sub, name, received)

        idle_rounds = 0
        while selector.get_map():
            events = selector.select(timeout=0.5)
            if not events:
                idle_rounds += 1  # the loop stays free for timers and other work
                if idle_rounds > 60:
                    raise RuntimeError("no wake-up for 30 s")
                continue
            idle_rounds = 0
            for key, _ in events:
                name, sub = key.data
                try:
                    wakeups[name] += sub.drain_wakeup()  # step 3
                except OSError as e:
                    # The publisher has gone; what it published is still in the ring.
                    print(f"{name}: {e}")
                    selector.unregister(key.fd)
                    read_all(sub, name, received)
                    continue
                read_then_arm(sub, name, received)
        selector.close()
    finally:
        publisher.join(timeout=30)
        if publisher.is_alive():
            publisher.kill()
            publisher.join()
    if publisher.exitcode != 0:
        sys.exit(f"publisher exited with {publisher.exitcode}")

    expected = {"ticks": args.messages, "alerts": args.messages // 10}
    for name in TOPICS:
        got = len(received[name])
        print(f"{name}: {got} messages in order, {wakeups[name]} wake-ups "
              f"({got / max(wakeups[name], 1):.1f} messages per wake-up)")
        if got != expected[name]:
            sys.exit(f"{name}: expected {expected[name]} messages")
    for name in TOPICS:
        bus.clean_topic(name)


if __name__ == "__main__":
    main()
