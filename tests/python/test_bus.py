"""_RustBus methods: binding, conversion, holds, results and the error mapping."""

import inspect
import math
import os
import unittest

from kavri._kavri import (
    AlreadyPublishingError,
    ConnectTimeoutError,
    TopicPublisher,
    TopicStats,
    WalError,
    _RustBus,
)
from publishing_fixtures import BaseDirTest, call_while_waiting, refused

NEGATIVE = "cannot convert float seconds to Duration: value is negative"
TOO_BIG = "cannot convert float seconds to Duration: value is either too big or NaN"

# Registration order; the subscribe methods sit between topic and wait_for_subscribers.
METHODS = {
    "publish": "($self, topic, data)",
    "publish_many": "($self, topic, payloads)",
    "topic": "($self, name)",
    "subscribe": "($self, topic, timeout_secs=30.0)",
    "subscribe_with_history": "($self, topic, n_messages_back, timeout_secs=30.0)",
    "subscribe_from": "($self, topic, cursor, timeout_secs=30.0)",
    "wait_for_subscribers": "($self, topic, n=1, timeout_secs=30.0)",
    "stats": "($self, topic)",
    "slow_subscribers": "($self, topic, threshold)",
    "clean_topic": "($self, topic)",
}


class SurfaceTest(unittest.TestCase):
    def test_methods_in_order_with_signatures(self):
        present = [n for n in vars(_RustBus) if n in METHODS]
        self.assertEqual(present, [n for n in METHODS if hasattr(_RustBus, n)])
        for name in present:
            with self.subTest(name=name):
                method = getattr(_RustBus, name)
                self.assertEqual(method.__text_signature__, METHODS[name])
                self.assertEqual(str(inspect.signature(method)),
                                 METHODS[name].replace("$self", "self, /"))
                self.assertTrue(method.__doc__)

    def test_binding_messages(self):
        bus = _RustBus("b", base_dir="/nonexistent/never/created")
        cases = [
            (bus.publish, ("t",), {},
             "_RustBus.publish() missing 1 required positional argument: 'data'"),
            (bus.publish, (), {},
             "_RustBus.publish() missing 2 required positional arguments: 'topic' and 'data'"),
            (bus.publish, ("t", b"", b""), {},
             "_RustBus.publish() takes 2 positional arguments but 3 were given"),
            (bus.publish, ("t",), {"topic": "t"},
             "_RustBus.publish() got multiple values for argument 'topic'"),
            (bus.publish, ("t", b""), {"bogus": 1},
             "_RustBus.publish() got an unexpected keyword argument 'bogus'"),
            (bus.wait_for_subscribers, ("t", 1, 2, 3), {},
             "_RustBus.wait_for_subscribers() takes from 1 to 3 positional arguments "
             "but 4 were given"),
            (bus.slow_subscribers, (), {"threshold": 1},
             "_RustBus.slow_subscribers() missing 1 required positional argument: 'topic'"),
            # Binding comes before conversion and before the hold.
            (bus.stats, (1,), {"x": 1}, "_RustBus.stats() got an unexpected keyword argument 'x'"),
        ]
        for method, args, kwargs, text in cases:
            with self.subTest(text=text):
                with self.assertRaises(TypeError) as cm:
                    method(*args, **kwargs)
                self.assertEqual(str(cm.exception), text)

    def test_conversions_before_any_file_work(self):
        bus = _RustBus("b", base_dir="/nonexistent/never/created")
        cases = [
            (lambda: bus.publish(1, b""),
             "argument 'topic': 'int' object cannot be converted to 'PyString'"),
            (lambda: bus.publish("t", bytearray()),
             "argument 'data': 'bytearray' object cannot be converted to 'PyBytes'"),
            (lambda: bus.publish("t", memoryview(b"")),
             "argument 'data': 'memoryview' object cannot be converted to 'PyBytes'"),
            (lambda: bus.publish("t", "text"),
             "argument 'data': 'str' object cannot be converted to 'PyBytes'"),
            (lambda: bus.publish_many("t", "ab"),
             "argument 'payloads': Can't extract `str` to `Vec`"),
            (lambda: bus.publish_many("t", (x for x in [b"a"])),
             "argument 'payloads': 'generator' object cannot be converted to 'Sequence'"),
            (lambda: bus.publish_many("t", b"ab"),
             "argument 'payloads': 'int' object cannot be converted to 'PyBytes'"),
            (lambda: bus.slow_subscribers("t", "1"),
             "argument 'threshold': 'str' object cannot be interpreted as an integer"),
            (lambda: _RustBus("b", wal_enabled=1),
             "argument 'wal_enabled': 'int' object cannot be converted to 'PyBool'"),
        ]
        for call, text in cases:
            with self.subTest(text=text):
                with self.assertRaises(TypeError) as cm:
                    call()
                self.assertEqual(str(cm.exception), text)
        with self.assertRaises(OverflowError):
            bus.slow_subscribers("t", -1)
        self.assertFalse(os.path.exists("/nonexistent/never/created"))


class PublishTest(BaseDirTest):
    def test_new_bus_touches_nothing(self):
        bus = self.bus(capacity=0)
        self.assertIsNone(bus.stats("t"))
        self.assertEqual(bus.slow_subscribers("t", 0), [])
        self.assertEqual(os.listdir(self.base_dir), [])

    def test_publish_and_publish_many_create_the_publisher_once(self):
        bus = self.bus()
        self.assertIsNone(bus.publish("t", b""))
        self.assertIsNone(bus.publish(topic="t", data=b"abc"))
        self.assertEqual(bus.publish_many("t", [b"a", b"b"]), 2)
        self.assertEqual(bus.publish_many(topic="t", payloads=()), 0)
        self.assertEqual(bus.publish_many("t", b""), 0)
        stats = bus.stats("t")
        self.assertIs(type(stats), TopicStats)
        self.assertEqual((stats.tail, stats.published_total), (4, 4))
        self.assertEqual(self.ring("t").tail, 4)
        self.assertEqual(sorted(os.listdir(self.topic_dir("t"))),
                         ["producer.lock", "ring.mmap", "signal.sock", "wal"])

    def test_topic_hands_the_publisher_over(self):
        bus = self.bus()
        bus.publish("t", b"a")
        publisher = bus.topic(name="t")
        self.assertIs(type(publisher), TopicPublisher)
        self.assertIsNone(bus.stats("t"))
        with self.assertRaises(AlreadyPublishingError) as cm:
            bus.topic("t")
        self.assertEqual(str(cm.exception), "a publisher is already active for topic 't'")
        # A second bus object on the same directory meets the same producer lock.
        with self.assertRaises(AlreadyPublishingError):
            self.bus().publish("t", b"b")
        del publisher
        bus.publish("t", b"b")
        self.assertEqual(bus.stats("t").tail, 2)

    def test_slow_subscribers_and_lags(self):
        bus = self.bus(wal_enabled=False)
        bus.publish_many("t", [b"m"] * 12)
        ring = self.ring("t")
        ring.claim(3, 10)
        ring.claim(7, 2)
        ring.claim(9, 20)  # ahead of the tail: lag 0
        self.assertEqual(bus.slow_subscribers("t", 0), [(3, 2), (7, 10), (9, 0)])
        self.assertEqual(bus.slow_subscribers("t", 2), [(3, 2), (7, 10)])
        self.assertEqual(bus.slow_subscribers(topic="t", threshold=3), [(7, 10)])
        self.assertEqual(bus.slow_subscribers("t", 2**64 - 1), [])
        self.assertEqual(bus.stats("t").lags, [2, 10, 0])
        self.assertEqual(bus.slow_subscribers("other", 0), [])

    def test_clean_topic(self):
        bus = self.bus()
        self.assertIsNone(bus.clean_topic("never"))
        bus.publish("t", b"a")
        bus.clean_topic("t")  # drops its own publisher first
        self.assertFalse(os.path.exists(self.topic_dir("t")))
        self.assertIsNone(bus.stats("t"))
        publisher = bus.topic("t")
        with self.assertRaises(AlreadyPublishingError):
            bus.clean_topic("t")
        self.assertTrue(os.path.exists(self.topic_dir("t")))
        del publisher
        bus.clean_topic("t")
        self.assertFalse(os.path.exists(self.topic_dir("t")))


class ErrorTest(BaseDirTest):
    def test_io_error_is_plain_oserror_with_the_number_in_its_text(self):
        blocker = os.path.join(self.base_dir, "file")
        with open(blocker, "w"):
            pass
        bus = _RustBus("bus", base_dir=blocker)
        with self.assertRaises(OSError) as cm:
            bus.publish("t", b"a")
        error = cm.exception
        self.assertIs(type(error), OSError)
        self.assertIsNone(error.errno)
        self.assertIsNone(error.filename)
        # The directory layer reports the file in the way as EEXIST.
        self.assertEqual(str(error), f"{os.strerror(17)} (os error 17)")
        self.assertIsNone(bus.stats("t"))  # nothing was cached; the next call tries again
        with self.assertRaises(OSError):
            bus.publish_many("t", [b"a"])

    def test_log_that_cannot_open_is_a_wal_error(self):
        os.makedirs(self.topic_dir("t"))
        with open(os.path.join(self.topic_dir("t"), "wal"), "w"):
            pass  # a file where the log's directory belongs
        bus = self.bus()
        with self.assertRaises(WalError) as cm:
            bus.publish("t", b"a")
        self.assertIsInstance(cm.exception, OSError)
        self.assertIsNone(cm.exception.errno)
        self.assertEqual(str(cm.exception), f"I/O error: {os.strerror(17)} (os error 17)")
        # Without the log the same topic publishes.
        self.bus(wal_enabled=False).publish("t", b"a")


class WaitTest(BaseDirTest):
    def test_timeout_converter_table(self):
        bus = self.bus()
        for value in [0, 5, -0.0, 1e-10]:
            with self.subTest(timeout=value):
                self.assertIsNone(bus.wait_for_subscribers("t", 0, value))
        for value, text in [(-1, NEGATIVE), (math.nan, TOO_BIG), (math.inf, TOO_BIG),
                            (1e20, TOO_BIG)]:
            with self.subTest(timeout=value):
                with self.assertRaises(BaseException) as cm:
                    bus.wait_for_subscribers("u", n=0, timeout_secs=value)
                self.assertEqual(type(cm.exception).__name__, "PanicException")
                self.assertNotIsInstance(cm.exception, Exception)
                self.assertEqual(str(cm.exception), text)
        # A refused time-out never reached the core: "u" has no publisher.
        self.assertIsNone(bus.stats("u"))
        with self.assertRaises(TypeError) as cm:
            bus.wait_for_subscribers("t", 0, None)
        self.assertTrue(str(cm.exception).startswith("argument 'timeout_secs': "))
        with self.assertRaises(OverflowError):
            bus.wait_for_subscribers("t", -1, 0)
        # Waiting made this bus the topic's publisher.
        self.assertEqual(bus.stats("t").tail, 0)

    def test_timeout_without_subscribers(self):
        with self.assertRaises(ConnectTimeoutError) as cm:
            self.bus().wait_for_subscribers("t", timeout_secs=0.05)
        self.assertEqual(str(cm.exception), "timed out waiting for 'waiting for subscribers'")

    def test_calls_during_a_wait_are_refused_at_once(self):
        bus = self.bus()
        other = self.bus()
        texts = {}

        def probe():
            texts["stats"] = refused(lambda: bus.stats("t"))
            for name, call in [
                ("publish", lambda: bus.publish("t", b"x")),
                ("publish_many", lambda: bus.publish_many("t", [])),
                ("topic", lambda: bus.topic("t")),
                ("wait", lambda: bus.wait_for_subscribers("t", 0, 0)),
                ("clean_topic", lambda: bus.clean_topic("t")),
                ("slow_subscribers", lambda: bus.slow_subscribers("t", 0)),
            ]:
                try:
                    call()
                except RuntimeError as e:
                    texts[name] = str(e)
            # Another object is not held: it publishes another topic meanwhile.
            other.publish("u", b"x")

        error = call_while_waiting(
            self, lambda: bus.wait_for_subscribers("t", 1, 1.0), probe, wait_secs=1.0
        )
        self.assertIsInstance(error, ConnectTimeoutError)
        self.assertEqual(
            texts,
            {
                "stats": "Already mutably borrowed",
                "publish": "Already borrowed",
                "publish_many": "Already borrowed",
                "topic": "Already borrowed",
                "wait": "Already borrowed",
                "clean_topic": "Already borrowed",
                "slow_subscribers": "Already mutably borrowed",
            },
        )
        bus.publish("t", b"after")
        self.assertEqual(bus.stats("t").tail, 1)


if __name__ == "__main__":
    unittest.main()
