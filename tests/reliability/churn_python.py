#!/usr/bin/env python3
"""The leak-check workload for Python, meant to run under valgrind memcheck with
PYTHONMALLOC=malloc (scripts/leak_check.sh): many checks across all four
algorithms and three modes, with and without an API key; engines created and
destroyed; engines on shared-memory zones created and destroyed, zones made,
mapped, unmapped and removed; and every documented error path of the
constructor, of check and of the zone functions taken repeatedly. It asserts only that each path behaves as documented; the
leak verdict comes from the memory checker.

Usage: churn_python.py [checks] [engines] [error_rounds]
"""
import logging
import os
import pathlib
import shutil
import sys
import tempfile

sys.path.insert(0, os.environ.get(
    "VORN_PYTHON_PATH", str(pathlib.Path(__file__).resolve().parents[2] / "build" / "python")))
import vorn_native  # noqa: E402

RustEngine = vorn_native.RustEngine
ALGORITHMS = ("token_bucket", "sliding_window", "fixed_window", "leaky_bucket")
MODES = ("active", "shadow", "disabled")
GOOD = ("token_bucket", "active", 10, 1.0, None, None, "")
POLICIES = ("local", "allow", "deny")


class FloatRaises:
    def __float__(self):
        raise ValueError("no float")


class ClearsItsDict:
    """A capacity whose conversion to float empties the keyword dict it came in."""

    def __init__(self, arguments):
        self.arguments = arguments

    def __float__(self):
        self.arguments.clear()
        return 2.0


def arguments_dropped_while_binding():
    # Fresh objects, so that the dict holds the only reference to each: before
    # 3.9, RustEngine(**arguments) hands the binding the caller's own dict.
    arguments = {"algorithm_str": "".join(["fixed", "_window"]), "mode_str": "".join(["sha", "dow"]),
                 "refill_rate": float("0.5"), "api_key": "".join(["k", "ey"]),
                 "debug": "".join(["de", "bug"]), "backend_url": "".join(["http://", "b"])}
    arguments["capacity"] = ClearsItsDict(arguments)
    engine = RustEngine(**arguments)
    results = [engine.check("".join(["1.2.", "3.4"]), "/") for _ in range(3)]
    assert [r["would_block"] for r in results] == [False, False, True], results
    assert results[2]["allowed"] and results[2]["decision"]["algorithm"] == "fixed_window"


def raises(kind, fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except kind:
        return
    raise AssertionError(f"{fn} did not raise {kind.__name__} for {args} {kwargs}")


def constructor_errors():
    raises(TypeError, RustEngine)
    raises(TypeError, RustEngine, *GOOD, "extra")
    raises(TypeError, RustEngine, *GOOD[:4], backend_url="")
    raises(TypeError, RustEngine, *GOOD, x=1)
    raises(TypeError, RustEngine, *GOOD, capacity=1)
    raises(TypeError, RustEngine, None, *GOOD[1:])
    raises(TypeError, RustEngine, *GOOD[:6], None)
    raises(TypeError, RustEngine, *GOOD[:5], True, "")
    raises(TypeError, RustEngine, b"token_bucket", *GOOD[1:])
    raises(UnicodeEncodeError, RustEngine, "\ud800", *GOOD[1:])
    raises(UnicodeEncodeError, RustEngine, *GOOD[:4], "key\udfff", None, "")
    raises(TypeError, RustEngine, *GOOD[:2], "10", *GOOD[3:])
    raises(OverflowError, RustEngine, *GOOD[:2], 10**400, *GOOD[3:])
    raises(ValueError, RustEngine, *GOOD[:3], FloatRaises(), *GOOD[4:])
    raises(TypeError, RustEngine, *GOOD, **{"\ud800": 1})


def check_errors(engine):
    raises(TypeError, engine.check)
    raises(TypeError, engine.check, "ip")
    raises(TypeError, engine.check, "ip", "/", None, "extra")
    raises(TypeError, engine.check, "ip", "/", IP="x")
    raises(TypeError, engine.check, "ip", "/", ip="x")
    raises(TypeError, engine.check, 42, "/")
    raises(TypeError, engine.check, "ip", None)
    raises(TypeError, engine.check, "ip", "/", b"identity")
    raises(UnicodeEncodeError, engine.check, "\ud800", "/")
    raises(UnicodeEncodeError, engine.check, "ip", "/", "id\udfff")
    raises(TypeError, RustEngine.check, object(), "ip", "/")


def zone_churn(engines, error_rounds):
    """Zone engines come and go on one zone (one mapping, shared), on zones
    made and removed each time (a mapping each) and on a zone that cannot be
    used (degraded, with its notice logged); then the zone error paths."""
    kept = f"churn-{os.getpid()}"
    holder = vorn_native.ZoneEngine(kept, 1 << 20, *GOOD)
    # A directory where the zone's file should be: every engine there degrades.
    scratch = tempfile.mkdtemp(prefix="vorn-churn-")
    os.mkdir(os.path.join(scratch, "vorn.blocked.zone-v3"))
    notices = logging.getLogger("vorn.zone")
    notices.addHandler(logging.NullHandler())
    notices.propagate = False
    for i in range(engines // 10 + 1):
        a = ALGORITHMS[i % len(ALGORITHMS)]
        engine = vorn_native.ZoneEngine(kept, None, a, MODES[i % 3], 3, 0.5, None, None, "")
        engine.check(f"2.2.2.{i % 7}", "/")
        del engine
        passing = f"{kept}-{i}"
        vorn_native.ZoneEngine(passing, 1 << 17, a, "active", 3, 0.5, None, None, "").check("a", "/")
        assert vorn_native.zone_stats(passing)["keys"] == 1
        assert vorn_native.remove_zone(passing)
        degraded = vorn_native.ZoneEngine("blocked", None, *GOOD, scratch, POLICIES[i % 3])
        assert degraded.degraded and degraded.zone_stats() is None
        degraded.check("a", "/")
        del degraded
    for _ in range(error_rounds):
        raises(ValueError, vorn_native.ZoneEngine, "bad name", None, *GOOD)
        raises(vorn_native.ZoneError, vorn_native.ZoneEngine, kept + "-small", 100, *GOOD)
        raises(vorn_native.ZoneError, vorn_native.zone_stats, kept + "-missing")
        raises(TypeError, vorn_native.ZoneEngine, kept, "size", *GOOD)
        raises(TypeError, vorn_native.ZoneEngine, kept, True, *GOOD)
        raises(ValueError, vorn_native.ZoneEngine, kept, -1, *GOOD)
        raises(ValueError, vorn_native.ZoneEngine, kept, None, *GOOD, None, "never")
        raises(vorn_native.ZoneError, vorn_native.ZoneEngine, kept, None, *GOOD, "/tmp")
        raises(TypeError, holder.check, 1, "/")
    del holder
    vorn_native.remove_zone(kept)
    shutil.rmtree(scratch)


def main(checks, engines, error_rounds):
    configs = [(a, m, k) for a in ALGORITHMS for m in MODES for k in (None, "key")]
    pool = [RustEngine(a, m, 50, 5.0, k, "debug" if k else None, "http://localhost:4000")
            for a, m, k in configs]
    for i in range(checks):
        engine = pool[i % len(pool)]
        identity = None if i % 3 else f"user-{i % 97}"
        result = engine.check(f"10.0.{i % 7}.{i % 251}", f"/r/{i % 5}", identity)
        assert "decision" in result
    for i in range(engines):
        a, m, k = configs[i % len(configs)]
        engine = RustEngine(a, m, 3, 0.5, k, None, "x" * (i % 50))
        for j in range(5):
            engine.check(f"1.1.1.{j}", "/", "id" if j % 2 else None)
        del engine
    for _ in range(error_rounds):
        constructor_errors()
        check_errors(pool[0])
        arguments_dropped_while_binding()
    del pool
    zone_churn(engines, error_rounds)
    print(f"python churn: {checks} checks over {len(configs)} configurations, "
          f"{engines} engines, {error_rounds} rounds of every error path")


if __name__ == "__main__":
    main(*(int(a) for a in sys.argv[1:4])) if len(sys.argv) > 3 else main(100000, 1000, 200)
