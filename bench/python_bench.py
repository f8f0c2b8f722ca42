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

NUMBER = 100_000
REPEAT = 15
IP, ROUTE = "203.0.113.7", "/api/items"


def timer(function):
    return timeit.Timer("check(ip, route)", globals={"check": function, "ip": IP, "route": ROUTE})


def main():
    engine = vorn_native.RustEngine("token_bucket", "active", 1e15, 1e12, None, None, "")
    first = engine.check(IP, ROUTE)
    assert first["allowed"] and list(first) == list(pyfloor.check(IP, ROUTE))

    # Runs alternate so that load from elsewhere on the machine hits both alike;
    # the ratio is the median of the per-round ratios.
    check_timer, floor_timer = timer(engine.check), timer(pyfloor.check)
    check_timer.timeit(NUMBER // 10)
    floor_timer.timeit(NUMBER // 10)
    check_ns, floor_ns = [], []
    for _ in range(REPEAT):
        check_ns.append(check_timer.timeit(NUMBER) / NUMBER * 1e9)
        floor_ns.append(floor_timer.timeit(NUMBER) / NUMBER * 1e9)
    assert engine.check(IP, ROUTE)["allowed"]
    ratios = [c / f for c, f in zip(check_ns, floor_ns)]

    median = statistics.median
    print(f"python {sys.version.split()[0]}, {NUMBER} calls x {REPEAT} rounds")
    print(f"RustEngine.check  median {median(check_ns):8.1f} ns/call  (best {min(check_ns):.1f})")
    print(f"pyfloor.check     median {median(floor_ns):8.1f} ns/call  (best {min(floor_ns):.1f})")
    print(f"ratio check/floor median {median(ratios):.2f}x, best-to-best "
          f"{min(check_ns) / min(floor_ns):.2f}x (target <= 1.40x)")


if __name__ == "__main__":
    main()
