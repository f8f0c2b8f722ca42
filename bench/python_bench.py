#!/usr/bin/python3
"""Per-call cost of RustEngine.check against what a Python service would use instead.

Usage: /usr/bin/python3 bench/python_bench.py [builddir] [--json FILE] [--rounds N]

Every row checks the same 4,096 IPv4-like client keys in rotation, always
admitted (allowances never run out): RustEngine.check (token bucket, active
mode, no API key); the `limits` library's in-memory fixed and moving windows;
a token bucket in plain Python on a dict that returns the same nested dict as
check; and the floor module (bench/pyfloor), which parses the same two str
arguments and returns that nested dict without deciding anything (and its
`nothing`, a vectorcall method that reads nothing and returns None: the bare
crossing, the least any native check can cost). Rounds
alternate over the rows so that load from elsewhere on the machine hits all of
them alike; each figure is the median over the rounds and each ratio the median
of the per-round ratios.

check_limits_cost weighs each request 2, called as check_limits(ip, route,
cost=2); check_limits_rates checks a limit of two rates made by
RustEngine.from_rates.

The rows ending in "_4096" check 4,096 keys instead, with a token bucket that
never refills (check_4096_norefill) and one that is full again by the time a
client returns (check_4096_refill, the common case); the peers they are
compared with run on the same keys.
"""
import argparse
import json
import os
import pathlib
import statistics
import sys
import time

REPO = pathlib.Path(__file__).resolve().parents[1]
ROUTE = "/api/items"
KEY_COUNT = int(os.environ.get("VORN_BENCH_KEYS", "64"))


def load_modules(build):
    sys.path.insert(0, os.environ.get("VORN_PYTHON_PATH", str(build / "python")))
    sys.path.insert(0, str(build / "bench"))
    import pyfloor
    import vorn_native
    return vorn_native, pyfloor


def ipv4_keys(count):
    return [f"10.{(n >> 16) & 255}.{(n >> 8) & 255}.{n & 255}"
            for n in (i * 2654435761 % 4_000_000_000 for i in range(count))]


class DictTokenBucket:
    """A token bucket as plain Python would write it, answering like check."""

    def __init__(self, capacity, refill_rate):
        self.capacity = capacity
        self.refill_rate = refill_rate
        self.buckets = {}

    def check(self, ip, route):
        now = time.time()
        bucket = self.buckets.get(ip)
        if bucket is None:
            bucket = self.buckets[ip] = [self.capacity, now]
        tokens = min(self.capacity, bucket[0] + (now - bucket[1]) * self.refill_rate)
        bucket[1] = now
        allowed = tokens >= 1
        if allowed:
            tokens -= 1
        bucket[0] = tokens
        reason = "within_limit" if allowed else "token_exhausted"
        return {"allowed": allowed, "would_block": not allowed, "reason": reason,
                "decision": {"decision": "allow" if allowed else "block", "reason": reason,
                             "algorithm": "token_bucket", "route": route,
                             "remaining": int(tokens), "latency_ms": 0}}


def limits_rows():
    """The `limits` peers, or nothing when the package is missing."""
    try:
        import functools

        from limits import RateLimitItemPerMinute, storage, strategies
    except ImportError:
        return {}
    item = RateLimitItemPerMinute(10**9)
    # The strategies hold their storage weakly: keep each alive here.
    stores = [storage.MemoryStorage(), storage.MemoryStorage()]
    fixed = strategies.FixedWindowRateLimiter(stores[0])
    moving = strategies.MovingWindowRateLimiter(stores[1])
    fixed.stores = moving.stores = stores
    # Bound methods with the item bound in C: no Python frame added to the call.
    return {"limits_fixed": lambda: functools.partial(fixed.hit, item),
            "limits_moving": lambda: functools.partial(moving.hit, item)}


RETURNING_KEYS = 4096


def run(function, sequence):
    route = ROUTE
    start = time.perf_counter_ns()
    for ip in sequence:
        function(ip, route)
    return (time.perf_counter_ns() - start) / len(sequence)


def run_with_cost(function, sequence):
    """run, each call naming a cost of 2 by keyword."""
    route = ROUTE
    start = time.perf_counter_ns()
    for ip in sequence:
        function(ip, route, cost=2)
    return (time.perf_counter_ns() - start) / len(sequence)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("builddir", nargs="?", default=str(REPO / "build"))
    parser.add_argument("--json")
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--calls", type=int, default=200_000)
    options = parser.parse_args()
    vorn_native, pyfloor = load_modules(pathlib.Path(options.builddir).resolve())

    engine = vorn_native.RustEngine("token_bucket", "active", 1e15, 1e12, None, None, "")
    # The same engine with its state in a shared-memory zone (removed at the end).
    zone_name = f"bench-py-{os.getpid()}"
    zone_engine = vorn_native.ZoneEngine(zone_name, None, "token_bucket", "active", 1e15, 1e12,
                                         None, None, "")
    two_rates = vorn_native.RustEngine.from_rates("token_bucket", "active",
                                                  [(1e15, 1000), (1e15, 60000)], None, None, "")
    bucket = DictTokenBucket(1e15, 1e12)
    keys = ipv4_keys(KEY_COUNT)
    sample = engine.check(keys[0], ROUTE)
    assert sample["allowed"] and list(sample) == list(pyfloor.check(keys[0], ROUTE))
    assert list(sample["decision"]) == list(bucket.check(keys[0], ROUTE)["decision"])

    rows = {"check": lambda: engine.check, "check_limits": lambda: engine.check_limits,
            "check_limits_cost": lambda: engine.check_limits,
            "check_limits_rates": lambda: two_rates.check_limits,
            "zone_check": lambda: zone_engine.check,
            "dict_bucket": lambda: bucket.check,
            "floor": lambda: pyfloor.check, "floor_vectorcall": lambda: pyfloor.check_fast,
            "floor_nothing": lambda: pyfloor.nothing}
    rows.update(limits_rows())
    functions = {name: make() for name, make in rows.items()}
    sequence = (keys * (options.calls // KEY_COUNT + 1))[:options.calls]
    sequences = {name: (sequence, keys) for name in functions}

    returning_keys = ipv4_keys(RETURNING_KEYS)
    returning = (returning_keys * (options.calls // RETURNING_KEYS + 1))[:options.calls]
    returning_rows = {
        "check_4096_norefill": vorn_native.RustEngine(
            "token_bucket", "active", 1e12, 0.0, None, None, "").check,
        "check_4096_refill": vorn_native.RustEngine(
            "token_bucket", "active", 1e12, 1e9, None, None, "").check,
        "dict_bucket_4096": DictTokenBucket(1e12, 1e9).check,
    }
    if "limits_fixed" in rows:
        returning_rows["limits_fixed_4096"] = limits_rows()["limits_fixed"]()
    for name, function in returning_rows.items():
        functions[name] = function
        sequences[name] = (returning, returning_keys)

    for name, function in functions.items():  # every key exists and every path is warm
        runner = run_with_cost if name == "check_limits_cost" else run
        runner(function, sequences[name][1] * 4)

    samples = {name: [] for name in functions}
    for _ in range(options.rounds):
        for name, function in functions.items():
            runner = run_with_cost if name == "check_limits_cost" else run
            samples[name].append(runner(function, sequences[name][0]))
    assert engine.check(keys[0], ROUTE)["allowed"]
    vorn_native.remove_zone(zone_name)

    median = statistics.median
    report = {"python": sys.version.split()[0], "executable": sys.executable,
              "calls": options.calls, "rounds": options.rounds,
              "ns": {name: median(values) for name, values in samples.items()},
              "ratio": {name: median(c / p for c, p in zip(samples["check"], values))
                        for name, values in samples.items()
                        if name != "check" and not name.endswith("_4096")
                        and not name.startswith("check_4096")}}
    # Both check_4096 rows against each 4,096-key peer, and refill against no refill.
    for subject in ("check_4096_norefill", "check_4096_refill"):
        for name, values in samples.items():
            if name != subject and (name.endswith("_4096") or name == "check_4096_norefill"):
                report["ratio"][f"{subject}/{name}"] = median(
                    c / p for c, p in zip(samples[subject], values))
    print(f"python {report['python']} ({sys.executable}), {options.calls} calls x "
          f"{options.rounds} rounds, ns per call (median)")
    for name, value in report["ns"].items():
        ratio = report["ratio"].get(name)
        suffix = f"   check / this {ratio:.2f}" if ratio is not None else ""
        print(f"  {name:<20} {value:8.1f}{suffix}")
    for name, ratio in report["ratio"].items():
        if "/" in name:
            print(f"  {name:<40} {ratio:.2f}")
    if options.json:
        pathlib.Path(options.json).write_text(json.dumps(report, indent=1))


if __name__ == "__main__":
    main()
