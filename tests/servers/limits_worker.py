"""Spends clients' allowances of LIMIT on one shared store, half the requests
weighing 2, and prints the units admitted per algorithm and client as JSON: one
of the processes test_limits_processes.py runs side by side. With "look", checks
each client once at cost 0 and prints whether it would pass.
Usage: limits_worker.py (zone <name> <dir> | redis <url>) [look]"""
import json
import sys

import redis_support  # noqa: F401  (puts the built vorn on sys.path)
import vorn

LIMIT = "300/minute; 1000/hour"
ALGORITHMS = ["sliding_window", "fixed_window"]
# One process alone asks for less than the allowance; four together for more.
KEYS, ROUNDS = 3, 150


def make_engine(algorithm, args):
    if args[0] == "zone":
        return vorn.create_engine(algorithm, limit=LIMIT, zone=args[1], zone_dir=args[2],
                                  on_error="deny")
    return vorn.create_engine(algorithm, limit=LIMIT, redis=args[1], redis_timeout=2.0,
                              on_error="deny")


def main(args):
    looking = args[-1] == "look"
    report = {}
    for algorithm in ALGORITHMS:
        engine = make_engine(algorithm, args[:-1] if looking else args)
        if looking:
            report[algorithm] = [engine.check_limits("10.2.0.%d" % key, "/", cost=0)["allowed"]
                                 for key in range(KEYS)]
            continue
        spent = [0] * KEYS
        # Cost-1 requests close the run, so the last unit of each allowance is spent too.
        costs = [1 + (i % 2) for i in range(ROUNDS)] + [1] * 5
        for cost in costs:
            for key in range(KEYS):
                if engine.check_limits("10.2.0.%d" % key, "/", cost=cost)["allowed"]:
                    spent[key] += cost
        report[algorithm] = spent
        if engine.degraded:
            raise SystemExit("the store failed during the run")
    print(json.dumps(report))


if __name__ == "__main__":
    main(sys.argv[1:])
