"""The call frame, exercised through the one entry point that exists for every type of
argument: the _RustBus constructor (binding, conversion, wrapping of conversion errors)."""

import inspect
import unittest
import weakref

from kavri._kavri import _RustBus

OUT_OF_RANGE = "out of range integral type conversion attempted"


def numpy_like_bool(name, truth=None):
    """A class that looks like numpy's boolean scalar type: module "numpy", name `name`."""
    body = {"__module__": "numpy"}
    if truth is not None:
        body["__bool__"] = truth
    return type(name, (), body)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class BindingTest(unittest.TestCase):
    def test_binding_messages(self):
        cases = [
            ((), {}, "_RustBus.__new__() missing 1 required positional argument: 'name'"),
            ((), {"capacity": 1},
             "_RustBus.__new__() missing 1 required positional argument: 'name'"),
            (("a", "b"), {},
             "_RustBus.__new__() takes 1 positional arguments but 2 were given"),
            (("a", "b", "c"), {},
             "_RustBus.__new__() takes 1 positional arguments but 3 were given"),
            (("a",), {"name": "b"},
             "_RustBus.__new__() got multiple values for argument 'name'"),
            (("a",), {"bogus": 1},
             "_RustBus.__new__() got an unexpected keyword argument 'bogus'"),
            # Binding comes before conversion: the bad name is never looked at.
            ((1,), {"bogus": 1},
             "_RustBus.__new__() got an unexpected keyword argument 'bogus'"),
            ((1, 2), {}, "_RustBus.__new__() takes 1 positional arguments but 2 were given"),
        ]
        for args, kwargs, text in cases:
            with self.subTest(args=args, kwargs=kwargs):
                with self.assertRaises(TypeError) as cm:
                    _RustBus(*args, **kwargs)
                self.assertEqual(str(cm.exception), text)

    def test_every_parameter_by_keyword(self):
        _RustBus(name="a")
        _RustBus(
            "a",
            base_dir="/nonexistent/never/created",
            capacity=0,
            slot_size=4294967295,
            max_subscribers=Index(3),
            backpressure="drop_oldest",
            wal_enabled=False,
        )

    def test_none_counts_as_absent_for_keyword_only_parameters(self):
        _RustBus(
            "a",
            base_dir=None,
            capacity=None,
            slot_size=None,
            max_subscribers=None,
            backpressure=None,
            wal_enabled=None,
        )

    def test_name_none_is_a_conversion_error(self):
        with self.assertRaises(TypeError) as cm:
            _RustBus(None)
        self.assertEqual(
            str(cm.exception),
            "argument 'name': 'NoneType' object cannot be converted to 'PyString'",
        )


class ConverterTest(unittest.TestCase):
    def check_type_error(self, kwargs, text, name="a"):
        with self.assertRaises(TypeError) as cm:
            _RustBus(name, **kwargs)
        self.assertIs(type(cm.exception), TypeError)
        self.assertEqual(str(cm.exception), text)

    def test_text(self):
        class Text(str):
            pass

        _RustBus(Text("a"), base_dir=Text("/tmp/x"), backpressure=Text("error"))
        _RustBus("")
        self.check_type_error(
            {}, "argument 'name': 'bytes' object cannot be converted to 'PyString'", name=b"a"
        )
        self.check_type_error(
            {"base_dir": b"/tmp"},
            "argument 'base_dir': 'bytes' object cannot be converted to 'PyString'",
        )
        self.check_type_error(
            {"backpressure": 1},
            "argument 'backpressure': 'int' object cannot be converted to 'PyString'",
        )
        # The type's __qualname__ names it.
        self.check_type_error(
            {"base_dir": Index(1)},
            "argument 'base_dir': 'Index' object cannot be converted to 'PyString'",
        )
        # No UTF-8 form: the interpreter's own error, not wrapped.
        with self.assertRaises(UnicodeEncodeError):
            _RustBus("\udc80")

    def test_u32(self):
        for field in ("capacity", "slot_size", "max_subscribers"):
            with self.subTest(field=field):
                for ok in (0, 1, 4294967295, Index(7), True):
                    _RustBus("a", **{field: ok})
                for bad in (-1, 4294967296, -(2**63)):
                    with self.assertRaises(OverflowError) as cm:
                        _RustBus("a", **{field: bad})
                    self.assertEqual(str(cm.exception), OUT_OF_RANGE)
                # Beyond a C long: the interpreter's OverflowError, not wrapped.
                with self.assertRaises(OverflowError) as cm:
                    _RustBus("a", **{field: 2**70})
                self.assertNotIn("argument", str(cm.exception))
                self.check_type_error(
                    {field: 1.5},
                    f"argument '{field}': 'float' object cannot be interpreted as an integer",
                )
                self.check_type_error(
                    {field: "3"},
                    f"argument '{field}': 'str' object cannot be interpreted as an integer",
                )

    def test_bool(self):
        _RustBus("a", wal_enabled=True)
        _RustBus("a", wal_enabled=False)
        for bad, type_name in ((1, "int"), (0, "int"), ("yes", "str"), (1.0, "float")):
            with self.subTest(value=bad):
                self.check_type_error(
                    {"wal_enabled": bad},
                    f"argument 'wal_enabled': '{type_name}' object cannot be converted to 'PyBool'",
                )

    def test_numpy_bool_scalar_read_through_its_truth_slot(self):
        seen = []

        def truth(self):
            seen.append(self)
            return False

        for name in ("bool_", "bool"):
            with self.subTest(name=name):
                seen.clear()
                value = numpy_like_bool(name, truth)()
                _RustBus("a", wal_enabled=value)
                self.assertEqual(seen, [value])

    def test_numpy_lookalikes_that_fail(self):
        # Right name, wrong module.
        other = type("bool_", (), {"__module__": "numpyx", "__bool__": lambda s: True})
        self.check_type_error(
            {"wal_enabled": other()},
            "argument 'wal_enabled': 'bool_' object cannot be converted to 'PyBool'",
        )
        # No truth slot.
        self.check_type_error(
            {"wal_enabled": numpy_like_bool("bool_")()},
            "argument 'wal_enabled': object of type 'bool_' does not define a '__bool__' "
            "conversion",
        )

        # The truth slot's own errors: a TypeError is wrapped, anything else passes as is.
        def raise_value_error(self):
            raise ValueError("no truth here")

        with self.assertRaises(ValueError) as cm:
            _RustBus("a", wal_enabled=numpy_like_bool("bool", raise_value_error)())
        self.assertEqual(str(cm.exception), "no truth here")

        def raise_type_error(self):
            raise TypeError("boom")

        self.check_type_error(
            {"wal_enabled": numpy_like_bool("bool", raise_type_error)()},
            "argument 'wal_enabled': boom",
        )

    def test_wrapping_keeps_the_cause_and_only_wraps_exact_type_errors(self):
        cause = KeyError("root")

        class Chained:
            def __index__(self):
                raise TypeError("inner") from cause

        with self.assertRaises(TypeError) as cm:
            _RustBus("a", capacity=Chained())
        self.assertEqual(str(cm.exception), "argument 'capacity': inner")
        self.assertIs(cm.exception.__cause__, cause)

        class SubTypeError(TypeError):
            pass

        class Sub:
            def __index__(self):
                raise SubTypeError("not wrapped")

        with self.assertRaises(SubTypeError) as cm:
            _RustBus("a", capacity=Sub())
        self.assertEqual(str(cm.exception), "not wrapped")

    def test_conversions_run_in_parameter_order_before_the_policy_check(self):
        # Parameter order, not the order the keywords were given in.
        self.check_type_error(
            {"capacity": 1.5, "base_dir": 1},
            "argument 'base_dir': 'int' object cannot be converted to 'PyString'",
        )
        with self.assertRaises(OverflowError):
            _RustBus("a", wal_enabled=1, capacity=-1)
        # Every conversion comes before the policy text is checked.
        self.check_type_error(
            {"backpressure": "bad", "wal_enabled": 1},
            "argument 'wal_enabled': 'int' object cannot be converted to 'PyBool'",
        )
        self.check_type_error(
            {"capacity": -1},
            "argument 'name': 'int' object cannot be converted to 'PyString'",
            name=1,
        )


class BackpressureTest(unittest.TestCase):
    def test_accepted_texts(self):
        _RustBus("a", backpressure="error")
        _RustBus("a", backpressure="drop_oldest")

    def test_refused_texts_are_quoted_with_escapes(self):
        prefix = 'backpressure must be "error" or "drop_oldest", got '
        cases = [
            ("DropOldest", '"DropOldest"'),
            ("drop-oldest", '"drop-oldest"'),
            ("Error", '"Error"'),
            (" error", '" error"'),
            ("error\n", '"error\\n"'),
            ("", '""'),
            ('a"b\\c', '"a\\"b\\\\c"'),
            ("\t\r\n\0", '"\\t\\r\\n\\0"'),
            ("\x01\x1b\x7f\x85", '"\\u{1}\\u{1b}\\u{7f}\\u{85}"'),
            ("\u00a0\u2028\ufeff", '"\\u{a0}\\u{2028}\\u{feff}"'),
            ("é'ü€😀", "\"é'ü€😀\""),
        ]
        for text, shown in cases:
            with self.subTest(text=text):
                with self.assertRaises(ValueError) as cm:
                    _RustBus("a", backpressure=text)
                self.assertIs(type(cm.exception), ValueError)
                self.assertEqual(str(cm.exception), prefix + shown)


class RustBusTypeTest(unittest.TestCase):
    def test_text_signature(self):
        signature = (
            "(name, *, base_dir=None, capacity=None, slot_size=None, max_subscribers=None, "
            "backpressure=None, wal_enabled=None)"
        )
        self.assertEqual(_RustBus.__text_signature__, signature)
        self.assertEqual(str(inspect.signature(_RustBus)), signature)
        self.assertIn("kavri.Bus", _RustBus.__doc__)

    def test_subclassing_is_refused(self):
        with self.assertRaises(TypeError):

            class Sub(_RustBus):
                pass

    def test_objects_have_no_dict_and_no_weakrefs(self):
        bus = _RustBus("a")
        with self.assertRaises(AttributeError):
            bus.anything = 1
        self.assertFalse(hasattr(bus, "__dict__"))
        with self.assertRaises(TypeError):
            weakref.ref(bus)

    def test_constructor_touches_nothing_on_disk(self):
        import os
        import tempfile

        with tempfile.TemporaryDirectory(prefix=f"kavri-frame-{os.getpid()}-") as root:
            _RustBus("bus", base_dir=os.path.join(root, "sub"))
            self.assertEqual(os.listdir(root), [])


if __name__ == "__main__":
    unittest.main()
