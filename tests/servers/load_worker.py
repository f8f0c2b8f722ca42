"""One of the processes the Redis scale tests run side by side (startup, cluster,
Sentinel, TLS). Usage: load_worker.py <blocking|asyncio> <redis url> <timeout ms>

Each line read from stdin is a run, as JSON: {"keys": [...], "rounds": n,
"pause_ms": p}; each key is checked once a round (all at once on asyncio), and
the answer is one JSON line: {"admitted": {key: n}, "max_ms": slowest check,
"degraded": at the end, "warnings": [log lines]}. The engine (token bucket, 300
requests and no refill, on_error local) is made when the first run arrives, and
checks at once."""
import asyncio
import json
import logging
import sys
import time

import redis_support  # noqa: F401  (puts the built vorn on sys.path)
import vorn


class Lines(logging.Handler):
    def __init__(self):
        super().__init__(logging.WARNING)
        self.lines = []

    def emit(self, record):
        self.lines.append(record.getMessage())


def make_engine(kind, url, timeout_ms):
    make = vorn.create_async_engine if kind == "asyncio" else vorn.create_engine
    return make(capacity=300, refill_rate=0, redis=url, redis_timeout=timeout_ms / 1000)


async def timed(call):
    started = time.monotonic()
    result = await call if asyncio.iscoroutine(call) else call
    return result["allowed"], (time.monotonic() - started) * 1000


async def run(kind, engine, order):
    admitted = {key: 0 for key in order["keys"]}
    slowest = 0.0
    for _ in range(order["rounds"]):
        if kind == "asyncio":
            answers = await asyncio.gather(*(timed(engine.check(key, "/")) for key in admitted))
        else:
            answers = [await timed(engine.check(key, "/")) for key in admitted]
        for key, (allowed, ms) in zip(admitted, answers):
            admitted[key] += allowed
            slowest = max(slowest, ms)
        if order.get("pause_ms"):
            await asyncio.sleep(order["pause_ms"] / 1000)
    return admitted, slowest


async def main(kind, url, timeout_ms):
    lines = Lines()
    logging.getLogger("vorn.redis").addHandler(lines)
    engine = None
    loop = asyncio.get_running_loop()
    while True:
        line = await loop.run_in_executor(None, sys.stdin.readline)
        if not line:
            break
        if engine is None:
            engine = make_engine(kind, url, timeout_ms)
        admitted, slowest = await run(kind, engine, json.loads(line))
        print(json.dumps({"admitted": admitted, "max_ms": slowest, "degraded": engine.degraded,
                          "warnings": lines.lines}), flush=True)
        lines.lines = []
    if engine is not None:
        closed = engine.close()
        if asyncio.iscoroutine(closed):
            await closed


if __name__ == "__main__":
    asyncio.run(main(sys.argv[1], sys.argv[2], float(sys.argv[3])))
