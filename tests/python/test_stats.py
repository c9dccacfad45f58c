"""TopicStats and WalStats: frozen snapshots with read-only attributes and fixed reprs."""

import unittest
import weakref

from kavri._kavri import TopicStats, WalStats
from publishing_fixtures import BaseDirTest

TOPIC_FIELDS = [
    "tail",
    "active_subscribers",
    "lags",
    "connected_sockets",
    "published_total",
    "full_rejected_total",
    "subscribers_dropped_total",
    "wakeups_sent_total",
    "wal",
]
WAL_FIELDS = [
    "pending_cursor",
    "durable_cursor",
    "oldest_cursor",
    "active_segment_bytes",
    "total_wal_bytes",
    "segments",
    "appends_total",
    "append_bytes_total",
    "flushes_total",
]


class ReprTest(BaseDirTest):
    def test_topic_without_log(self):
        publisher = self.bus(wal_enabled=False).topic("t")
        publisher.publish(b"abc")
        stats = publisher.stats()
        self.assertIsNone(stats.wal)
        self.assertEqual(stats.lags, [])
        self.assertEqual(stats.active_subscribers, 0)
        text = (
            "TopicStats(tail=1, active_subscribers=0, lags=[], connected_sockets=0, "
            "published_total=1, full_rejected_total=0, subscribers_dropped_total=0, "
            "wakeups_sent_total=0, wal=None)"
        )
        self.assertEqual(repr(stats), text)
        self.assertEqual(str(stats), text)

    def test_topic_with_log(self):
        publisher = self.bus().topic("t")
        publisher.publish_many([b"a", b"bb", b"ccc"])
        stats = publisher.stats()
        self.assertTrue(repr(stats).endswith(", wal=<WalStats>)"), repr(stats))
        wal = stats.wal
        self.assertIsInstance(wal, WalStats)
        self.assertEqual(wal.pending_cursor, 3)
        self.assertEqual(wal.appends_total, 3)
        self.assertEqual(wal.append_bytes_total, 6)
        self.assertEqual(wal.segments, 1)
        values = [getattr(wal, f) for f in WAL_FIELDS]
        self.assertEqual(
            repr(wal),
            "WalStats(pending={}, durable={}, oldest={}, active_bytes={}, total_bytes={}, "
            "segments={}, appends_total={}, append_bytes_total={}, flushes_total={})".format(
                *values
            ),
        )

    def test_lags_in_table_order_and_as_unsigned(self):
        bus = self.bus(wal_enabled=False)
        publisher = bus.topic("t")
        publisher.publish_many([b"x"] * 12)
        ring = self.ring("t")
        ring.claim(3, 10)
        ring.claim(7, 2)
        stats = publisher.stats()
        self.assertEqual(stats.lags, [2, 10])
        self.assertEqual(stats.active_subscribers, 2)
        self.assertIn(", lags=[2, 10], ", repr(stats))
        # A tail of 2^63 and more comes out positive, and so does a lag that large.
        ring.claim(7, 0)
        ring.set_word(32, 2**63 + 5)
        stats = publisher.stats()
        self.assertEqual(stats.tail, 2**63 + 5)
        self.assertEqual(stats.lags, [2**63 - 5, 2**63 + 5])
        self.assertIn(f"TopicStats(tail={2**63 + 5}, ", repr(stats))
        ring.set_word(32, 12)


class SnapshotTest(BaseDirTest):
    def test_values_are_frozen_and_reads_are_fresh_objects(self):
        publisher = self.bus().topic("t")
        publisher.publish(b"a")
        stats = publisher.stats()
        publisher.publish(b"b")
        self.assertEqual(stats.tail, 1)
        self.assertEqual(stats.published_total, 1)
        self.assertEqual(stats.wal.pending_cursor, 1)
        self.assertEqual(publisher.stats().tail, 2)

        lags = stats.lags
        lags.append(99)
        self.assertEqual(stats.lags, [])
        self.assertIsNot(stats.lags, stats.lags)
        first, second = stats.wal, stats.wal
        self.assertIsNot(first, second)
        self.assertEqual(repr(first), repr(second))
        self.assertNotEqual(first, second)  # identity comparison only

    def test_every_getter_reads_an_int_and_none_can_be_set(self):
        stats = self.bus().topic("t").stats()
        for obj, fields in [(stats, TOPIC_FIELDS), (stats.wal, WAL_FIELDS)]:
            for field in fields:
                with self.subTest(field=field):
                    value = getattr(obj, field)
                    if field not in ("lags", "wal"):
                        self.assertIs(type(value), int)
                    with self.assertRaises(AttributeError):
                        setattr(obj, field, 1)
                    with self.assertRaises(AttributeError):
                        delattr(obj, field)


class ClassTest(unittest.TestCase):
    def test_classes_cannot_be_made_or_extended(self):
        for cls in (TopicStats, WalStats):
            with self.subTest(cls=cls.__name__):
                with self.assertRaises(TypeError) as cm:
                    cls()
                self.assertEqual(str(cm.exception), f"No constructor defined for {cls.__name__}")
                with self.assertRaises(TypeError):
                    type("Sub", (cls,), {})
                self.assertEqual(cls.__module__, "kavri._kavri")
                self.assertNotIn("__dict__", cls.__dict__)
                self.assertNotIn("__weakref__", cls.__dict__)

    def test_attributes_in_order_with_their_docstrings(self):
        for cls, fields in [(TopicStats, TOPIC_FIELDS), (WalStats, WAL_FIELDS)]:
            with self.subTest(cls=cls.__name__):
                names = [n for n, v in vars(cls).items() if type(v).__name__ == "getset_descriptor"]
                self.assertEqual(names, fields)
                for field in fields:
                    doc = getattr(cls, field).__doc__
                    if field == "wal":
                        self.assertIn("None", doc)
                    else:
                        self.assertEqual(doc, "")
                self.assertIsNotNone(cls.__doc__)
                self.assertIsNone(cls.__text_signature__)


class InstanceTest(BaseDirTest):
    def test_instances_take_no_attributes_or_weak_references(self):
        stats = self.bus().topic("t").stats()
        for obj in (stats, stats.wal):
            with self.assertRaises(AttributeError):
                obj.extra = 1
            with self.assertRaises(TypeError):
                weakref.ref(obj)


if __name__ == "__main__":
    unittest.main()
