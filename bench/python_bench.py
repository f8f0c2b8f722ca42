#!/usr/bin/env python3
"""Per-call cost of RustEngine.check against the floor of crossing into native code.

Usage: python3 bench/python_bench.py [builddir]   (default: build)

The engine runs the token bucket in active mode with no API key, on a key it
has already seen, with an allowance that never runs out. The floor
(bench/pyfloor) takes the same two str arguments the same way and returns the
same nested dict without deciding anything. Prints the median over repeats.
"""
import os
import pathlib
import statistics
import sys
import timeit

REPO = pathlib.Path(__file__).resolve().parents[1]
BUILD = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else REPO / "build").resolve()
sys.path.insert(0, os.environ.get("VORN_PYTHON_PATH", str(BUILD / "python")))
sys.path.insert(0, str(BUILD / "bench"))

import pyfloor  # noqa: E402
import vorn_native  # noqa: E402

NUMBER = 200_000
REPEAT = 9


def per_call_ns(function):
    timer = timeit.Timer("check(ip, route)",
                         globals={"check": function, "ip": "203.0.113.7", "route": "/api/items"})
    timer.timeit(NUMBER // 10)  # warm up
    runs = timer.repeat(repeat=REPEAT, number=NUMBER)
    return statistics.median(runs) / NUMBER * 1e9, min(runs) / NUMBER * 1e9


def main():
    engine = vorn_native.RustEngine("token_bucket", "active", 1e15, 1e12, None, None, "")
    first = engine.check("203.0.113.7", "/api/items")
    assert first["allowed"] and list(first) == list(pyfloor.check("203.0.113.7", "/api/items"))

    check_median, check_best = per_call_ns(engine.check)
    floor_median, floor_best = per_call_ns(pyfloor.check)
    assert engine.check("203.0.113.7", "/api/items")["allowed"]

    print(f"python {sys.version.split()[0]}, {NUMBER} calls x {REPEAT} repeats")
    print(f"RustEngine.check  median {check_median:8.1f} ns/call  (best {check_best:.1f})")
    print(f"pyfloor.check     median {floor_median:8.1f} ns/call  (best {floor_best:.1f})")
    print(f"ratio check/floor {check_median / floor_median:.2f}x (target <= 1.40x)")


if __name__ == "__main__":
    main()
