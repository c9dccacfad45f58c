"""Shared pieces of the publishing tests: a private base directory per test, and direct access
to a topic's ring file (header words and cursor table) to set up or observe what a subscriber
in another process would see."""

import mmap
import os
import shutil
import struct
import tempfile
import threading
import time
import unittest

from kavri._kavri import _RustBus

TAIL_OFFSET = 32
CURSOR_TABLE_OFFSET = 64
FREE_CURSOR = 2**64 - 1
BUS = "bus"


class BaseDirTest(unittest.TestCase):
    """Each test gets its own base directory (named with the pid), removed afterwards."""

    def setUp(self):
        self.base_dir = tempfile.mkdtemp(prefix=f"kavri-pub-{os.getpid()}-")
        self.addCleanup(shutil.rmtree, self.base_dir, ignore_errors=True)

    def bus(self, **config):
        return _RustBus(BUS, base_dir=self.base_dir, **config)

    def topic_dir(self, topic):
        return os.path.join(self.base_dir, BUS, topic)

    def ring(self, topic):
        ring = RingFile(os.path.join(self.topic_dir(topic), "ring.mmap"))
        self.addCleanup(ring.close)
        return ring


class RingFile:
    """The ring file mapped read-write, as another process maps it."""

    def __init__(self, path):
        with open(path, "r+b") as f:
            self.map = mmap.mmap(f.fileno(), 0)

    def close(self):
        self.map.close()

    def word(self, offset):
        return struct.unpack_from("<Q", self.map, offset)[0]

    def set_word(self, offset, value):
        struct.pack_into("<Q", self.map, offset, value)

    @property
    def tail(self):
        return self.word(TAIL_OFFSET)

    def claim(self, index, cursor):
        """Claims cursor-table entry `index` at `cursor`, as a subscriber that reads nothing."""
        self.set_word(CURSOR_TABLE_OFFSET + 8 * index, cursor)


def call_while_waiting(test, target, probe, wait_secs=2.0):
    """Runs `target()` (a call that waits with the interpreter lock released, holding its
    object) on a second thread, and `probe()` on this one once the wait has begun; returns
    what `target` raised, or None. The wait has begun once a shared call on the same object is
    refused; `probe` gets the first such refusal's text."""
    outcome = {}

    def run():
        try:
            target()
        except BaseException as e:  # noqa: B902 - reported to the test thread
            outcome["error"] = e

    thread = threading.Thread(target=run)
    thread.start()
    try:
        probe()
    finally:
        thread.join(wait_secs + 10)
    test.assertFalse(thread.is_alive(), "the waiting call did not return")
    return outcome.get("error")


def refused(call, deadline_secs=5.0):
    """Calls `call()` until it raises RuntimeError (the hold conflict); returns the text."""
    deadline = time.monotonic() + deadline_secs
    while time.monotonic() < deadline:
        try:
            call()
        except RuntimeError as e:
            return str(e)
        time.sleep(0.001)
    raise AssertionError("the call was never refused")
