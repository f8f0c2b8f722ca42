#!/usr/bin/python3
"""Time per check of a synced engine (create_engine(redis=..., sync=0.1)) against
the in-process engine of the same limit, from one thread, on one redis-server.

Usage: /usr/bin/python3 bench/sync_bench.py REDIS_URL [builddir] [--json FILE]
           [--rounds N] [--checks N]

Rows (4,096 client keys in rotation, every check admitted, a limit that never
runs out): check() on the token bucket and the fixed window, each engine kind in
turn per round while the synced engine's thread syncs every 100 ms; and the
synced engine on a zone (one table of keys for the machine's processes, in
shared memory). Each figure is the median ns per check over the rounds, each
ratio the median of the per-round ratios (synced / in process); the target is
at most 1.5.
"""
import argparse
import json
import os
import pathlib
import shutil
import statistics
import sys
import tempfile
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
    zone_dir = tempfile.mkdtemp(prefix="vorn-sync-bench-")
    for algorithm in ("token_bucket", "fixed_window"):
        local = vorn.create_engine(limit=LIMIT, algorithm=algorithm)
        engines = {
            "synced": vorn.create_engine(limit=LIMIT, algorithm=algorithm, redis=args.url,
                                         sync=0.1),
            "synced_zone": vorn.create_engine(limit=LIMIT, algorithm=algorithm, redis=args.url,
                                              sync=0.1, zone="bench", zone_dir=zone_dir),
        }
        for engine in (local, *engines.values()):  # every key known, the leases granted
            ns_per_check(engine, len(KEYS))
        time.sleep(0.3)
        for engine in engines.values():
            ns_per_check(engine, len(KEYS))
        times = {"in_process": [], **{kind: [] for kind in engines}}
        ratios = {kind: [] for kind in engines}
        for _ in range(args.rounds):
            times["in_process"].append(ns_per_check(local, args.checks))
            for kind, engine in engines.items():
                times[kind].append(ns_per_check(engine, args.checks))
                ratios[kind].append(times[kind][-1] / times["in_process"][-1])
        for engine in engines.values():
            engine.close()
        for kind, values in times.items():
            report["ns"][algorithm + "/" + kind] = statistics.median(values)
        for kind, values in ratios.items():
            name = kind.replace("_", " on a ")
            report["ratio"][f"{algorithm} {name} / in process"] = statistics.median(values)
            print(f"  {algorithm:13} in process {report['ns'][algorithm + '/in_process']:6.0f} ns, "
                  f"{name} {report['ns'][algorithm + '/' + kind]:6.0f} ns per check "
                  f"({report['ratio'][f'{algorithm} {name} / in process']:.2f}x, target <= 1.5)",
                  file=sys.stderr)
    shutil.rmtree(zone_dir, ignore_errors=True)
    if args.json:
        pathlib.Path(args.json).write_text(json.dumps(report, indent=1))


if __name__ == "__main__":
    main()
