"""Subscription: receiving into bytes, batches, iteration, the event-loop protocol, holds, the
figures, the subscribe methods' errors, and a cross-process soak."""

import inspect
import json
import math
import selectors
import time
import unittest

from kavri._kavri import (
    ConnectTimeoutError,
    CursorTooOldError,
    Subscription,
    TooManySubscribersError,
    _RustBus,
)
from subscribing_fixtures import (
    NEGATIVE,
    PUBLISH_AND_EXIT,
    PUBLISH_ON_INPUT,
    TOO_BIG,
    TOPIC,
    SubscriptionTest,
    blocked,
    refused,
)

# The method table in order (the getters live apart), with the text signatures.
METHODS = {
    "recv": "($self)",
    "recv_timeout": "($self, timeout_secs=1.0)",
    "try_recv": "($self)",
    "recv_into": "($self, buf)",
    "recv_timeout_into": "($self, buf, timeout_secs=1.0)",
    "try_recv_into": "($self, buf)",
    "recv_batch": "($self, n, timeout_secs=1.0)",
    "recv_into_buffer": "($self, buf, payload_size, timeout_secs=1.0)",
    "fileno": "($self)",
    "socket_fileno": "($self)",
    "arm_wakeup": "($self)",
    "drain_wakeup": "($self)",
    "poll_recv": "($self)",
    "__enter__": "($self)",
    "__exit__": "($self, _exc_type=None, _exc_val=None, _exc_tb=None)",
}


class TypeTest(SubscriptionTest):
    def test_class_surface(self):
        self.assertEqual(Subscription.__module__, "kavri._kavri")
        self.assertTrue(Subscription.__doc__.startswith("Active subscription to a topic.\n"))
        self.assertIn("with bus.subscribe(\"events\") as sub:", Subscription.__doc__)
        self.assertIsNone(Subscription.__text_signature__)
        with self.assertRaisesRegex(TypeError, "No constructor defined for Subscription"):
            Subscription()
        with self.assertRaises(TypeError):
            type("Derived", (Subscription,), {})
        names = [n for n in vars(Subscription) if n in METHODS]
        self.assertEqual(names, list(METHODS))
        for name, signature in METHODS.items():
            with self.subTest(name=name):
                self.assertEqual(getattr(Subscription, name).__text_signature__, signature)
        self.assertEqual(str(inspect.signature(Subscription.recv_batch)),
                         "(self, /, n, timeout_secs=1.0)")
        self.assertEqual(Subscription.recv.__doc__,
                         "Block until the next message.  Releases the GIL.")
        self.assertEqual(Subscription.lag.__doc__,
                         "How many messages this subscriber is behind the producer.")
        self.assertEqual(Subscription.cursor.__doc__, "Current read cursor position.")

    def test_object_has_no_dict_and_fixed_figures(self):
        bus, sub = self.connected(slot_size=512)
        with self.assertRaises(AttributeError):
            sub.extra = 1
        with self.assertRaises(TypeError):
            __import__("weakref").ref(sub)
        with self.assertRaises(AttributeError):
            sub.lag = 3
        self.assertEqual(sub.max_payload_size, 512)
        self.assertIsInstance(sub.fileno(), int)
        self.assertEqual(sub.fileno(), sub.socket_fileno())
        with self.assertRaises(TypeError):
            sub.recv(1)

    def test_subscribe_signatures(self):
        bus = self.bus()
        with self.assertRaisesRegex(
                TypeError, r"^_RustBus.subscribe\(\) takes from 1 to 2 positional arguments "
                r"but 3 were given$"):
            bus.subscribe("t", 1.0, 2)


class ReceiveTest(SubscriptionTest):
    def test_nothing_unread(self):
        bus, sub = self.connected()
        self.assertIsNone(sub.try_recv())
        for timeout in (0, 0.0, -0.0, 1e-10):
            with self.subTest(timeout=timeout):
                start = time.monotonic()
                self.assertIsNone(sub.recv_timeout(timeout))
                self.assertLess(time.monotonic() - start, 0.5)
        start = time.monotonic()
        self.assertIsNone(sub.recv_timeout(timeout_secs=0.05))
        self.assertGreaterEqual(time.monotonic() - start, 0.04)

    def test_each_receive_returns_the_next_payload(self):
        bus, sub = self.connected()
        receives = [
            ("recv", lambda: sub.recv()),
            ("recv_timeout", lambda: sub.recv_timeout(1.0)),
            ("recv_timeout int", lambda: sub.recv_timeout(5)),
            ("try_recv", lambda: sub.try_recv()),
            ("next", lambda: next(sub)),
            ("recv_batch 1", lambda: sub.recv_batch(1)[0]),
        ]
        for i, (name, receive) in enumerate(receives):
            with self.subTest(name=name):
                payload = b"p%d" % i * (i * 100)
                bus.publish(TOPIC, payload)
                self.assertEqual(receive(), payload)
        bus.publish(TOPIC, b"")
        self.assertEqual(sub.recv(), b"")
        self.assertIs(iter(sub), sub)

    def test_recv_batch(self):
        bus, sub = self.connected()
        # n = 0 returns at once without converting the time-out, even a negative or NaN one.
        for timeout in (-1.0, math.nan, 1.0):
            self.assertEqual(sub.recv_batch(0, timeout), [])
        start = time.monotonic()
        self.assertEqual(sub.recv_batch(5, 0.05), [])
        self.assertGreaterEqual(time.monotonic() - start, 0.04)
        cases = [(3, 5, 3), (10, 5, 5), (0, 5, 5)]  # published, n, returned: ten leave five
        expected = []
        sent = 0
        for published, n, returned in cases:
            with self.subTest(published=published, n=n):
                for _ in range(published):
                    bus.publish(TOPIC, b"b%d" % sent)
                    expected.append(b"b%d" % sent)
                    sent += 1
                got = sub.recv_batch(n=n, timeout_secs=1.0)
                self.assertEqual(got, expected[:returned])
                del expected[:returned]
        self.assertEqual(sub.lag, 0)

    def test_timeout_conversion_failures(self):
        bus, sub = self.connected()
        panics = [
            (lambda: sub.recv_timeout(-1.0), NEGATIVE),
            (lambda: sub.recv_timeout(-1), NEGATIVE),
            (lambda: sub.recv_batch(1, math.nan), TOO_BIG),
            (lambda: sub.recv_batch(1, math.inf), TOO_BIG),
            (lambda: sub.recv_timeout(1e20), TOO_BIG),
        ]
        bus.publish(TOPIC, b"kept")
        for call, text in panics:
            with self.subTest(text=text):
                with self.assertRaises(BaseException) as cm:
                    call()
                self.assertEqual(type(cm.exception).__name__, "PanicException")
                self.assertNotIsInstance(cm.exception, Exception)
                self.assertEqual(str(cm.exception), text)
        type_errors = [
            (lambda: sub.recv_timeout(None), "argument 'timeout_secs': "),
            (lambda: sub.recv_timeout("1"), "argument 'timeout_secs': "),
            (lambda: sub.recv_batch(None), "argument 'n': "),
            (lambda: sub.recv_batch(1.5), "argument 'n': "),
        ]
        for call, prefix in type_errors:
            with self.subTest(prefix=prefix):
                with self.assertRaises(TypeError) as cm:
                    call()
                self.assertTrue(str(cm.exception).startswith(prefix), str(cm.exception))
        with self.assertRaises(OverflowError):
            sub.recv_batch(-1)
        # Nothing was consumed by a failed call, and the object is usable.
        self.assertEqual(sub.try_recv(), b"kept")

    def test_lag_and_cursor(self):
        bus, sub = self.connected()
        start = sub.cursor
        self.assertEqual(sub.lag, 0)
        for _ in range(3):
            bus.publish(TOPIC, b"x")
        self.assertEqual((sub.lag, sub.cursor), (3, start))
        sub.try_recv()
        self.assertEqual((sub.lag, sub.cursor), (2, start + 1))
        sub.recv_batch(5)
        self.assertEqual((sub.lag, sub.cursor), (0, start + 3))

    def test_with_statement_releases_nothing(self):
        bus, sub = self.connected(max_subscribers=1)
        with sub as bound:
            self.assertIs(bound, sub)
        self.assertIs(sub.__exit__(None, None, None), False)
        with self.assertRaises(KeyError):
            with sub:
                raise KeyError("propagates")
        bus.publish(TOPIC, b"after")
        self.assertEqual(sub.recv_timeout(1.0), b"after")
        with self.assertRaises(TooManySubscribersError):  # the entry is still held
            bus.subscribe(TOPIC, 1.0)


class PublisherGoneTest(SubscriptionTest):
    def test_iteration_ends_quietly_then_receives_report_the_end(self):
        bus = self.bus()
        child = self.spawn(PUBLISH_AND_EXIT, TOPIC, 3)
        # From cursor 0: the publisher may start as soon as it has accepted us, before a
        # start at the tail would be placed.
        sub = bus.subscribe_from(TOPIC, 0, 20.0)
        self.assertEqual(list(sub), [b"m0", b"m1", b"m2"])
        self.finish(child)
        with self.assertRaises(StopIteration):
            next(sub)
        with self.assertRaisesRegex(OSError, "^failed to fill whole buffer$"):
            sub.recv()
        with self.assertRaisesRegex(OSError, "^failed to fill whole buffer$"):
            sub.recv_batch(4, 1.0)
        self.assertIsNone(sub.try_recv())
        self.assertEqual(sub.lag, 0)
        self.assertGreaterEqual(sub.fileno(), 0)
        # The event-loop steps take the bytes still pending, then see the end of the stream.
        with self.assertRaisesRegex(OSError, "^publisher closed$"):
            for _ in range(10):
                sub.drain_wakeup()
        with self.assertRaisesRegex(OSError, "^publisher closed$"):
            sub.poll_recv()

    def test_unread_messages_outlive_the_publisher(self):
        bus = self.bus()
        child = self.spawn(PUBLISH_AND_EXIT, TOPIC, 3)
        # From cursor 0: the publisher may start as soon as it has accepted us, before a
        # start at the tail would be placed.
        sub = bus.subscribe_from(TOPIC, 0, 20.0)
        self.finish(child)
        self.assertEqual(sub.recv(), b"m0")
        self.assertEqual(sub.recv_batch(5, 1.0), [b"m1", b"m2"])
        with self.assertRaisesRegex(OSError, "^failed to fill whole buffer$"):
            sub.recv_timeout(5.0)


class EventLoopTest(SubscriptionTest):
    def test_arm_wait_drain_with_a_publisher_process(self):
        bus = self.bus()
        child = self.spawn(PUBLISH_ON_INPUT, TOPIC)
        sub = bus.subscribe(TOPIC, 20.0)
        self.assertEqual(child.stdout.readline(), "ready\n")
        selector = selectors.DefaultSelector()
        self.addCleanup(selector.close)
        selector.register(sub.fileno(), selectors.EVENT_READ)

        def publish(text):
            child.stdin.write(text + "\n")
            child.stdin.flush()

        self.assertFalse(sub.arm_wakeup())
        self.assertEqual(selector.select(0), [])
        publish("one")
        self.assertEqual(len(selector.select(10.0)), 1)
        self.assertTrue(sub.drain_wakeup())
        self.assertFalse(sub.drain_wakeup())
        self.assertEqual(selector.select(0), [])
        self.assertEqual(sub.try_recv(), b"one")
        self.assertIsNone(sub.try_recv())

        # Unread messages with the flag disarmed: no byte comes, so poll_recv sees nothing
        # although try_recv does; arm_wakeup reports the message and leaves the flag clear.
        publish("two")
        deadline = time.monotonic() + 10
        while sub.lag == 0 and time.monotonic() < deadline:
            time.sleep(0.001)
        self.assertIsNone(sub.poll_recv())
        self.assertTrue(sub.arm_wakeup())
        publish("three")
        while sub.lag < 2 and time.monotonic() < deadline:
            time.sleep(0.001)
        self.assertEqual(selector.select(0.05), [])  # the flag was cleared: no byte
        self.assertEqual(sub.try_recv(), b"two")

        # poll_recv in the reader callback: it takes the byte and reads one message.
        self.assertEqual(sub.try_recv(), b"three")
        self.assertFalse(sub.arm_wakeup())
        publish("four")
        self.assertEqual(len(selector.select(10.0)), 1)
        self.assertEqual(sub.poll_recv(), b"four")
        self.assertIsNone(sub.poll_recv())

        self.finish(child)  # closes the child's input: it exits
        self.assertEqual(len(selector.select(10.0)), 1)
        with self.assertRaisesRegex(OSError, "^publisher closed$"):
            sub.drain_wakeup()


class HoldTest(SubscriptionTest):
    def test_calls_during_a_blocked_receive_fail_at_once(self):
        bus, sub = self.connected()
        waits = [
            ("recv", lambda: sub.recv()),
            ("recv_timeout", lambda: sub.recv_timeout(30.0)),
            ("recv_batch", lambda: sub.recv_batch(10, 30.0)),
            ("next", lambda: next(sub)),
            ("recv_into", lambda: bytes(buf[:sub.recv_into(buf)])),
        ]
        buf = bytearray(64)

        for name, wait in waits:
            with self.subTest(name=name):
                texts = {}

                def probe():
                    texts["lag"] = refused(lambda: sub.lag)
                    for other in ("try_recv", "arm_wakeup", "fileno", "__enter__"):
                        try:
                            getattr(sub, other)()
                        except RuntimeError as e:
                            texts[other] = str(e)

                got = blocked(self, wait, probe, lambda: bus.publish(TOPIC, b"go"))
                self.assertEqual(got if not isinstance(got, list) else got[0], b"go")
                self.assertEqual(texts, {
                    "lag": "Already mutably borrowed",
                    "try_recv": "Already borrowed",
                    "arm_wakeup": "Already borrowed",
                    "fileno": "Already mutably borrowed",
                    "__enter__": "Already mutably borrowed",
                })
        self.assertEqual(sub.lag, 0)

    def test_distinct_subscriptions_are_independent(self):
        bus, first = self.connected()
        second = bus.subscribe(TOPIC, 5.0)
        bus.wait_for_subscribers(TOPIC, 2, 5.0)

        def probe():
            refused(lambda: first.lag)
            self.assertEqual(second.lag, 0)
            self.assertIsNone(second.try_recv())

        self.assertEqual(blocked(self, first.recv, probe, lambda: bus.publish(TOPIC, b"x")),
                         b"x")
        self.assertEqual(second.try_recv(), b"x")


class SubscribeTest(SubscriptionTest):
    def test_destroying_a_subscription_frees_its_entry(self):
        bus = self.publisher(max_subscribers=2)
        subs = [bus.subscribe(TOPIC, 1.0), bus.subscribe(TOPIC, 1.0)]
        with self.assertRaisesRegex(TooManySubscribersError,
                                    "^subscriber limit for this topic is 2$"):
            bus.subscribe(TOPIC, 1.0)
        del subs[0]
        replacement = bus.subscribe(TOPIC, 1.0)
        bus.publish(TOPIC, b"x")
        self.assertEqual(replacement.recv_timeout(1.0), b"x")
        self.assertEqual(subs[0].recv_timeout(1.0), b"x")

    def test_connect_errors(self):
        bus = self.bus()
        start = time.monotonic()
        with self.assertRaisesRegex(ConnectTimeoutError, "^timed out waiting for 'orders'$"):
            bus.subscribe("orders", 0.05)
        with self.assertRaisesRegex(ConnectTimeoutError, "^timed out waiting for 'orders'$"):
            bus.subscribe_with_history("orders", 3, timeout_secs=0.05)
        with self.assertRaisesRegex(ConnectTimeoutError, "^timed out waiting for 'orders'$"):
            bus.subscribe_from("orders", 0, 0.05)
        self.assertLess(time.monotonic() - start, 5)
        with self.assertRaises(BaseException) as cm:
            bus.subscribe("orders", -1)
        self.assertEqual(str(cm.exception), NEGATIVE)

    def test_start_cursors_beyond_the_ring_are_refused_before_connecting(self):
        bus = self.bus()
        for cursor in (2**63, 2**64 - 1):
            with self.subTest(cursor=cursor):
                with self.assertRaisesRegex(OverflowError,
                                            "^out of range integral type conversion attempted$"):
                    bus.subscribe_from("never", cursor, 5.0)
        with self.assertRaises(OverflowError):
            bus.subscribe_from("never", 2**64, 5.0)
        with self.assertRaises(OverflowError):
            bus.subscribe_from("never", -1, 5.0)
        with self.assertRaisesRegex(TypeError, "^argument 'cursor': "):
            bus.subscribe_from("never", None)
        # The largest accepted cursor goes to the core, which waits for the topic.
        with self.assertRaises(ConnectTimeoutError):
            bus.subscribe_from("never", 2**63 - 1, 0.01)

    def test_cursor_too_old_without_a_log(self):
        bus = self.publisher(capacity=4)
        for i in range(10):
            bus.publish(TOPIC, b"%d" % i)
        with self.assertRaisesRegex(CursorTooOldError,
                                    r"^cursor 1 is older than the oldest in-ring slot \(6\)$"):
            bus.subscribe_from(TOPIC, 1, 1.0)
        sub = bus.subscribe_from(TOPIC, 6, 1.0)
        self.assertEqual(sub.recv_batch(10, 1.0), [b"6", b"7", b"8", b"9"])

    def test_start_positions(self):
        bus = self.publisher(capacity=16)
        for i in range(10):
            bus.publish(TOPIC, b"%d" % i)
        cases = [
            ("tail", lambda: bus.subscribe(TOPIC, 1.0), []),
            ("history 3", lambda: bus.subscribe_with_history(TOPIC, 3, 1.0), [b"7", b"8", b"9"]),
            ("history beyond", lambda: bus.subscribe_with_history(TOPIC, 99, 1.0),
             [b"%d" % i for i in range(10)]),
            ("from 8", lambda: bus.subscribe_from(TOPIC, cursor=8), [b"8", b"9"]),
        ]
        for name, make, expected in cases:
            with self.subTest(name=name):
                sub = make()
                self.assertEqual(sub.recv_batch(20, 0.05), expected)
                self.assertEqual(sub.cursor, 10)

    def test_log_replay_through_recv_batch(self):
        bus = self.publisher(capacity=4, wal_enabled=True)
        expected = [b"r%03d" % i for i in range(40)]
        for payload in expected:
            bus.publish(TOPIC, payload)
        sub = bus.subscribe_from(TOPIC, 0, 5.0)
        got = []
        deadline = time.monotonic() + 10
        while len(got) < len(expected) and time.monotonic() < deadline:
            got += sub.recv_batch(7, 1.0)
        self.assertEqual(got, expected)
        bus.publish(TOPIC, b"live")
        self.assertEqual(sub.recv_timeout(1.0), b"live")


# One subscriber process of the soak: receives with `mode` until the publisher has gone, checks
# every payload (cursor, length and checksum), their order and, when `complete`, that every
# cursor arrived; prints a JSON summary. argv: base_dir, topic, mode, complete, count.
SOAK_SUBSCRIBER = """
    import faulthandler, json, selectors, struct, sys, zlib
    from kavri._kavri import _RustBus
    faulthandler.dump_traceback_later(50, exit=True)
    base_dir, topic, mode = sys.argv[1], sys.argv[2], sys.argv[3]
    complete, count = sys.argv[4] == "1", int(sys.argv[5])
    bus = _RustBus("bus", base_dir=base_dir, wal_enabled=False)
    # The publisher starts once it has accepted every subscriber, possibly before the last one
    # placed a start at the tail: a subscriber that checks completeness starts at cursor 0,
    # which the ring still holds (its claimed entry held the publisher back from the start).
    sub = bus.subscribe_from(topic, 0, 30.0) if complete else bus.subscribe(topic, 30.0)
    state = {"last": -1, "received": 0}

    def check(payload, cursor_after=None):
        seq, length = struct.unpack_from("<QI", payload)
        assert len(payload) == length, (seq, len(payload), length)
        (crc,) = struct.unpack_from("<I", payload, length - 4)
        assert crc == zlib.crc32(payload[:length - 4]), seq
        if complete:
            assert seq == state["last"] + 1, (seq, state["last"])
        else:
            assert seq > state["last"], (seq, state["last"])
        if cursor_after is not None:
            assert cursor_after == seq + 1, (cursor_after, seq)
        state["last"] = seq
        state["received"] += 1

    def closed(e):
        return str(e) in ("failed to fill whole buffer", "publisher closed")

    if mode == "recv":
        for payload in sub:
            check(payload, sub.cursor)
    elif mode == "recv_batch":
        while True:
            try:
                batch = sub.recv_batch(64, 10.0)
            except OSError as e:
                assert closed(e), e
                break
            for payload in batch:
                check(payload)
            if batch:
                assert sub.cursor == state["last"] + 1
    elif mode == "recv_into":
        buf = bytearray(sub.max_payload_size)
        view = memoryview(buf)
        while True:
            try:
                n = sub.recv_into(buf)
            except OSError as e:
                assert closed(e), e
                break
            check(bytes(view[:n]), sub.cursor)
    elif mode == "event_loop":
        selector = selectors.DefaultSelector()
        selector.register(sub.fileno(), selectors.EVENT_READ)
        gone = False
        while True:
            while (payload := sub.try_recv()) is not None:
                check(payload, sub.cursor)
            if gone:
                break
            if sub.arm_wakeup():
                continue
            if not selector.select(10.0):
                raise SystemExit("no wake-up within 10 s")
            try:
                sub.drain_wakeup()
            except OSError as e:
                assert closed(e), e
                gone = True  # messages published before it went stay readable
    if complete:
        assert state["received"] == count, (state["received"], count)
    print(json.dumps(state))
"""

# The soak's publisher: once `subscribers` are connected, publishes `count` self-describing
# payloads of 16 to 600 bytes with TopicPublisher.publish_many in batches of varying size,
# retrying the rest of a batch when the ring is full; then exits.
# argv: base_dir, topic, policy, subscribers, count.
SOAK_PUBLISHER = """
    import faulthandler, os, struct, sys, time, zlib
    from kavri._kavri import _RustBus
    faulthandler.dump_traceback_later(50, exit=True)
    base_dir, topic, policy = sys.argv[1], sys.argv[2], sys.argv[3]
    subscribers, count = int(sys.argv[4]), int(sys.argv[5])
    bus = _RustBus("bus", base_dir=base_dir, capacity=512, slot_size=1024,
                   backpressure=policy, wal_enabled=False)
    handle = bus.topic(topic)
    handle.wait_for_subscribers(subscribers, 30.0)

    def payload(seq):
        length = 16 + (seq * 7919) % 585
        body = struct.pack("<QI", seq, length) + os.urandom(length - 16)
        return body + struct.pack("<I", zlib.crc32(body))

    seq = 0
    while seq < count:
        batch = [payload(s) for s in range(seq, min(count, seq + 1 + seq % 50))]
        while batch:
            written = handle.publish_many(batch)
            del batch[:written]
            seq += written
            if batch:
                time.sleep(0.0002)
"""


class SoakTest(SubscriptionTest):
    MODES = ("recv", "recv_batch", "recv_into", "event_loop")
    SUBSCRIBERS = 16

    def test_sixteen_subscriber_processes_under_both_policies(self):
        for policy, count in (("error", 80000), ("drop_oldest", 80000)):
            with self.subTest(policy=policy):
                topic = f"soak-{policy}"
                publisher = self.spawn(SOAK_PUBLISHER, topic, policy, self.SUBSCRIBERS, count)
                complete = "1" if policy == "error" else "0"
                subscribers = [
                    self.spawn(SOAK_SUBSCRIBER, topic, self.MODES[i % 4], complete, count)
                    for i in range(self.SUBSCRIBERS)
                ]
                self.finish(publisher)
                for i, child in enumerate(subscribers):
                    state = json.loads(self.finish(child))
                    if policy == "error":
                        self.assertEqual(state, {"last": count - 1, "received": count})
                    else:  # gaps where it was lapped, but the newest is never overwritten
                        self.assertEqual(state["last"], count - 1, self.MODES[i % 4])


if __name__ == "__main__":
    unittest.main()
