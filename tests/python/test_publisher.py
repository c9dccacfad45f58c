"""TopicPublisher: the prepared publish handle that owns a topic's publisher and its lock."""

import gc
import inspect
import math
import os
import select
import subprocess
import sys
import textwrap
import unittest
import weakref

from kavri._kavri import (
    AlreadyPublishingError,
    BusFullError,
    ConnectTimeoutError,
    MessageTooLargeError,
    TopicPublisher,
)
from publishing_fixtures import BaseDirTest, call_while_waiting, refused

NEGATIVE = "cannot convert float seconds to Duration: value is negative"
TOO_BIG = "cannot convert float seconds to Duration: value is either too big or NaN"


def bytes_subclass(value):
    return type("Payload", (bytes,), {})(value)


class PublishTest(BaseDirTest):
    def test_publish_writes_one_message_per_call(self):
        publisher = self.bus().topic("t")
        ring = self.ring("t")
        self.assertIsNone(publisher.publish(b""))
        publisher.publish(data=b"x" * 65536)  # exactly slot_size
        publisher.publish(bytes_subclass(b"sub"))
        self.assertEqual(ring.tail, 3)
        self.assertEqual(publisher.stats().published_total, 3)

    def test_publish_refuses_everything_but_bytes(self):
        publisher = self.bus().topic("t")
        for value, name in [
            ("text", "str"),
            (bytearray(b"x"), "bytearray"),
            (memoryview(b"x"), "memoryview"),
            (None, "NoneType"),
        ]:
            with self.subTest(name=name):
                with self.assertRaises(TypeError) as cm:
                    publisher.publish(value)
                self.assertEqual(
                    str(cm.exception),
                    f"argument 'data': '{name}' object cannot be converted to 'PyBytes'",
                )
        self.assertEqual(publisher.stats().tail, 0)

    def test_publish_many_converter_table(self):
        publisher = self.bus().topic("t")

        def generator():
            yield b"a"

        cases = [
            ([], 0, None),
            (b"", 0, None),
            ((b"a", bytes_subclass(b"b")), 2, None),
            ([b"a", b"", b"c"], 3, None),
            ("ab", None, "argument 'payloads': Can't extract `str` to `Vec`"),
            (generator(), None,
             "argument 'payloads': 'generator' object cannot be converted to 'Sequence'"),
            ({b"a"}, None, "argument 'payloads': 'set' object cannot be converted to 'Sequence'"),
            (b"ab", None, "argument 'payloads': 'int' object cannot be converted to 'PyBytes'"),
            ([b"a", "b"], None,
             "argument 'payloads': 'str' object cannot be converted to 'PyBytes'"),
            ([b"a", bytearray(b"b")], None,
             "argument 'payloads': 'bytearray' object cannot be converted to 'PyBytes'"),
        ]
        tail = 0
        for payloads, count, error in cases:
            with self.subTest(payloads=payloads):
                if error is None:
                    self.assertEqual(publisher.publish_many(payloads), count)
                    tail += count
                else:
                    with self.assertRaises(TypeError) as cm:
                        publisher.publish_many(payloads)
                    self.assertEqual(str(cm.exception), error)
                # A refused batch publishes nothing, not even its leading bytes items.
                self.assertEqual(publisher.stats().tail, tail)

    def test_message_too_large(self):
        publisher = self.bus().topic("t")
        with self.assertRaises(MessageTooLargeError) as cm:
            publisher.publish(b"x" * 70000)
        self.assertEqual(str(cm.exception), "message is 70000 bytes; slot_size is 65536 bytes")
        self.assertEqual(cm.exception.args, ("message is 70000 bytes; slot_size is 65536 bytes",))
        # In a batch the messages before the large one stay published.
        with self.assertRaises(MessageTooLargeError) as cm:
            publisher.publish_many([b"a", b"b", b"x" * 65537, b"d"])
        self.assertEqual(str(cm.exception), "message is 65537 bytes; slot_size is 65536 bytes")
        self.assertEqual(publisher.stats().tail, 2)

    def test_full_ring_under_the_error_policy(self):
        publisher = self.bus(capacity=4, wal_enabled=False).topic("t")
        self.ring("t").claim(0, 0)  # a subscriber that reads nothing
        for _ in range(4):
            publisher.publish(b"m")
        with self.assertRaises(BusFullError) as cm:
            publisher.publish(b"m")
        self.assertEqual(str(cm.exception), "ring buffer full")
        self.assertNotIsInstance(cm.exception, OSError)
        # A batch stops at the full ring without an error or a rejection counted.
        self.assertEqual(publisher.publish_many([b"m", b"m"]), 0)
        stats = publisher.stats()
        self.assertEqual((stats.tail, stats.full_rejected_total, stats.lags), (4, 1, [4]))

    def test_publish_many_returns_what_fitted(self):
        publisher = self.bus(capacity=4).topic("t")
        self.ring("t").claim(0, 0)
        self.assertEqual(publisher.publish_many([b"m"] * 10), 4)
        stats = publisher.stats()
        self.assertEqual((stats.published_total, stats.full_rejected_total), (4, 0))
        self.assertEqual(stats.wal.pending_cursor, 4)


class WaitTest(BaseDirTest):
    def test_timeout_converter_table(self):
        publisher = self.bus().topic("t")
        for value in [0, 5, 5.0, -0.0, 1e-10, 0.0]:
            with self.subTest(timeout=value):
                self.assertIsNone(publisher.wait_for_subscribers(0, value))
        for value, text in [(-1, NEGATIVE), (-1e-300, NEGATIVE), (math.nan, TOO_BIG),
                            (math.inf, TOO_BIG), (1e20, TOO_BIG)]:
            with self.subTest(timeout=value):
                with self.assertRaises(BaseException) as cm:
                    publisher.wait_for_subscribers(n=0, timeout_secs=value)
                panic = cm.exception
                self.assertEqual(type(panic).__name__, "PanicException")
                self.assertNotIsInstance(panic, Exception)
                self.assertEqual(type(panic).__bases__, (BaseException,))
                self.assertEqual(str(panic), text)
                publisher.publish(b"usable")  # the hold was released
        with self.assertRaises(TypeError) as cm:
            publisher.wait_for_subscribers(0, None)
        self.assertTrue(str(cm.exception).startswith("argument 'timeout_secs': "))
        with self.assertRaises(TypeError) as cm:
            publisher.wait_for_subscribers(None)
        self.assertTrue(str(cm.exception).startswith("argument 'n': "))
        for n in [-1, 2**64]:
            with self.assertRaises(OverflowError):
                publisher.wait_for_subscribers(n, 0)

    def test_timeout_without_subscribers(self):
        publisher = self.bus().topic("t")
        with self.assertRaises(ConnectTimeoutError) as cm:
            publisher.wait_for_subscribers(timeout_secs=0.05)
        self.assertEqual(str(cm.exception), "timed out waiting for 'waiting for subscribers'")

    def test_calls_during_a_wait_are_refused_at_once(self):
        publisher = self.bus().topic("t")
        texts = {}

        def probe():
            texts["stats"] = refused(publisher.stats)
            for name, call in [
                ("publish", lambda: publisher.publish(b"x")),
                ("publish_many", lambda: publisher.publish_many([b"x"])),
                ("wait", lambda: publisher.wait_for_subscribers(0, 0)),
                ("enter", publisher.__enter__),
                ("exit", publisher.__exit__),
            ]:
                try:
                    call()
                except RuntimeError as e:
                    texts[name] = str(e)

        error = call_while_waiting(
            self, lambda: publisher.wait_for_subscribers(1, 1.0), probe, wait_secs=1.0
        )
        self.assertIsInstance(error, ConnectTimeoutError)
        self.assertEqual(
            texts,
            {
                "stats": "Already mutably borrowed",
                "publish": "Already borrowed",
                "publish_many": "Already borrowed",
                "wait": "Already borrowed",
                "enter": "Already mutably borrowed",
                "exit": "Already borrowed",
            },
        )
        publisher.publish(b"after")
        self.assertEqual(publisher.stats().tail, 1)


class LifetimeTest(BaseDirTest):
    def test_handle_holds_the_producer_lock_until_destroyed(self):
        bus = self.bus()
        publisher = bus.topic("t")
        publisher.publish(b"a")
        self.assertIsNone(bus.stats("t"))
        text = "a publisher is already active for topic 't'"
        for call in [
            lambda: bus.publish("t", b"b"),
            lambda: bus.publish_many("t", [b"b"]),
            lambda: bus.topic("t"),
            lambda: bus.wait_for_subscribers("t", 0, 0),
            lambda: bus.clean_topic("t"),
            lambda: self.bus().publish("t", b"b"),
        ]:
            with self.assertRaises(AlreadyPublishingError) as cm:
                call()
            self.assertEqual(str(cm.exception), text)
        del publisher
        gc.collect()
        bus.publish("t", b"b")
        self.assertEqual(bus.stats("t").tail, 2)  # the log continues the numbering

    def test_handle_adopts_the_bus_publisher(self):
        bus = self.bus()
        bus.publish("t", b"a")
        publisher = bus.topic("t")
        self.assertIsNone(bus.stats("t"))
        self.assertEqual(publisher.stats().published_total, 1)

    def test_context_manager_changes_nothing(self):
        bus = self.bus()
        with bus.topic("t") as publisher:
            self.assertIs(type(publisher), TopicPublisher)
            publisher.publish(b"a")
        publisher.publish(b"b")
        self.assertEqual(publisher.stats().tail, 2)
        self.assertIs(publisher.__exit__(), False)
        self.assertIs(publisher.__exit__(1, "two", object()), False)
        self.assertIs(publisher.__exit__(_exc_type=None, _exc_val=None, _exc_tb=None), False)
        with self.assertRaises(TypeError) as cm:
            publisher.__exit__(1, 2, 3, 4)
        self.assertEqual(
            str(cm.exception),
            "TopicPublisher.__exit__() takes from 0 to 3 positional arguments but 4 were given",
        )
        with self.assertRaises(KeyError):
            with publisher:
                raise KeyError("propagates")
        with self.assertRaises(AlreadyPublishingError):
            bus.publish("t", b"c")


class ClassTest(BaseDirTest):
    def test_class_properties(self):
        with self.assertRaises(TypeError) as cm:
            TopicPublisher()
        self.assertEqual(str(cm.exception), "No constructor defined for TopicPublisher")
        with self.assertRaises(TypeError):
            type("Sub", (TopicPublisher,), {})
        self.assertEqual(TopicPublisher.__module__, "kavri._kavri")
        self.assertIsNone(TopicPublisher.__text_signature__)
        self.assertIn("producer lock", TopicPublisher.__doc__)
        publisher = self.bus().topic("t")
        with self.assertRaises(AttributeError):
            publisher.extra = 1
        with self.assertRaises(TypeError):
            weakref.ref(publisher)

    def test_methods_and_signatures(self):
        expected = {
            "publish": "($self, data)",
            "publish_many": "($self, payloads)",
            "wait_for_subscribers": "($self, n=1, timeout_secs=30.0)",
            "stats": "($self)",
            "__enter__": "($self)",
            "__exit__": "($self, _exc_type=None, _exc_val=None, _exc_tb=None)",
        }
        methods = [n for n, v in vars(TopicPublisher).items() if callable(v) and n in expected]
        self.assertEqual(methods, list(expected))
        for name, signature in expected.items():
            with self.subTest(name=name):
                method = getattr(TopicPublisher, name)
                self.assertEqual(method.__text_signature__, signature)
                self.assertEqual(str(inspect.signature(method)),
                                 signature.replace("$self", "self, /"))
        self.assertIsNone(TopicPublisher.__enter__.__doc__)
        self.assertIn("BusFullError", TopicPublisher.publish.__doc__)

    def test_binding_messages(self):
        publisher = self.bus().topic("t")
        cases = [
            (publisher.publish, (), {},
             "TopicPublisher.publish() missing 1 required positional argument: 'data'"),
            (publisher.publish, (b"a", b"b"), {},
             "TopicPublisher.publish() takes 1 positional arguments but 2 were given"),
            (publisher.publish_many, ([],), {"payloads": []},
             "TopicPublisher.publish_many() got multiple values for argument 'payloads'"),
            (publisher.wait_for_subscribers, (), {"count": 1},
             "TopicPublisher.wait_for_subscribers() got an unexpected keyword argument 'count'"),
        ]
        for method, args, kwargs, text in cases:
            with self.subTest(text=text):
                with self.assertRaises(TypeError) as cm:
                    method(*args, **kwargs)
                self.assertEqual(str(cm.exception), text)
        with self.assertRaises(TypeError):
            publisher.stats(1)


CHILD = """
import sys
from kavri._kavri import _RustBus
publisher = _RustBus("bus", base_dir=sys.argv[1]).topic("t")
publisher.publish_many([b"one", b"two", b"three"])
publisher.publish(b"four")
print(repr(publisher.stats()), flush=True)
sys.stdin.readline()  # hold the topic until the parent has looked
"""


class CrossProcessTest(BaseDirTest):
    def test_publish_in_one_process_observe_in_another(self):
        child = subprocess.Popen(
            [sys.executable, "-c", textwrap.dedent(CHILD), self.base_dir],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
            env=os.environ.copy(),
        )
        self.addCleanup(child.kill)
        try:
            # Bounded: a child that hangs before its report fails the test instead.
            ready, _, _ = select.select([child.stdout], [], [], 30)
            self.assertTrue(ready, "the child did not report")
            line = child.stdout.readline()
            self.assertTrue(line.startswith("TopicStats(tail=4, "), line)
            self.assertIn("published_total=4, ", line)
            self.assertEqual(self.ring("t").tail, 4)
            bus = self.bus()
            with self.assertRaises(AlreadyPublishingError):
                bus.publish("t", b"five")
            self.assertIsNone(bus.stats("t"))
            child.stdin.write("done\n")
            child.stdin.flush()
            self.assertEqual(child.wait(timeout=30), 0)
        finally:
            child.stdin.close()
            child.stdout.close()
        # The child's lock went with it; its log continues the numbering here.
        bus.publish("t", b"five")
        stats = bus.stats("t")
        self.assertEqual((stats.tail, stats.published_total), (5, 1))
        self.assertEqual(stats.wal.pending_cursor, 5)


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class ReferenceLeakTest(BaseDirTest):
    """100,000 publishes through every path leave the payloads' reference counts and the
    process's resident size where they were (a leaked payload of 64 bytes per call would add
    about 10 MB)."""

    LOOPS = 100_000

    def test_no_reference_leaks(self):
        bus = self.bus(wal_enabled=False, backpressure="drop_oldest")
        publisher = bus.topic("t")
        payload = b"p" * 64
        batch = [payload] * 10
        before = sys.getrefcount(payload), sys.getrefcount(publisher), sys.getrefcount(bus)

        def run(n):
            for _ in range(n):
                publisher.publish(bytes(64))
                publisher.publish(payload)
                publisher.publish_many(batch)
                bus.publish("u", payload)
                bus.publish("u", bytes(64))
                publisher.stats().lags
                try:
                    publisher.publish(bytearray(1))
                except TypeError:
                    pass

        run(10_000)  # warm up the allocators
        gc.collect()
        rss = rss_bytes()
        run(self.LOOPS)
        gc.collect()
        growth = rss_bytes() - rss
        self.assertEqual(
            (sys.getrefcount(payload), sys.getrefcount(publisher), sys.getrefcount(bus)), before
        )
        # The address sanitizer's quarantine keeps freed memory resident on purpose.
        if "libasan" not in os.environ.get("LD_PRELOAD", ""):
            self.assertLess(growth, 4 * 1024 * 1024, f"resident size grew by {growth} bytes")


if __name__ == "__main__":
    unittest.main()
