#!/usr/bin/python3
"""Checks per second of the Python Redis engines for a limit of one rate and of
two, on one redis-server, and the Redis memory a client key of two rates takes.

Usage: /usr/bin/python3 bench/redis_rates_bench.py REDIS_URL [builddir] [--json FILE]
           [--rounds N] [--checks N] [--memory-keys N (0: none)]

Rows (4,096 client keys in rotation, every check admitted, check_limits with
64 asyncio tasks on AsyncRedisEngine, and with 64 threads on RedisEngine), for
the token bucket and the sliding window: one rate of cost 1 (the limiter's own
script), one rate of cost 2 (lua/limits.lua), two rates of cost 1
(lua/limits.lua). Rounds alternate over the rows; each figure is the median
checks per second, each ratio the median of the per-round ratios of time per
check (two rates / one); the Redis server's time per script call (INFO
commandstats) is told beside each row. The memory part makes one key per client with one
check of each limit and reads INFO memory before and after, and MEMORY USAGE of
one key.
"""
import argparse
import asyncio
import json
import os
import pathlib
import statistics
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from redis_python_bench import IN_FLIGHT, KEYS, REPO, threaded_rate  # noqa: E402

ROOMY = 1e12  # a count that never runs out during a run
LIMITS = {"one_rate": [(ROOMY, 60_000)], "two_rates": [(ROOMY, 60_000), (ROOMY, 3_600_000)]}


def async_rate(engine, cost, total, loop):
    share = total // IN_FLIGHT

    async def work(offset):
        for i in range(share):
            await engine.check_limits(KEYS[(offset + i * IN_FLIGHT) % len(KEYS)], "/api/items",
                                      cost=cost)

    async def run():
        started = loop.time()
        await asyncio.gather(*(work(n) for n in range(IN_FLIGHT)))
        return share * IN_FLIGHT / (loop.time() - started)

    return loop.run_until_complete(run())


def rows(url, loop):
    from vorn import redis_engine

    found = {}
    for algorithm in ("token_bucket", "sliding_window"):
        for shape, rates in LIMITS.items():
            blocking = redis_engine.RedisEngine(url, algorithm, rates=rates, timeout=2.0,
                                                prefix="bench:")
            asynchronous = redis_engine.AsyncRedisEngine(url, algorithm, rates=rates,
                                                         timeout=2.0, prefix="bench:")
            for cost in ((1, 2) if shape == "one_rate" else (1,)):
                name = "%s_%s_cost%d" % (algorithm, shape, cost)
                found["async_" + name] = lambda total, e=asynchronous, c=cost: async_rate(
                    e, c, total, loop)
                found["threads_" + name] = lambda total, e=blocking, c=cost: threaded_rate(
                    lambda key: e.check_limits(key, "/api/items", cost=c), total)
    return found


def throughput(args):
    loop = asyncio.new_event_loop()
    found = rows(args.url, loop)
    for run in found.values():  # every key exists, every connection is open
        run(len(KEYS))
    import redis

    # The Redis server's own time per script call (INFO commandstats), per row.
    admin = redis.Redis.from_url(args.url)
    samples = {name: [] for name in found}
    server_us = {name: [] for name in found}
    for _ in range(args.rounds):
        for name, run in found.items():
            admin.config_resetstat()
            samples[name].append(run(args.checks))
            server_us[name].append(admin.info("commandstats")["cmdstat_evalsha"]["usec_per_call"])
    rate = {name: statistics.median(values) for name, values in samples.items()}
    redis_us = {name: statistics.median(values) for name, values in server_us.items()}
    ratio = {}
    for name in samples:
        if "two_rates" not in name:
            continue
        for one in ("one_rate_cost1", "one_rate_cost2"):
            peer = name.replace("two_rates_cost1", one)
            ratio[name + " / " + one] = statistics.median(
                samples[peer][i] / samples[name][i] for i in range(args.rounds))
    print(f"python {sys.version.split()[0]}, {args.checks} checks x {args.rounds} rounds, "
          f"{IN_FLIGHT} in flight, checks per second (median)", file=sys.stderr)
    for name in rate:
        print(f"  {name:42} {rate[name]:9.0f}   Redis {redis_us[name]:5.2f} us per call",
              file=sys.stderr)
    print("time per check, two rates / one rate (median of rounds)", file=sys.stderr)
    for name, value in ratio.items():
        print(f"  {name:70} {value:5.2f}", file=sys.stderr)
    return {"rate": rate, "ratio": ratio, "redis_us": redis_us}


def memory(url, keys):
    """Bytes of Redis memory per client key after one check of each limit."""
    import redis

    from vorn import redis_engine

    client = redis.Redis.from_url(url)
    found = {}
    # Refills slow enough that no key expires while the others are written.
    for shape, rates in {"one_rate": [(100, 100_000_000)],
                         "two_rates": [(100, 100_000_000), (1000, 1_000_000_000)]}.items():
        client.flushall()
        engine = redis_engine.RedisEngine(client, "token_bucket", rates=rates, timeout=2.0)
        engine.check_limits("warm", "/", cost=2)
        client.flushall()
        before = client.info("memory")["used_memory"]
        for n in range(keys):
            engine.check_limits(f"{(n >> 24) & 255}.{(n >> 16) & 255}.{(n >> 8) & 255}.{n & 255}",
                                "/", cost=2)
        after = client.info("memory")["used_memory"]
        (sample,) = client.keys("*0.0.0.0")
        found[shape] = {"keys": keys, "bytes_per_key": (after - before) / keys,
                        "memory_usage": client.memory_usage(sample), "key": sample.decode(),
                        "value": client.get(sample).decode()}
        print(f"  token bucket, {shape:9} {keys:>9,} keys  "
              f"{found[shape]['bytes_per_key']:6.1f} B/key (INFO used_memory), "
              f"MEMORY USAGE {found[shape]['memory_usage']} B of {sample.decode()!r} = "
              f"{found[shape]['value']!r}", file=sys.stderr)
    client.flushall()
    return found


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("url")
    parser.add_argument("build", nargs="?", default=str(REPO / "build"))
    parser.add_argument("--json")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--checks", type=int, default=12800)
    parser.add_argument("--memory-keys", type=int, default=100_000)
    args = parser.parse_args()
    sys.path.insert(0, os.environ.get("VORN_PYTHON_PATH", str(pathlib.Path(args.build) / "python")))
    sys.path.insert(0, str(REPO))
    report = {"python": sys.version.split()[0]}
    if args.rounds > 0:
        report.update(throughput(args))
    if args.memory_keys > 0:
        report["memory"] = memory(args.url, args.memory_keys)
    if args.json:
        pathlib.Path(args.json).write_text(json.dumps(report, indent=1))


if __name__ == "__main__":
    main()
