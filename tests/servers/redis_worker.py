"""Checks KEYS x ROUNDS requests against one Redis for each limit in LIMITS and
prints the admissions per limit and key as JSON: one of the processes that
test_redis_processes.py runs side by side. Usage: redis_worker.py <redis url>"""
import json
import sys

import redis_support  # noqa: F401  (puts the built vorn on sys.path)
import vorn

LIMITS = [("token_bucket", 5.5, 0.0), ("sliding_window", 7.0, 0.0)]
KEYS, ROUNDS = 4, 10


def main(url):
    admitted = {}
    for algorithm, capacity, rate in LIMITS:
        engine = vorn.create_engine(algorithm, capacity=capacity, refill_rate=rate, redis=url,
                                    redis_timeout=2.0, on_error="deny")
        counts = [0] * KEYS
        for _ in range(ROUNDS):
            for key in range(KEYS):
                counts[key] += engine.check("10.1.0.%d" % key, "/")["allowed"]
        admitted[algorithm] = counts
        if engine.degraded:
            raise SystemExit("Redis failed during the run")
    print(json.dumps(admitted))


if __name__ == "__main__":
    main(sys.argv[1])
