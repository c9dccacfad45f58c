"""Subscription's receives into caller buffers: the buffer checks, recv_into and its variants,
recv_into_buffer's fixed-size batches, the log replay, and holds during a blocked receive."""

import array
import ctypes
import math
import time
import unittest

from kavri._kavri import MessageTooLargeError
from subscribing_fixtures import (
    NEGATIVE,
    PUBLISH_AND_EXIT,
    TOO_BIG,
    TOPIC,
    SubscriptionTest,
    blocked,
    refused,
)

try:
    import _testbuffer
except ImportError:  # an interpreter built without its test modules
    _testbuffer = None

WRITABLE = "recv_into requires a writable buffer (got read-only)"
CONTIGUOUS = "recv_into requires a C-contiguous buffer"
NOT_U8 = "buffer contents are not compatible with u8"


def formatted(fmt, flags=0):
    """A writable four-item _testbuffer array with the struct format `fmt`."""
    items = [b"\0"] * 4 if fmt.endswith("c") else [0] * 4
    return _testbuffer.ndarray(items, shape=[4], format=fmt,
                               flags=_testbuffer.ND_WRITABLE | flags)


class BufferCheckTest(SubscriptionTest):
    # The four methods, each given one buffer; a refusal comes before any receive.
    CALLS = {
        "recv_into": lambda sub, buf: sub.recv_into(buf),
        "recv_timeout_into": lambda sub, buf: sub.recv_timeout_into(buf, 1.0),
        "try_recv_into": lambda sub, buf: sub.try_recv_into(buf),
        "recv_into_buffer": lambda sub, buf: sub.recv_into_buffer(buf, 1, 1.0),
    }

    def refusals(self):
        cases = [
            ("bytes", lambda: b"abcd", TypeError, WRITABLE),
            ("read-only memoryview", lambda: memoryview(bytearray(4)).toreadonly(), TypeError,
             WRITABLE),
            ("stepped memoryview", lambda: memoryview(bytearray(8))[::2], TypeError, CONTIGUOUS),
            ("signed bytes", lambda: array.array("b", bytes(4)), BufferError, NOT_U8),
            ("four-byte ints", lambda: array.array("i", [0] * 4), BufferError, NOT_U8),
            # The item check comes before the writability check.
            ("read-only signed", lambda: memoryview(b"abcd").cast("b"), BufferError, NOT_U8),
            ("ctypes scalar (no shape)", lambda: ctypes.c_ubyte(0), BufferError,
             "shape is null"),
            ("ctypes array (no strides)", lambda: (ctypes.c_ubyte * 4)(), BufferError,
             "strides is null"),
            ("str", lambda: "abcd", TypeError, "a bytes-like object is required, not 'str'"),
            ("None", lambda: None, TypeError,
             "a bytes-like object is required, not 'NoneType'"),
        ]
        if _testbuffer is not None:
            for fmt in (">B", "!B", "b", "<b", "xB", "H"):
                cases.append((f"format {fmt}", lambda fmt=fmt: formatted(fmt), BufferError,
                              NOT_U8))
            cases.append(("Fortran order", lambda: _testbuffer.ndarray(
                list(range(6)), shape=[2, 3], format="B",
                flags=_testbuffer.ND_WRITABLE | _testbuffer.ND_FORTRAN), TypeError, CONTIGUOUS))
        return cases

    def test_every_refusal_by_every_method_consumes_nothing(self):
        bus, sub = self.connected()
        bus.publish(TOPIC, b"z")
        for method, call in self.CALLS.items():
            for name, make, error, text in self.refusals():
                with self.subTest(method=method, buffer=name):
                    with self.assertRaises(error) as cm:
                        call(sub, make())
                    self.assertEqual(str(cm.exception), text)
        self.assertEqual(sub.lag, 1)
        self.assertEqual(sub.try_recv(), b"z")

    @unittest.skipIf(_testbuffer is None, "needs _testbuffer")
    def test_unsigned_byte_formats_are_accepted(self):
        bus, sub = self.connected()
        for fmt in ("B", "c", "@B", "=B", "<B", "@c", "=c", "<c"):
            with self.subTest(format=fmt):
                buf = formatted(fmt)
                bus.publish(TOPIC, b"ab")
                self.assertEqual(sub.try_recv_into(buf), 2)
                self.assertEqual(buf.tobytes()[:2], b"ab")

    def test_writable_exporters(self):
        bus, sub = self.connected()
        backing = bytearray(b"." * 12)
        cases = [
            ("bytearray", bytearray(8), lambda b: bytes(b)),
            ("memoryview slice", memoryview(backing)[4:12], lambda b: bytes(b)),
            ("array B", array.array("B", bytes(8)), lambda b: b.tobytes()),
            ("memoryview cast c", memoryview(bytearray(8)).cast("c"), lambda b: b.tobytes()),
        ]
        for name, buf, contents in cases:
            with self.subTest(name=name):
                bus.publish(TOPIC, b"hello")
                self.assertEqual(sub.recv_into(buf), 5)
                self.assertEqual(contents(buf)[:5], b"hello")
        self.assertEqual(bytes(backing[:4]), b"....")


class RecvIntoTest(SubscriptionTest):
    def test_nothing_ready(self):
        bus, sub = self.connected()
        buf = bytearray(8)
        self.assertIsNone(sub.try_recv_into(buf))
        for timeout in (0, 0.0005, -0.0):
            with self.subTest(timeout=timeout):
                start = time.monotonic()
                self.assertIsNone(sub.recv_timeout_into(buf, timeout))
                self.assertLess(time.monotonic() - start, 0.5)
        start = time.monotonic()
        self.assertIsNone(sub.recv_timeout_into(buf, timeout_secs=0.05))
        self.assertGreaterEqual(time.monotonic() - start, 0.04)
        self.assertEqual(buf, bytearray(8))

    def test_a_message_too_large_is_lost_and_the_next_arrives(self):
        bus, sub = self.connected()
        empty = bytearray()
        for method in ("recv_into", "recv_timeout_into", "try_recv_into"):
            with self.subTest(method=method):
                bus.publish(TOPIC, b"")
                self.assertEqual(getattr(sub, method)(empty), 0)
                bus.publish(TOPIC, b"12345")
                bus.publish(TOPIC, b"")
                with self.assertRaisesRegex(MessageTooLargeError,
                                            r"^message is 5 bytes; slot_size is 0 bytes$"):
                    getattr(sub, method)(empty)
                self.assertEqual(getattr(sub, method)(empty), 0)
        self.assertEqual(sub.lag, 0)

    def test_timeout_failures_release_the_view(self):
        bus, sub = self.connected()
        buf = bytearray(8)
        panics = [
            (lambda: sub.recv_timeout_into(buf, -1.0), NEGATIVE),
            (lambda: sub.recv_timeout_into(buf, math.nan), TOO_BIG),
            (lambda: sub.recv_into_buffer(buf, 4, -1.0), NEGATIVE),
            (lambda: sub.recv_into_buffer(buf, 4, math.inf), TOO_BIG),
        ]
        for call, text in panics:
            with self.subTest(text=text):
                with self.assertRaises(BaseException) as cm:
                    call()
                self.assertEqual(type(cm.exception).__name__, "PanicException")
                self.assertEqual(str(cm.exception), text)
                buf.append(0)  # a view still held would refuse the resize
                del buf[-1]
        with self.assertRaisesRegex(TypeError, "^argument 'timeout_secs': "):
            sub.recv_timeout_into(buf, None)
        with self.assertRaisesRegex(TypeError, "^argument 'timeout_secs': "):
            sub.recv_into_buffer(buf, 4, None)

    def test_the_end_of_the_stream(self):
        bus = self.bus()
        child = self.spawn(PUBLISH_AND_EXIT, TOPIC, 2)
        # From cursor 0: the publisher may start as soon as it has accepted us, before a
        # start at the tail would be placed.
        sub = bus.subscribe_from(TOPIC, 0, 20.0)
        self.finish(child)
        buf = bytearray(sub.max_payload_size)
        self.assertEqual(sub.recv_into(buf), 2)
        self.assertEqual(sub.recv_timeout_into(buf, 5.0), 2)
        self.assertEqual(bytes(buf[:2]), b"m1")
        for call in (lambda: sub.recv_into(buf), lambda: sub.recv_timeout_into(buf, 5.0),
                     lambda: sub.recv_into_buffer(buf, 2, 5.0)):
            with self.assertRaisesRegex(OSError, "^failed to fill whole buffer$"):
                call()
        self.assertIsNone(sub.try_recv_into(buf))
        buf.append(0)  # no view left behind

    def test_holds_while_blocked_in_recv_into(self):
        bus, sub = self.connected()
        buf = bytearray(16)
        for name, wait in (("recv_into", lambda: sub.recv_into(buf)),
                           ("recv_timeout_into", lambda: sub.recv_timeout_into(buf, 30.0)),
                           ("recv_into_buffer", lambda: sub.recv_into_buffer(buf, 2, 30.0))):
            with self.subTest(name=name):
                texts = {}

                def probe():
                    texts["lag"] = refused(lambda: sub.lag)
                    for other in ("try_recv", "fileno"):
                        try:
                            getattr(sub, other)()
                        except RuntimeError as e:
                            texts[other] = str(e)
                    try:
                        buf.append(0)  # the view is held across the wait
                    except BufferError:
                        texts["resize"] = "refused"

                got = blocked(self, wait, probe, lambda: bus.publish(TOPIC, b"go"))
                self.assertEqual(got, 1 if name == "recv_into_buffer" else 2)
                self.assertEqual(bytes(buf[:2]), b"go")
                self.assertEqual(texts, {"lag": "Already mutably borrowed",
                                         "try_recv": "Already borrowed",
                                         "fileno": "Already mutably borrowed",
                                         "resize": "refused"})


class RecvIntoBufferTest(SubscriptionTest):
    def test_payload_size_zero_and_no_room(self):
        bus, sub = self.connected()
        bus.publish(TOPIC, b"abcd")
        for buf in (None, bytearray(8), "not a buffer"):
            with self.assertRaisesRegex(ValueError, r"^payload_size must be > 0$"):
                sub.recv_into_buffer(buf, 0, 1.0)
        # Room for nothing: 0 at once, nothing consumed, the time-out not looked at.
        start = time.monotonic()
        self.assertEqual(sub.recv_into_buffer(bytearray(3), 4, -1.0), 0)
        self.assertEqual(sub.recv_into_buffer(bytearray(3), 4, math.nan), 0)
        self.assertLess(time.monotonic() - start, 0.5)
        self.assertEqual(sub.lag, 1)
        self.assertEqual(sub.recv_into_buffer(bytearray(3), 4, 0.01), 0)
        with self.assertRaisesRegex(TypeError, "^argument 'payload_size': "):
            sub.recv_into_buffer(bytearray(8), None)
        start = time.monotonic()
        self.assertEqual(sub.recv_into_buffer(bytearray(8), 4, 0.05), 1)
        self.assertEqual(sub.recv_into_buffer(bytearray(8), 4, 0.05), 0)  # time-out
        self.assertGreaterEqual(time.monotonic() - start, 0.04)

    def test_chunks_fill_the_room_and_leave_the_tail(self):
        bus, sub = self.connected()
        for i in range(3):
            bus.publish(TOPIC, bytes([i]) * 4)
        buf = bytearray(b"#" * 10)
        self.assertEqual(sub.recv_into_buffer(buf, 4, 1.0), 2)
        self.assertEqual(buf, bytearray(b"\0\0\0\0\1\1\1\1##"))
        self.assertEqual(sub.try_recv(), b"\2\2\2\2")

        for i in range(5):
            bus.publish(TOPIC, b"%08d" % i)
        room_for_three = bytearray(24)
        self.assertEqual(sub.recv_into_buffer(room_for_three, payload_size=8), 3)
        self.assertEqual(room_for_three, bytearray(b"000000000000000100000002"))
        self.assertEqual(sub.lag, 2)
        self.assertEqual(sub.recv_into_buffer(room_for_three, 8, 1.0), 2)
        self.assertEqual(room_for_three, bytearray(b"000000030000000400000002"))

    def test_wrong_sizes(self):
        bus, sub = self.connected()
        cases = [
            ("second shorter", [b"A" * 8, b"B" * 6, b"C" * 8],
             "payload at index 1 is 6 bytes; payload_size is 8", b"A" * 8),
            ("second longer", [b"A" * 8, b"B" * 9, b"C" * 8],
             r"payload at index 1 exceeds payload_size \(8\)", b"A" * 8),
            ("third shorter", [b"A" * 8, b"B" * 8, b"", b"C" * 8],
             "payload at index 2 is 0 bytes; payload_size is 8", b"A" * 8 + b"B" * 8),
            ("first shorter", [b"A" * 3, b"C" * 8],
             "payload at index 0 is 3 bytes; payload_size is 8", b""),
            ("first longer", [b"A" * 12, b"C" * 8],
             "payload at index 0 is 12 bytes; payload_size is 8", b""),
        ]
        for name, payloads, text, kept in cases:
            with self.subTest(name=name):
                for payload in payloads:
                    bus.publish(TOPIC, payload)
                buf = bytearray(b"." * 32)
                with self.assertRaisesRegex(ValueError, f"^{text}$"):
                    sub.recv_into_buffer(buf, 8, 1.0)
                self.assertEqual(bytes(buf[:len(kept)]), kept)
                if not kept:
                    self.assertEqual(buf, bytearray(b"." * 32))
                # The refused message was consumed: the next one is the last published.
                self.assertEqual(sub.try_recv(), b"C" * 8)
                self.assertIsNone(sub.try_recv())


class ReplayTest(SubscriptionTest):
    def test_replay_seen_alike_through_recv_batch_and_recv_into_buffer(self):
        bus = self.publisher(capacity=4, wal_enabled=True)
        expected = [b"%06d" % i for i in range(30)]
        for payload in expected:
            bus.publish(TOPIC, payload)
        by_batch = bus.subscribe_from(TOPIC, 0, 5.0)
        by_buffer = bus.subscribe_from(TOPIC, 0, 5.0)
        batched, buffered = [], []
        buf = bytearray(6 * 8)
        deadline = time.monotonic() + 10
        while len(buffered) < 30 and time.monotonic() < deadline:
            n = by_buffer.recv_into_buffer(buf, 6, 1.0)
            buffered += [bytes(buf[i * 6:(i + 1) * 6]) for i in range(n)]
        while len(batched) < 30 and time.monotonic() < deadline:
            batched += by_batch.recv_batch(8, 1.0)
        self.assertEqual(buffered, expected)
        self.assertEqual(batched, expected)
        bus.publish(TOPIC, b"live!!")
        self.assertEqual(by_buffer.recv_into_buffer(buf, 6, 1.0), 1)
        self.assertEqual(bytes(buf[:6]), b"live!!")

    def test_replay_through_recv_into_and_try_recv_into(self):
        bus = self.publisher(capacity=4, wal_enabled=True)
        expected = [b"x%d" % i for i in range(20)]
        for payload in expected:
            bus.publish(TOPIC, payload)
        sub = bus.subscribe_from(TOPIC, 0, 5.0)
        buf = bytearray(8)
        got = []
        for i in range(20):
            n = sub.recv_into(buf) if i % 2 else sub.recv_timeout_into(buf, 5.0)
            got.append(bytes(buf[:n]))
        self.assertEqual(got, expected)
        self.assertIsNone(sub.try_recv_into(buf))


if __name__ == "__main__":
    unittest.main()
