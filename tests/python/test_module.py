import importlib
import inspect
import os
import subprocess
import sys
import textwrap
import unittest

import kavri
import kavri._kavri as m

# Every name the module adds, in the order it adds them.
ALL_NAMES = [
    "_RustBus",
    "TopicPublisher",
    "Subscription",
    "TopicStats",
    "WalStats",
    "init_logging",
    "BusFullError",
    "MessageTooLargeError",
    "ConnectTimeoutError",
    "TooManySubscribersError",
    "AlreadyPublishingError",
    "CursorTooOldError",
    "WalError",
]
CLASSES = ["_RustBus", "TopicPublisher", "Subscription", "TopicStats", "WalStats"]
EXCEPTIONS = [
    ("BusFullError", Exception),
    ("MessageTooLargeError", Exception),
    ("ConnectTimeoutError", Exception),
    ("TooManySubscribersError", Exception),
    ("AlreadyPublishingError", Exception),
    ("CursorTooOldError", Exception),
    ("WalError", OSError),
]


def run_python(code):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=60,
        env=os.environ.copy(),
    )


class ModuleSurfaceTest(unittest.TestCase):
    def test_all_lists_the_added_names_in_order(self):
        self.assertEqual(m.__all__, [n for n in ALL_NAMES if hasattr(m, n)])
        for name in ["_RustBus", "init_logging"] + [n for n, _ in EXCEPTIONS]:
            self.assertIn(name, m.__all__)
        for name in m.__all__:
            self.assertIs(getattr(kavri, name), getattr(m, name))
        self.assertEqual(kavri.__all__, m.__all__)

    def test_module_has_empty_docstring_and_package_name(self):
        self.assertEqual(m.__doc__, "")
        self.assertEqual(m.__name__, "kavri._kavri")

    def test_classes_live_in_the_extension_module(self):
        for name in CLASSES:
            if not hasattr(m, name):
                continue
            with self.subTest(name=name):
                cls = getattr(m, name)
                self.assertEqual(cls.__module__, "kavri._kavri")
                self.assertEqual(cls.__name__, name)
                self.assertEqual(cls.__qualname__, name)
                self.assertEqual(cls.__bases__, (object,))

    def test_exception_classes(self):
        for name, base in EXCEPTIONS:
            with self.subTest(name=name):
                cls = getattr(m, name)
                self.assertEqual(cls.__module__, "kavri")
                self.assertEqual(cls.__name__, name)
                self.assertEqual(cls.__qualname__, name)
                self.assertEqual(cls.__bases__, (base,))
                self.assertIsNone(cls.__doc__)
                self.assertEqual(issubclass(cls, OSError), name == "WalError")
                for other, _ in EXCEPTIONS:
                    if other != name:
                        self.assertFalse(issubclass(cls, getattr(m, other)))

    def test_panic_exception_is_not_in_the_namespace(self):
        self.assertNotIn("PanicException", dir(m))
        self.assertNotIn("PanicException", m.__all__)

    def test_reimport_after_removal_gives_the_same_module(self):
        first = sys.modules["kavri._kavri"]
        all_before = list(first.__all__)
        del sys.modules["kavri._kavri"]
        try:
            again = importlib.import_module("kavri._kavri")
        finally:
            sys.modules["kavri._kavri"] = first
        self.assertIs(again, first)
        self.assertEqual(first.__all__, all_before)  # init did not run a second time

    def test_import_in_a_sub_interpreter_is_refused(self):
        code = """
            import os, sys
            import _testcapi
            import kavri._kavri
            r, w = os.pipe()
            _testcapi.run_in_subinterp(f'''
            import os
            try:
                import kavri._kavri
                os.write({w}, b"imported")
            except ImportError as e:
                os.write({w}, ("ImportError: " + str(e)).encode())
            ''')
            os.close(w)
            print(os.read(r, 1000).decode())
        """
        try:
            import _testcapi  # noqa: F401
        except ImportError:
            self.skipTest("no _testcapi")
        out = run_python(code)
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertTrue(out.stdout.startswith("ImportError: "), out.stdout + out.stderr)
        self.assertIn("sub-interpreter", out.stdout)


class LibraryTest(unittest.TestCase):
    def tool(self, *args):
        try:
            out = subprocess.run(args, capture_output=True, text=True, timeout=60)
        except FileNotFoundError:
            self.skipTest(f"no {args[0]}")
        self.assertEqual(out.returncode, 0, out.stderr)
        return out.stdout

    def test_only_the_init_function_is_exported(self):
        out = self.tool("nm", "-D", "--defined-only", m.__file__)
        names = [line.split()[-1] for line in out.splitlines() if line.strip()]
        self.assertEqual(names, ["PyInit__kavri"])

    def test_libpython_is_not_linked(self):
        out = self.tool("readelf", "-d", m.__file__)
        needed = [line for line in out.splitlines() if "(NEEDED)" in line]
        self.assertTrue(needed)
        self.assertFalse([line for line in needed if "libpython" in line], needed)


class InitLoggingTest(unittest.TestCase):
    def test_signature_and_docstring(self):
        self.assertEqual(m.init_logging.__text_signature__, "(level=None)")
        self.assertEqual(str(inspect.signature(m.init_logging)), "(level=None)")
        self.assertIn("RUST_LOG", m.init_logging.__doc__)
        self.assertIs(m.init_logging.__self__, m)
        self.assertEqual(m.init_logging.__module__, "kavri._kavri")

    def test_accepted_arguments(self):
        # A fresh process, so that no earlier call decided the outcome; the logger writes
        # only to that process's standard error.
        out = run_python(
            """
            import kavri._kavri as m
            results = [m.init_logging(), m.init_logging(None), m.init_logging("warn"),
                       m.init_logging(level="debug"), m.init_logging(level=None)]
            assert all(type(r) is bool for r in results), results
            assert results[1:] == [False] * 4, results
            print("ok")
            """
        )
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertEqual(out.stdout.strip(), "ok")

    def test_refused_arguments(self):
        cases = [
            ((5,), {}, "argument 'level': 'int' object cannot be converted to 'PyString'"),
            ((), {"level": b"info"},
             "argument 'level': 'bytes' object cannot be converted to 'PyString'"),
            (("a", "b"), {}, "init_logging() takes from 0 to 1 positional arguments but 2 were given"),
            ((), {"lvl": "info"}, "init_logging() got an unexpected keyword argument 'lvl'"),
            (("a",), {"level": "b"}, "init_logging() got multiple values for argument 'level'"),
        ]
        for args, kwargs, text in cases:
            with self.subTest(args=args, kwargs=kwargs):
                with self.assertRaises(TypeError) as cm:
                    m.init_logging(*args, **kwargs)
                self.assertEqual(str(cm.exception), text)


if __name__ == "__main__":
    unittest.main()
