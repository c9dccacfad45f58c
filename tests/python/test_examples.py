"""The examples run as a user runs them: separate interpreters, real processes, each on a
private base directory, with a small message count and a hard time limit."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

import kavri

EXAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples")
LIMIT_SECS = 120


class ExamplesTest(unittest.TestCase):
    def setUp(self):
        self.base_dir = tempfile.mkdtemp(prefix=f"kavri-examples-{os.getpid()}-")
        self.addCleanup(shutil.rmtree, self.base_dir, ignore_errors=True)

    def run_example(self, script, *args):
        done = subprocess.run(
            [sys.executable, os.path.join(EXAMPLES, script), "--base-dir", self.base_dir, *args],
            capture_output=True, text=True, timeout=LIMIT_SECS)
        self.assertEqual(done.returncode, 0, f"stdout:\n{done.stdout}\nstderr:\n{done.stderr}")
        return done.stdout

    def test_demo_verifies_every_payload_and_cleans_up(self):
        out = self.run_example("demo.py", "--messages", "20000", "--paced", "200",
                               "--rate", "2000", "--subscribers", "2")
        self.assertIn("verified: 2 subscribers x 20,200 messages, late subscriber 20,200",
                      out)
        self.assertRegex(out, r"latency +at 2,000/s: p50 +[0-9.]+ us")
        self.assertRegex(out, r"subscribe_from\(0\) after [0-9,]+ messages; replayed")
        # The topic's files are gone and no process of the demo is left holding the topic.
        self.assertEqual(os.listdir(os.path.join(self.base_dir, "demo")), [])

    def test_demo_keeps_the_topic_files_when_asked(self):
        self.run_example("demo.py", "--messages", "2000", "--paced", "20", "--keep")
        topic = os.path.join(self.base_dir, "demo", "stream")
        self.assertTrue({"ring.mmap", "producer.lock", "signal.sock", "wal"}
                        <= set(os.listdir(topic)))
        segments = os.listdir(os.path.join(topic, "wal"))
        self.assertIn("00000000000000000000.seg", segments)
        # Nothing of the demo still holds the topic: its producer lock can be taken.
        kavri._RustBus("demo", base_dir=self.base_dir).clean_topic("stream")
        self.assertFalse(os.path.exists(topic))

    def test_event_loop_receives_both_topics_in_order(self):
        out = self.run_example("event_loop.py", "--messages", "200")
        self.assertIn("ticks: 200 messages in order", out)
        self.assertIn("alerts: 20 messages in order", out)
        self.assertIn("ticks: publisher closed", out)


if __name__ == "__main__":
    unittest.main()
