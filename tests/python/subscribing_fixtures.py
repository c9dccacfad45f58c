"""Shared pieces of the subscription tests: a private base directory per test with a topic that
already has its publisher, publishers in other processes, and a thread blocked in a receive."""

import os
import shutil
import subprocess
import sys
import tempfile
import textwrap
import threading
import time
import unittest

from kavri._kavri import _RustBus
from publishing_fixtures import refused  # noqa: F401  (re-exported for the tests)

BUS = "bus"
TOPIC = "t"
NEGATIVE = "cannot convert float seconds to Duration: value is negative"
TOO_BIG = "cannot convert float seconds to Duration: value is either too big or NaN"

# Every child runs under this bound, so that a broken build fails the test instead of hanging.
CHILD_TIMEOUT_SECS = 60


class SubscriptionTest(unittest.TestCase):
    """Each test gets its own base directory (named with the pid), removed afterwards."""

    def setUp(self):
        self.base_dir = tempfile.mkdtemp(prefix=f"kavri-sub-{os.getpid()}-")
        self.addCleanup(shutil.rmtree, self.base_dir, ignore_errors=True)

    def bus(self, **config):
        config.setdefault("wal_enabled", False)
        return _RustBus(BUS, base_dir=self.base_dir, **config)

    def publisher(self, topic=TOPIC, **config):
        """A bus of this process that publishes `topic` (its ring and socket exist on return)."""
        bus = self.bus(**config)
        bus.wait_for_subscribers(topic, 0, 1.0)
        return bus

    def connected(self, topic=TOPIC, **config):
        """A publishing bus and one subscription at the tail that the publisher has accepted (a
        zero-length publish_many runs the accept step and publishes nothing)."""
        bus = self.publisher(topic, **config)
        sub = bus.subscribe(topic, 5.0)
        bus.wait_for_subscribers(topic, 1, 5.0)
        return bus, sub

    def spawn(self, script, *args):
        """Runs `script` (dedented) in a new interpreter with this test's base directory as
        argv[1] and `args` after it; the process is killed at cleanup if still running."""
        child = subprocess.Popen(
            [sys.executable, "-c", textwrap.dedent(script), self.base_dir, *map(str, args)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.addCleanup(reap, child)
        return child

    def finish(self, child, timeout=CHILD_TIMEOUT_SECS):
        """Waits for `child`; its stdout when it exited with 0, else the test fails."""
        out, err = child.communicate(timeout=timeout)
        self.assertEqual(child.returncode, 0, f"child failed:\n{err}")
        return out


def reap(child):
    if child.poll() is None:
        child.kill()
        child.wait()
    for stream in (child.stdin, child.stdout, child.stderr):
        if stream is not None:
            stream.close()


def blocked(test, target, probe, release, wait_secs=10.0):
    """Runs `target()` (a receive that waits with the interpreter lock released, holding its
    object) on a second thread, calls `probe()` once the wait has begun, then `release()` to
    end the wait. Returns what `target` returned or raised."""
    outcome = {}

    def run():
        try:
            outcome["value"] = target()
        except BaseException as e:  # noqa: B902 - reported to the test thread
            outcome["error"] = e

    thread = threading.Thread(target=run)
    thread.start()
    try:
        probe()
    finally:
        release()
        thread.join(wait_secs)
    test.assertFalse(thread.is_alive(), "the waiting call did not return")
    if "error" in outcome:
        raise outcome["error"]
    return outcome.get("value")



# A child that publishes `count` messages b"m0", b"m1", ... (cursors 0, 1, ...) to `topic` once
# one subscriber is connected, then exits (closing the connection). argv: base_dir, topic, count.
PUBLISH_AND_EXIT = """
    import sys
    from kavri._kavri import _RustBus
    base_dir, topic, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
    bus = _RustBus("bus", base_dir=base_dir, wal_enabled=False)
    bus.wait_for_subscribers(topic, 1, 30.0)
    for i in range(count):
        bus.publish(topic, b"m%d" % i)
"""

# A child that waits for a line on stdin, publishes one message per line, and exits at end of
# input. argv: base_dir, topic. Prints "ready" once the topic is published.
PUBLISH_ON_INPUT = """
    import sys
    from kavri._kavri import _RustBus
    base_dir, topic = sys.argv[1], sys.argv[2]
    bus = _RustBus("bus", base_dir=base_dir, wal_enabled=False)
    bus.wait_for_subscribers(topic, 1, 30.0)
    print("ready", flush=True)
    for line in sys.stdin:
        bus.publish(topic, line.strip().encode())
"""

