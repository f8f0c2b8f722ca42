"""One of the processes that test_redis_rates_processes.py runs side by side on
one Redis: an engine of RATES, driven by JSON lines on stdin, answering each
with one JSON line on stdout (rates_worker.js is its Node twin).

  {"op": "burst", "key": K, "requests": N}  N checks, costs 1 and 2 in turn:
                                            {"admitted": total cost admitted}
  {"op": "check", "key": K, "cost": C}      {"allowed": ..., "remaining": ...}
  {"op": "reset", "key": K}                 {}

Usage: rates_worker.py <redis url>"""
import json
import sys

import redis_support  # noqa: F401  (puts the built vorn on sys.path)
from vorn.redis_engine import RedisEngine

ALGORITHM = "sliding_window"
RATES = [(300, 60_000), (1000, 3_600_000)]


def main(url):
    engine = RedisEngine(url, ALGORITHM, rates=RATES, timeout=2.0, on_error="deny")
    print(json.dumps({"ready": True}), flush=True)
    for line in sys.stdin:
        order = json.loads(line)
        if order["op"] == "burst":
            admitted = 0
            for n in range(order["requests"]):
                cost = 1 + n % 2
                if engine.check_limits(order["key"], "/", cost=cost)["allowed"]:
                    admitted += cost
            answer = {"admitted": admitted}
        elif order["op"] == "check":
            result = engine.check_limits(order["key"], "/", cost=order["cost"])
            answer = {"allowed": result["allowed"], "remaining": result["remaining"]}
        else:
            engine.reset(order["key"])
            answer = {}
        if engine.degraded:
            raise SystemExit("Redis failed during the run")
        print(json.dumps(answer), flush=True)


if __name__ == "__main__":
    main(sys.argv[1])
