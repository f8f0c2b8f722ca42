#!/usr/bin/env python3
"""Throws random values at every argument of RustEngine() and RustEngine.check(),
and of ZoneEngine(), its check, remove_zone() and zone_stats() (zone_dir, when
valid, is a scratch directory):
every builtin type, subclasses, huge ints, NaN, objects whose conversion raises,
lone surrogates, wrong receivers, bad keywords. Every call must either return a
well-formed result or raise one of the documented exception types; no call may
change the reference count of an argument; and a canary engine must count
exactly right afterwards.

Usage: hostile_python.py [iterations] [seed]   (VORN_PYTHON_PATH names the build)
"""
import decimal
import gc
import fractions
import logging
import math
import os
import pathlib
import random
import re
import shutil
import sys
import tempfile

sys.path.insert(0, os.environ.get(
    "VORN_PYTHON_PATH", str(pathlib.Path(__file__).resolve().parents[2] / "build" / "python")))
import vorn_native  # noqa: E402

# The library imports logging and makes the logger "vorn.zone" at its first zone
# notice: made first here, so that no call whose argument reference counts are
# compared does it (logging's code and the new logger hold interned names such as
# "disabled", which arguments may be).
logging.getLogger("vorn.zone")

RustEngine = vorn_native.RustEngine
ZoneEngine = vorn_native.ZoneEngine
CTOR_PARAMS = ["algorithm_str", "mode_str", "capacity", "refill_rate", "api_key", "debug",
               "backend_url"]
ZONE_CTOR_PARAMS = ["zone", "zone_size"] + CTOR_PARAMS + ["zone_dir", "on_error"]
CHECK_PARAMS = ["ip", "route", "identity"]
ZONE_NAMES = ["hz%d-a" % os.getpid(), "hz%d-b" % os.getpid()]


class Boom(Exception):
    """Raised by the hostile objects below; must come back out unchanged."""


class BoomBase(BaseException):
    """Like Boom, outside the Exception hierarchy."""


class FloatRaises:
    def __float__(self):
        raise Boom("float")


class FloatRaisesBase:
    def __float__(self):
        raise BoomBase("float")


class FloatReturnsText:
    def __float__(self):
        return "1.0"


REENTERED = []


class FloatReenters:
    """Calls back into the module, and collects, in the middle of a constructor."""

    def __float__(self):
        engine = RustEngine("fixed_window", "active", 1, 0.0, None, None, "")
        engine.check("inner", "/")
        if REENTERED:
            REENTERED[0].check("inner", "/")
        del engine
        gc.collect()
        return 3.0


class IndexOnly:
    def __index__(self):
        return 7


class IndexRaises:
    def __index__(self):
        raise Boom("index")


class StrSub(str):
    def encode(self, *args):  # never consulted by the conversion
        raise Boom("encode")


class IntSub(int):
    pass


class FloatSub(float):
    def __float__(self):
        raise Boom("float subclass")


class StrRaises:
    def __str__(self):
        raise Boom("str")

    __repr__ = __str__


class FloatClearsItsDict:
    """Empties the keyword dict of the call it is an argument of: before 3.9,
    RustEngine(**kwargs) hands the binding the caller's own dict, so what
    follows this argument loses its only other reference."""

    def __init__(self):
        self.arguments = None

    def __float__(self):
        if self.arguments is not None:
            self.arguments.clear()
        return 3.0


def circular_list():
    items = [1]
    items.append(items)
    return items


def generator():
    yield 1


VALUES = [
    None, True, False, 0, 1, -1, 2**63, 2**64, 2**1000, -(2**1000), IntSub(5), 0.0, -0.0, 1.5,
    -1.0, math.nan, math.inf, -math.inf, 1e308, 5e-324, FloatSub(2.0), complex(1, 2),
    decimal.Decimal("1.5"), decimal.Decimal("NaN"), decimal.Decimal("sNaN"),
    fractions.Fraction(1, 3), "", "token_bucket", "sliding_window", "fixed_window",
    "leaky_bucket", "active", "shadow", "disabled", "\ud800", "a\udfffb", "\x00", "x" * 100000,
    "\u00e9\U0001f600", StrSub("10.0.0.1"), StrSub("\ud800"), b"bytes", bytearray(b"ba"),
    memoryview(b"mv"), [], [1, 2], (), (1,), {}, {"a": 1}, set(), frozenset({1}), object(),
    object, type, RustEngine, len, lambda: 0, generator(), range(3), circular_list(),
    FloatRaises(), FloatRaisesBase(), FloatReturnsText(), IndexOnly(), IndexRaises(),
    StrRaises(), Ellipsis, NotImplemented, Boom("value"),
]
TEXTS = [v for v in VALUES if isinstance(v, str)]
NUMBERS = [v for v in VALUES if isinstance(v, (int, float)) and not isinstance(v, bool)] + [
    FloatRaises(), IndexOnly(), decimal.Decimal("2.5"), fractions.Fraction(7, 2),
    FloatReenters(), FloatClearsItsDict()]
# The values each parameter usually gets, so that most calls get far enough.
PLAUSIBLE = {"capacity": NUMBERS, "refill_rate": NUMBERS, "api_key": TEXTS + [None] * 4,
             "debug": TEXTS + [None] * 4, "identity": TEXTS + [None] * 4}
HOSTILE_MARKERS = (Boom, BoomBase)
TYPE_ERROR = re.compile(
    r"^((RustEngine|ZoneEngine)\.(__new__|check)\(\) |(remove_zone|zone_stats)\(\) "
    r"|argument '(\w+)': |'[^']*' object cannot be converted to '(RustEngine|ZoneEngine)'$"
    # The interpreter's own receiver check of an unbound method.
    r"|descriptor 'check' (for|of) 'builtins.(RustEngine|ZoneEngine)' object"
    r"|zone_size must be a whole number of bytes, not .*"
    r"|on_error must be 'local', 'allow' or 'deny', not .*"
    # A zone engine's rates, its twelfth parameter.
    r"|rates must be .*|a rate must be .*|a rate's \w+ must be .*)", re.DOTALL)
# What the engine says of rates it cannot use (ValueError).
RATES_PROBLEM = re.compile(r"^(a limit (needs|has) |a rate's (count|window) must be )")
INVALID_NAME = "invalid zone name: use 1 to 64 characters"
NOT_WHOLE_SIZE = "zone_size must be a whole number of bytes, not "
NO_SUCH_POLICY = "on_error must be 'local', 'allow' or 'deny', not "
# The whole of the name or directory given is quoted, whatever it holds.
ZONE_ERROR = re.compile(r"zone (directory )?'.*':? \S", re.DOTALL)
ZONE_FILE = re.compile(r"vorn\.(.+)\.zone-v\d+")


def random_call(rng, params):
    """Positional and keyword arguments: right names, wrong names, wrong counts."""
    count = rng.choice([len(params)] * 4 + [rng.randint(0, len(params) + 2)])
    values = [rng.choice(PLAUSIBLE.get(params[i], TEXTS) if i < len(params) and rng.random() < 0.9
                         else VALUES) for i in range(count)]
    split = rng.randint(0, count)
    args, kwargs = values[:split], {}
    for i, value in enumerate(values[split:], start=split):
        name = params[i] if i < len(params) and rng.random() < 0.9 else rng.choice(
            ["x", "IP", "identity", "\ud800", StrSub("ip"), "capacity"])
        kwargs[name] = value
    return args, kwargs


def expect_result(result, mode_known=True):
    assert type(result) is dict, result
    keys = list(result)
    assert keys in (["allowed", "would_block", "reason", "decision"],
                    ["allowed", "would_block", "decision"]), keys
    assert type(result["allowed"]) is bool and type(result["would_block"]) is bool
    inner = result["decision"]
    assert list(inner) == ["decision", "reason", "algorithm", "route", "remaining",
                           "latency_ms"], inner
    assert inner["decision"] in ("allow", "block", "would_block")
    assert inner["reason"] in ("within_limit", "limit_exceeded", "token_exhausted")
    if "reason" in result:
        assert result["reason"] == inner["reason"]
        assert result["would_block"] == (inner["reason"] != "within_limit")
    for key in ("remaining", "latency_ms"):
        assert inner[key] is None or (type(inner[key]) is int and 0 <= inner[key] < 2**64)


def expect_error(error, values):
    """The error must be a documented type, or come from one of our own objects."""
    if isinstance(error, HOSTILE_MARKERS):
        return
    kind = type(error)
    if kind is TypeError:
        assert TYPE_ERROR.match(str(error)), f"undocumented TypeError: {error}"
    elif kind is vorn_native.ZoneError:
        assert ZONE_ERROR.match(str(error)), error
    elif kind is ValueError and str(error).startswith(INVALID_NAME):
        pass
    elif kind is ValueError and RATES_PROBLEM.match(str(error)):
        pass
    elif kind is ValueError and str(error).startswith(NOT_WHOLE_SIZE):
        assert any(isinstance(v, int) and v < 0 for v in values), error
    elif kind is ValueError and str(error).startswith(NO_SUCH_POLICY):
        assert any(isinstance(v, str) for v in values), error
    elif kind is UnicodeEncodeError:
        assert any(isinstance(v, str) for v in values)
    elif kind in (OverflowError, ValueError):
        # The interpreter's float conversion of a huge int, or Decimal('sNaN').
        assert any(isinstance(v, (int, decimal.Decimal)) for v in values), error
    else:
        raise AssertionError(f"undocumented {kind.__name__}: {error}")


def shared_singleton(value):
    """Objects the interpreter hands out to everyone (None, small ints, the
    empty and one-character strings): a result may legitimately hold them."""
    return (value is None or type(value) is bool or (type(value) is int and -5 <= value <= 256)
            or (type(value) in (str, bytes, tuple) and len(value) <= 1))


def call(fn, args, kwargs, check_result):
    """Calls fn, hands a result to check_result, and checks that once the
    result is gone no argument has gained or lost a reference (a result may
    hold an argument, such as the route str, while it lives). Returns whether
    the call returned."""
    values = [v for v in list(args) + list(kwargs.values()) if not shared_singleton(v)]
    result = error = None
    before = [sys.getrefcount(v) for v in values]
    passed = dict(kwargs)  # the dict a FloatClearsItsDict may empty
    clearing = [v for v in passed.values() if isinstance(v, FloatClearsItsDict)]
    for clearer in clearing:
        clearer.arguments = passed
    try:
        result = fn(*args, **passed)
    except BaseException as e:  # noqa: B036 - PanicException derives from BaseException
        error = e
    for clearer in clearing:
        clearer.arguments = None
    del passed, clearing
    clearer = None
    if error is not None:
        expect_error(error, list(args) + list(kwargs.values()))
        error = None
    returned = result is not None
    if returned:
        check_result(result)
        result = None
    after = [sys.getrefcount(v) for v in values]
    assert before == after, f"reference counts changed: {before} -> {after} for {values!r:.200}"
    return returned


def check_built(built):
    assert type(built) in (RustEngine, ZoneEngine)
    expect_result(built.check("1.2.3.4", "/"))


def expect_stats(stats):
    assert type(stats) is dict and type(stats.pop("path", None)) is str, stats
    assert all(type(v) is int for v in stats.values()), stats
    assert stats["keys"] <= stats["capacity"], stats


def zone_objects(directory):
    """The zones in `directory` that exist now, by name."""
    return {match.group(1) for match in map(ZONE_FILE.fullmatch, os.listdir(directory)) if match}


def zone_call(rng, zone_engines, scratch):
    """One hostile call of the zone surface; returns whether it returned."""
    names = ZONE_NAMES + ["", "a/b", "x" * 65, StrSub(ZONE_NAMES[0]), "\ud800"]
    PLAUSIBLE["zone"] = names
    PLAUSIBLE["zone_size"] = [None, None, 1 << 16, 1 << 17, 1 << 20, 100, -1, 2**70] + NUMBERS
    PLAUSIBLE["name"] = names
    PLAUSIBLE["zone_dir"] = [None] * 4 + [scratch, StrSub(scratch), "/tmp", "relative", ""]
    PLAUSIBLE["on_error"] = ["local", "allow", "deny", "LOCAL", None, 1]
    action = rng.randrange(4)
    if action == 0:
        args, kwargs = random_call(rng, ZONE_CTOR_PARAMS)
        return call(ZoneEngine, args, kwargs, check_built)
    if action == 1:
        args, kwargs = random_call(rng, CHECK_PARAMS)
        return call(rng.choice(zone_engines).check, args, kwargs, expect_result)
    args, kwargs = random_call(rng, ["name", "zone_dir"])
    if action == 2:
        return call(vorn_native.zone_stats, args, kwargs, expect_stats)
    return call(vorn_native.remove_zone, args, kwargs, lambda removed: type(removed) is bool)


def main(iterations, seed):
    rng = random.Random(seed)
    scratch = tempfile.mkdtemp(prefix="vorn-hostile-")
    engines = [RustEngine(a, m, 5, 0.0, k, None, "")
               for a in ("token_bucket", "sliding_window", "fixed_window", "leaky_bucket")
               for m in ("active", "shadow", "disabled") for k in (None, "key")]
    canary = RustEngine("fixed_window", "active", 7, 0.0, "key", None, "")
    zone_engines = [ZoneEngine(ZONE_NAMES[0], 1 << 20, a, m, 5, 0.0, None, None, "")
                    for a in ("token_bucket", "sliding_window") for m in ("active", "disabled")]
    directory = os.path.dirname(vorn_native.zone_stats(ZONE_NAMES[0])["path"])
    zones_before = zone_objects(directory) - set(ZONE_NAMES)
    REENTERED.append(engines[0])
    stats = {"results": 0, "errors": 0, "built": 0}
    for i in range(iterations):
        action = rng.randrange(5)
        if action == 4:
            returned = zone_call(rng, zone_engines, scratch)
        elif action == 0:
            args, kwargs = random_call(rng, CTOR_PARAMS)
            returned = call(RustEngine, args, kwargs, check_built)
            stats["built"] += returned
        elif action in (1, 2):
            args, kwargs = random_call(rng, CHECK_PARAMS)
            returned = call(rng.choice(engines).check, args, kwargs, expect_result)
        else:
            receiver = rng.choice(VALUES + engines[:1])
            args, kwargs = random_call(rng, CHECK_PARAMS)
            returned = call(RustEngine.check, [receiver] + args, kwargs, expect_result)
        stats["results" if returned else "errors"] += 1
        if i % 1000 == 0:
            expect_result(canary.check("canary-" + str(i), "/"))
    admitted = sum(canary.check("exact", "/")["allowed"] for _ in range(20))
    assert admitted == 7, f"canary admitted {admitted} of 7"
    for engine in engines + zone_engines:
        expect_result(engine.check("still-usable", "/"))
    # A misplaced argument can name a zone after any text of the pools: remove
    # the zones this run made, and only those (other programs may make zones).
    texts = {str(v) for v in VALUES if isinstance(v, str)} | set(ZONE_NAMES)
    for name in (zone_objects(directory) - zones_before) & texts:
        vorn_native.remove_zone(name)
    shutil.rmtree(scratch)
    print(f"hostile python: {iterations} calls (seed {seed}), {stats}; every answer documented")


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 20000,
         int(sys.argv[2]) if len(sys.argv) > 2 else random.randrange(2**32))
