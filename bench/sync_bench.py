#!/usr/bin/python3
"""Time per check of a synced engine (create_engine(redis=..., sync=0.1)) against
the in-process engine of the same limit, from one thread, on one redis-server.

Usage: /usr/bin/python3 bench/sync_bench.py REDIS_URL [builddir] [--json FILE]
           [--rounds N] [--checks N]

Rows (4,096 client keys in rotation, every check admitted, a limit that never
runs out): check() on the token bucket and the fixed window, each engine kind in
turn per round while the synced engine's thread syncs every 100 ms. Each figure
is the median ns per check over the rounds, each ratio the median of the
per-round ratios (synced / in process); the target is at most 1.5.
"""
import argparse
import json
import os
import pathlib
import statistics
import sys
import time

REPO = pathlib.Path(__file__).resolve().parents[1]
KEYS = ["10.0.%d.%d" % (n >> 8, n & 255) for n in range(4096)]
LIMIT = "1000000000/hour"


def ns_per_check(engine, checks):
    check = engine.check
    keys = KEYS
    size = len(keys)
    started = time.perf_counter_ns()
    for i in range(checks):
        check(keys[i % size], "/api/items")
    return (time.perf_counter_ns() - started) / checks


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("url")
    parser.add_argument("build", nargs="?", default=str(REPO / "build"))
    parser.add_argument("--json")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--checks", type=int, default=400_000)
    args = parser.parse_args()
    sys.path.insert(0, os.environ.get("VORN_PYTHON_PATH", str(pathlib.Path(args.build) / "python")))
    sys.path.insert(0, str(REPO))
    import vorn

    report = {"python": sys.version.split()[0], "ns": {}, "ratio": {}}
    for algorithm in ("token_bucket", "fixed_window"):
        local = vorn.create_engine(limit=LIMIT, algorithm=algorithm)
        synced = vorn.create_engine(limit=LIMIT, algorithm=algorithm, redis=args.url, sync=0.1)
        for engine in (local, synced):  # every key known, the leases granted
            ns_per_check(engine, len(KEYS))
        time.sleep(0.3)
        ns_per_check(synced, len(KEYS))
        times = {"in_process": [], "synced": []}
        ratios = []
        for _ in range(args.rounds):
            times["in_process"].append(ns_per_check(local, args.checks))
            times["synced"].append(ns_per_check(synced, args.checks))
            ratios.append(times["synced"][-1] / times["in_process"][-1])
        synced.close()
        for kind, values in times.items():
            report["ns"][algorithm + "/" + kind] = statistics.median(values)
        report["ratio"][algorithm + " synced / in process"] = statistics.median(ratios)
        print(f"  {algorithm:13} in process {report['ns'][algorithm + '/in_process']:6.0f} ns, "
              f"synced {report['ns'][algorithm + '/synced']:6.0f} ns per check "
              f"({report['ratio'][algorithm + ' synced / in process']:.2f}x, target <= 1.5)",
              file=sys.stderr)
    if args.json:
        pathlib.Path(args.json).write_text(json.dumps(report, indent=1))


if __name__ == "__main__":
    main()
