"""Argument binding and conversion at the Python boundary of RustEngine, and the
zone and redis options of vorn.create_engine."""
import builtins
import json
import sys
import unittest

import vorn_loader
from vorn_loader import RustEngine, engine, vorn_native

sys.path.insert(0, str(vorn_loader.REPO))

import vorn  # noqa: E402

# Shared with the Node suite, which checks the same values.
OPTION_CASES = json.loads((vorn_loader.REPO / "tests" / "node" / "zone_arguments.json").read_text())

SEVEN = ("token_bucket", "active", 10, 1.0, None, None, "")


class BindingMessages(unittest.TestCase):
    def assertTypeError(self, message, call, *args, **kwargs):
        with self.assertRaises(TypeError) as caught:
            call(*args, **kwargs)
        self.assertIs(type(caught.exception), TypeError)
        self.assertEqual(str(caught.exception), message)

    def test_too_many_positional_is_reported_before_keyword_problems(self):
        self.assertTypeError(
            "RustEngine.__new__() takes 7 positional arguments but 8 were given",
            RustEngine, *SEVEN, "extra", nope=1)
        self.assertTypeError(
            "RustEngine.check() takes from 2 to 3 positional arguments but 4 were given",
            engine().check, "ip", "/", None, "extra", IP="x")

    def test_unexpected_keyword_is_reported_before_missing_arguments(self):
        self.assertTypeError("RustEngine.__new__() got an unexpected keyword argument 'x'",
                             RustEngine, x=1)
        # Keywords match case-sensitively.
        self.assertTypeError("RustEngine.check() got an unexpected keyword argument 'IP'",
                             engine().check, IP="1.2.3.4", route="/")
        # A keyword without a UTF-8 form is still named, escaped.
        self.assertTypeError(
            "RustEngine.check() got an unexpected keyword argument '\\udc80'",
            engine().check, "ip", "/", **{"\udc80": 1})

    def test_multiple_values(self):
        self.assertTypeError("RustEngine.check() got multiple values for argument 'ip'",
                             engine().check, "1.2.3.4", "/", ip="5.6.7.8")

    def test_missing_names_are_listed_in_parameter_order(self):
        self.assertTypeError(
            "RustEngine.check() missing 1 required positional argument: 'route'",
            engine().check, "1.2.3.4")
        self.assertTypeError(
            "RustEngine.__new__() missing 2 required positional arguments: 'api_key' and 'debug'",
            RustEngine, "token_bucket", "active", 10, 1.0, backend_url="")
        self.assertTypeError(
            "RustEngine.__new__() missing 7 required positional arguments: 'algorithm_str', "
            "'mode_str', 'capacity', 'refill_rate', 'api_key', 'debug', and 'backend_url'",
            RustEngine)
        self.assertTypeError(
            "RustEngine.__new__() missing 3 required positional arguments: 'algorithm_str', "
            "'refill_rate', and 'backend_url'",
            RustEngine, mode_str="active", capacity=1, api_key=None, debug=None)
        # Every parameter may be given by keyword.
        RustEngine(algorithm_str="t", mode_str="active", capacity=1, refill_rate=0, api_key=None,
                   debug=None, backend_url="").check(ip="a", route="/", identity=None)


class Conversions(unittest.TestCase):
    def test_text_accepts_str_subclasses_only(self):
        class Name(str):
            pass

        result = engine().check(Name("1.2.3.4"), Name("/route"))
        self.assertIs(type(result["decision"]["route"]), str)
        self.assertEqual(result["decision"]["route"], "/route")
        cases = [
            ("ip", lambda: engine().check(b"1.2.3.4", "/"), "bytes"),
            ("route", lambda: engine().check("1.2.3.4", None), "NoneType"),
            ("identity", lambda: engine().check("1.2.3.4", "/", 7), "int"),
            ("algorithm_str", lambda: RustEngine(None, *SEVEN[1:]), "NoneType"),
            ("debug", lambda: RustEngine(*SEVEN[:5], True, ""), "bool"),
            ("backend_url", lambda: RustEngine(*SEVEN[:6], None), "NoneType"),
        ]
        for parameter, call, type_name in cases:
            with self.subTest(parameter), self.assertRaises(TypeError) as caught:
                call()
            self.assertEqual(
                str(caught.exception),
                f"argument '{parameter}': '{type_name}' object cannot be converted to 'PyString'")

    def test_text_keeps_embedded_nul_bytes(self):
        limiter = engine(capacity=1)
        self.assertTrue(limiter.check("a\0b", "/")["allowed"])
        self.assertTrue(limiter.check("a\0c", "/")["allowed"], "distinct keys after the NUL")
        self.assertFalse(limiter.check("a\0b", "/")["allowed"])
        self.assertEqual(limiter.check("x", "r\0s")["decision"]["route"], "r\0s")

    def test_lone_surrogates_raise_the_interpreters_error_unprefixed(self):
        for call in (lambda: engine().check("\ud800", "/"),
                     lambda: RustEngine("\udc80", *SEVEN[1:])):
            with self.assertRaises(UnicodeEncodeError) as caught:
                call()
            self.assertNotIn("argument", str(caught.exception))

    def test_numbers(self):
        self.assertEqual(engine(capacity=10).check("a", "/")["decision"]["remaining"], 9)
        self.assertEqual(engine(capacity=True).check("a", "/")["decision"]["remaining"], 0)
        # -1.0 is a value, not a failure signal: a bucket below one token refuses.
        self.assertFalse(engine(capacity=-1.0).check("a", "/")["allowed"])
        self.assertTrue(engine(capacity=float("inf")).check("a", "/")["allowed"])

    def test_number_failures(self):
        class FloatFails:
            def __init__(self, error):
                self.error = error

            def __float__(self):
                raise self.error

        with self.assertRaises(TypeError) as caught:
            engine(capacity="10")
        self.assertTrue(str(caught.exception).startswith("argument 'capacity': "))
        with self.assertRaises(ValueError) as caught:
            engine(refill_rate=FloatFails(ValueError("no float here")))
        self.assertEqual(str(caught.exception), "no float here")
        with self.assertRaises(OverflowError) as caught:
            engine(capacity=10**400)
        self.assertNotIn("argument", str(caught.exception))

        root = KeyError("root")
        chained = TypeError("inner")
        chained.__cause__ = root
        with self.assertRaises(TypeError) as caught:
            engine(refill_rate=FloatFails(chained))
        self.assertEqual(str(caught.exception), "argument 'refill_rate': inner")
        self.assertIs(caught.exception.__cause__, root)

    def test_exact_type_error_only_is_prefixed(self):
        class NarrowTypeError(TypeError):
            pass

        class Odd:
            def __float__(self):
                raise NarrowTypeError("narrow")

        with self.assertRaises(NarrowTypeError) as caught:
            engine(capacity=Odd())
        self.assertEqual(str(caught.exception), "narrow")


class ArgumentLifetime(unittest.TestCase):
    def test_arguments_outlive_a_conversion_that_empties_their_dict(self):
        # Before 3.9 RustEngine(**arguments) binds from the caller's own dict;
        # the capacity's conversion drops the only reference to what follows.
        arguments = {"algorithm_str": "".join(["fixed", "_window"]),
                     "mode_str": "".join(["sha", "dow"]), "refill_rate": float("0.5"),
                     "api_key": "".join(["k", "ey"]), "debug": None,
                     "backend_url": "".join(["http://", "b"])}

        class ClearsItsDict:
            def __float__(self):
                arguments.clear()
                return 2.0

        arguments["capacity"] = ClearsItsDict()
        limited = RustEngine(**arguments)
        results = [limited.check("1.2.3.4", "/") for _ in range(3)]
        self.assertEqual([r["would_block"] for r in results], [False, False, True])
        self.assertEqual(results[2]["decision"]["algorithm"], "fixed_window")


class ZoneAndRedisOptions(unittest.TestCase):
    def assertRefused(self, error, message, **options):
        with self.assertRaises(Exception) as caught:
            vorn.create_engine(**options)
        self.assertIs(type(caught.exception), error)
        self.assertEqual(str(caught.exception), message)

    def test_wrong_values_are_named_as_given(self):
        texts = {"zone_size": "zone_size must be a whole number of bytes, not %r",
                 "on_error": "on_error must be 'local', 'allow' or 'deny', not %r"}
        for option, text in texts.items():
            for row in OPTION_CASES[option]:
                with self.subTest(option, value=row["value"]):
                    self.assertRefused(getattr(builtins, row["python"]), text % (row["value"],),
                                       zone="never-made", **{option: row["value"]})
        for value in [row["value"] for row in OPTION_CASES["redis"]] + [b"redis://cache"]:
            with self.subTest(redis=value):
                self.assertRefused(TypeError, "create_engine(): redis must be a Redis URL "
                                   "(redis://, rediss://, redis+cluster://, redis+sentinel://) "
                                   "or a redis-py client, not %r" % (value,),
                                   redis=value)
        self.assertEqual(vorn_native.remove_zone("never-made"), False)

    def test_zone_options_need_a_zone_and_reach_the_engine(self):
        self.assertRefused(TypeError, "create_engine(): zone_dir needs a zone", zone_dir="/tmp")
        self.assertRefused(TypeError, "argument 'zone_dir': 'int' object cannot be converted to "
                           "'PyString'", zone="never-made", zone_dir=5)
        with self.assertRaisesRegex(TypeError, "create_async_engine"):
            vorn.create_async_engine(redis=None)
        # The tenth to twelfth parameters, by position as well as by keyword.
        arguments = ("never-made", True, "token_bucket", "active", 1, 1, None, None, "")
        with self.assertRaisesRegex(TypeError, "zone_size"):
            vorn_native.ZoneEngine(*arguments, None, "local")
        with self.assertRaisesRegex(ValueError, "on_error"):
            vorn_native.ZoneEngine(*arguments[:1], None, *arguments[2:], on_error="fail")
        with self.assertRaisesRegex(TypeError, "takes from 9 to 12 positional arguments but 13"):
            vorn_native.ZoneEngine(*arguments, None, "local", None, "extra")


if __name__ == "__main__":
    unittest.main()
