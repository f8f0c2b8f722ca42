#!/usr/bin/python3
"""Prints the one table of scripts/bench.sh from the JSON files the benchmarks wrote.

Usage: report.py RESULTS_DIR   (holding core.json, python.json, node.json)
"""
import json
import pathlib
import platform
import subprocess
import sys

ALGORITHMS = ["token bucket", "sliding window", "fixed window", "leaky bucket"]


def load(directory, name):
    path = directory / name
    return json.loads(path.read_text()) if path.exists() else None


def verdict(value, target):
    if value is None or target is None:
        return "", ""
    return f"<= {target:g}", "PASS" if value <= target else "MISS"


def core_rows(core):
    medians = {b["run_name"]: b for b in core["benchmarks"]
               if b.get("aggregate_name") == "median"}
    for index, algorithm in enumerate(ALGORITHMS):
        for keys, label in ((4096, "hot key (4,096 keys)"), (1_000_000, "cold key (1,000,000 keys)")):
            bench = medians.get(f"BM_EngineCheck/{index}/{keys}")
            if bench:
                target = 150 if (index, keys) == (0, 4096) else None
                yield ("C++", f"engine check, {algorithm}, {label}", f"{bench['cpu_time']:.0f} ns",
                       bench["cpu_time"], target)
    norefill = medians.get("BM_EngineCheckReturning/0")
    refill = medians.get("BM_EngineCheckReturning/1")
    if norefill and refill:
        yield ("C++", "engine check, token bucket, 4,096 keys, no refill",
               f"{norefill['cpu_time']:.0f} ns", None, None)
        ratio = refill["cpu_time"] / norefill["cpu_time"]
        yield ("C++", "engine check, token bucket, 4,096 keys, refill between visits",
               f"{refill['cpu_time']:.0f} ns  refill / no refill = {ratio:.2f}", ratio, 1.1)
    existing = medians.get("BM_ExistingKey/0")
    new_key = medians.get("BM_NewKeyWithRoom")
    if existing and new_key:
        ratio = new_key["cpu_time"] / existing["cpu_time"]
        yield ("C++", "token bucket check, new key into a table with room (about 4,096 keys held)",
               f"{new_key['cpu_time']:.0f} ns  this / existing key ({existing['cpu_time']:.0f} ns)"
               f" = {ratio:.2f}", ratio, 3.0)
    for index, algorithm in enumerate(ALGORITHMS):
        bench = medians.get(f"BM_BytesPerKey/{index}/iterations:1")
        if bench:
            target = 120 if index == 1 else 80
            yield ("C++", f"resident bytes per key, {algorithm} (1,000,000 IPv4 keys)",
                   f"{bench['bytes_per_key']:.1f} B", bench["bytes_per_key"], target)


def reclaim_rows(memory):
    for bench in memory["benchmarks"]:
        if not bench["name"].startswith("BM_OneOffClientsResident/"):
            continue
        clients = int(bench["name"].split("/")[2])
        reclaiming = bench["name"].split("/")[1] == "1"
        what = (f"process resident memory after {clients:,} one-off clients, "
                f"{'reclaiming' if reclaiming else 'keeping every key'} "
                f"({bench['keys_held']:,.0f} keys held)")
        yield ("C++", what, f"{bench['process_MiB']:.1f} MiB", bench["process_MiB"],
               64 if reclaiming else None)


PYTHON_ROWS = [
    ("check", "RustEngine.check", None),
    ("dict_bucket", "plain-Python dict token bucket", 0.9),
    ("limits_fixed", "limits FixedWindowRateLimiter.hit", 0.3),
    ("limits_moving", "limits MovingWindowRateLimiter.hit", None),
    ("floor", "native floor (c): plain limited-API method", 1.4),
    ("floor_vectorcall", "native floor with check's own shortcuts (info)", None),
]

NODE_ROWS = [
    ("checkRequest", "checkRequest, admitted", None),
    ("checkRequest_refused", "checkRequest, refused", None),
    ("rlf_allow", "rate-limiter-flexible consume, admitted (awaited)", 1.0),
    ("rlf_refuse", "rate-limiter-flexible consume, refused (awaited)", 0.3),
    ("erl_increment", "express-rate-limit MemoryStore.increment (awaited)", None),
    ("limiter_bucket", "limiter TokenBucket per key", None),
    ("map_bucket", "plain-JS Map token bucket", 3.0),
    ("napi_floor", "Node-API floor (e): 3 arguments, 5-property object", None),
]


PYTHON_RETURNING = ("check", "check_4096_norefill", "check_4096_refill", [
    ("dict_bucket_4096", "plain-Python dict token bucket, 4,096 keys", 0.5),
    ("limits_fixed_4096", "limits FixedWindowRateLimiter.hit, 4,096 keys", 0.25),
])

NODE_RETURNING = ("checkRequest", "checkRequest_4096_norefill", "checkRequest_4096_refill", [
    ("rlf_allow_4096", "rate-limiter-flexible consume, admitted, 4,096 keys", 0.8),
    ("map_bucket_4096", "plain-JS Map token bucket, 4,096 keys", 3.0),
])


def returning_rows(host, result, rows):
    """The 4,096-key rows: both refill configurations, each against the peers."""
    subject, norefill, refill, peers = rows
    ns, ratio = result["ns"], result["ratio"]
    if norefill not in ns or refill not in ns:
        return
    yield (host, f"{subject}, 4,096 keys, no refill", f"{ns[norefill]:.0f} ns", None, None)
    between = ratio.get(f"{refill}/{norefill}")
    yield (host, f"{subject}, 4,096 keys, refill between visits",
           f"{ns[refill]:.0f} ns  refill / no refill = {between:.2f}", between, 1.1)
    for key, label, target in peers:
        if key not in ns:
            continue
        worse = max(ratio[f"{norefill}/{key}"], ratio[f"{refill}/{key}"])
        yield (host, label, f"{ns[key]:.0f} ns  no refill / this = {ratio[f'{norefill}/{key}']:.2f},"
               f" refill / this = {ratio[f'{refill}/{key}']:.2f}", worse, target)


def host_rows(host, result, rows, subject):
    for key, label, target in rows:
        if key not in result["ns"]:
            continue
        ratio = result["ratio"].get(key)
        ratio_text = f"{subject} / this = {ratio:.2f}" if ratio is not None else ""
        yield (host, label, f"{result['ns'][key]:.0f} ns  {ratio_text}".rstrip(), ratio, target)


def cpu_model():
    try:
        for line in subprocess.run(["lscpu"], capture_output=True, text=True).stdout.splitlines():
            if line.startswith("Model name:"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def main():
    directory = pathlib.Path(sys.argv[1])
    rows = []
    core = load(directory, "core.json")
    if core:
        rows += core_rows(core)
    memory = load(directory, "core_memory.json")
    if memory:
        rows += reclaim_rows(memory)
    python = load(directory, "python.json")
    if python:
        rows += host_rows(f"Python {python['python']}", python, PYTHON_ROWS, "check")
        rows += returning_rows(f"Python {python['python']}", python, PYTHON_RETURNING)
    node = load(directory, "node.json")
    if node:
        rows += host_rows(f"Node {node['node']}", node, NODE_ROWS, "checkRequest")
        rows += returning_rows(f"Node {node['node']}", node, NODE_RETURNING)

    print(f"Machine: {cpu_model()}, {__import__('os').cpu_count()} cores. "
          "Medians over repeated rounds; ratios from the same run.")
    print()
    print("| host | measure | median | target | |")
    print("|---|---|---|---|---|")
    for host, label, figure, value, target in rows:
        target_text, result = verdict(value, target)
        print(f"| {host} | {label} | {figure} | {target_text} | {result} |")


if __name__ == "__main__":
    main()
