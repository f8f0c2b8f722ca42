#!/usr/bin/python3
"""Checks per second of the Redis engines against the `limits` package's Redis
storage, on one redis-server, with 64 checks in flight; and the Redis memory
that each limiter's keys take.

Usage: /usr/bin/python3 bench/redis_python_bench.py REDIS_URL [builddir] [--json FILE]
           [--rounds N (0: no throughput rows)] [--checks N] [--memory-keys N (0: none)]

Rows (4,096 client keys in rotation, every check admitted): AsyncRedisEngine.check
on the token bucket, the fixed window and the sliding window with 64 asyncio tasks;
RedisEngine.check on the token bucket and the sliding window, limits FixedWindowRateLimiter.hit and MovingWindowRateLimiter.hit, each
with 64 threads (the `limits` release in Debian has no asyncio Redis storage: it
needs coredis, which Debian does not package). Rounds alternate over the rows;
each figure is the median checks per second and each ratio the median of the per-round ratios of time per
check (ours / the peer's). The memory part fills Redis with one check per key and
reads INFO memory before and after.
"""
import argparse
import asyncio
import json
import os
import pathlib
import statistics
import sys
import threading
import time

REPO = pathlib.Path(__file__).resolve().parents[1]
KEYS = [f"10.{(n >> 16) & 255}.{(n >> 8) & 255}.{n & 255}"
        for n in (i * 2654435761 % 4_000_000_000 for i in range(4096))]
IN_FLIGHT = 64
ROOMY = 1e12  # capacity that never runs out during a run


def threaded_rate(check, total):
    """Checks per second of `check(key)` from IN_FLIGHT threads sharing `total` checks."""
    share = total // IN_FLIGHT
    barrier = threading.Barrier(IN_FLIGHT + 1)

    def work(offset):
        barrier.wait()
        for i in range(share):
            check(KEYS[(offset + i * IN_FLIGHT) % len(KEYS)])

    threads = [threading.Thread(target=work, args=(n,)) for n in range(IN_FLIGHT)]
    for thread in threads:
        thread.start()
    barrier.wait()
    started = time.perf_counter()
    for thread in threads:
        thread.join()
    return share * IN_FLIGHT / (time.perf_counter() - started)


def async_rate(engine, total, loop):
    share = total // IN_FLIGHT

    async def work(offset):
        for i in range(share):
            await engine.check(KEYS[(offset + i * IN_FLIGHT) % len(KEYS)], "/api/items")

    async def run():
        started = time.perf_counter()
        await asyncio.gather(*(work(n) for n in range(IN_FLIGHT)))
        return share * IN_FLIGHT / (time.perf_counter() - started)

    return loop.run_until_complete(run())


def rows(url, loop):
    from vorn import redis_engine

    blocking = redis_engine.RedisEngine(url, "token_bucket", "active", ROOMY, ROOMY,
                                        timeout=2.0, prefix="bench:")
    sliding = redis_engine.RedisEngine(url, "sliding_window", "active", ROOMY, 0,
                                       timeout=2.0, prefix="bench:")
    asynchronous = redis_engine.AsyncRedisEngine(url, "token_bucket", "active", ROOMY, ROOMY,
                                                 timeout=2.0, prefix="bench:")
    async_sliding = redis_engine.AsyncRedisEngine(url, "sliding_window", "active", ROOMY, 0,
                                                  timeout=2.0, prefix="bench:")
    async_fixed = redis_engine.AsyncRedisEngine(url, "fixed_window", "active", ROOMY, 0,
                                                timeout=2.0, prefix="bench:")
    found = {
        "vorn_async": lambda total: async_rate(asynchronous, total, loop),
        "vorn_async_fixed": lambda total: async_rate(async_fixed, total, loop),
        "vorn_async_sliding": lambda total: async_rate(async_sliding, total, loop),
        "vorn_threads": lambda total: threaded_rate(
            lambda key: blocking.check(key, "/api/items"), total),
        "vorn_sliding_threads": lambda total: threaded_rate(
            lambda key: sliding.check(key, "/api/items"), total),
    }
    try:
        import limits
        from limits import storage, strategies
    except ImportError:
        print("limits is not installed: its rows are left out", file=sys.stderr)
        return found
    store = storage.storage_from_string(url)
    item = limits.RateLimitItemPerMinute(10 ** 12)
    fixed = strategies.FixedWindowRateLimiter(store)
    moving = strategies.MovingWindowRateLimiter(store)
    # The strategies hold the storage only weakly: the closures keep it alive.
    found["limits_fixed_threads"] = lambda total, store=store: threaded_rate(
        lambda key: fixed.hit(item, "fixed", key), total)
    found["limits_moving_threads"] = lambda total, store=store: threaded_rate(
        lambda key: moving.hit(item, "moving", key), total)
    return found


RATIOS = {"vorn_async": "limits_fixed_threads", "vorn_async_fixed": "limits_fixed_threads",
          "vorn_async_sliding": "limits_moving_threads",
          "vorn_threads": "limits_fixed_threads", "vorn_sliding_threads": "limits_moving_threads"}


def memory(url, counts):
    """Bytes of Redis memory per client key, per limiter, after one check per key."""
    import redis

    from vorn import redis_engine

    client = redis.Redis.from_url(url)
    found = {}
    for limiter, keys in counts.items():
        client.flushall()
        # Keys as capacity 100 and refill 10 name them, with a refill slow enough
        # that no key expires while the others are written.
        prefix = redis_engine.Limits(limiter, 100, 10, "vorn:").key_prefix
        args = [*redis_engine.Limits(limiter, 100, 0.001, "vorn:").args, ""]
        script = client.register_script(redis_engine.script_text(limiter))
        script(keys=["warm"], args=args)
        client.delete("warm")
        before = client.info("memory")["used_memory"]
        pipe = client.pipeline(transaction=False)
        for n in range(keys):
            key = f"{(n >> 24) & 255}.{(n >> 16) & 255}.{(n >> 8) & 255}.{n & 255}"
            script(keys=[prefix + key], args=args, client=pipe)
            if n % 2000 == 1999:
                pipe.execute()
        pipe.execute()
        after = client.info("memory")["used_memory"]
        found[limiter] = {"keys": keys, "bytes_per_key": (after - before) / keys}
        print(f"  {limiter:15} {keys:>9,} keys  {found[limiter]['bytes_per_key']:6.1f} B/key",
              file=sys.stderr)
    client.flushall()
    return found


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("url")
    parser.add_argument("build", nargs="?", default=str(REPO / "build"))
    parser.add_argument("--json")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--checks", type=int,
                        default=int(os.environ.get("VORN_REDIS_CHECKS", 12800)))
    parser.add_argument("--memory-keys", type=int,
                        default=int(os.environ.get("VORN_REDIS_MEMORY_KEYS", 1_000_000)))
    args = parser.parse_args()
    sys.path.insert(0, os.environ.get("VORN_PYTHON_PATH", str(pathlib.Path(args.build) / "python")))
    sys.path.insert(0, str(REPO))
    report = {"python": sys.version.split()[0], "rate": {}, "ratio": {}}
    if args.rounds > 0:
        report.update(throughput(args))
    if args.memory_keys > 0:
        small = max(args.memory_keys // 5, 1)
        report["memory"] = memory(args.url, {"token_bucket": args.memory_keys,
                                             "fixed_window": small, "leaky_bucket": small,
                                             "sliding_window": small})
    if args.json:
        pathlib.Path(args.json).write_text(json.dumps(report, indent=1))


def throughput(args):
    loop = asyncio.new_event_loop()
    found = rows(args.url, loop)
    for run in found.values():  # every key exists, every connection is open
        run(len(KEYS))
    samples = {name: [] for name in found}
    for _ in range(args.rounds):
        for name, run in found.items():
            samples[name].append(run(args.checks))
    rate = {name: statistics.median(values) for name, values in samples.items()}
    ratio = {name: statistics.median(samples[peer][i] / samples[name][i]
                                     for i in range(args.rounds))
             for name, peer in RATIOS.items() if peer in samples}
    print(f"python {sys.version.split()[0]}, {args.checks} checks x {args.rounds} rounds, "
          f"{IN_FLIGHT} in flight, checks per second (median)", file=sys.stderr)
    for name in rate:
        suffix = f"   time ours / {RATIOS[name]} {ratio[name]:.2f}" if name in ratio else ""
        print(f"  {name:24} {rate[name]:9.0f}{suffix}", file=sys.stderr)
    return {"rate": rate, "ratio": ratio}


if __name__ == "__main__":
    main()
