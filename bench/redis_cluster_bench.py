#!/usr/bin/python3
"""Checks per second of the Redis engines of both hosts on a Redis Cluster of
three primaries against one redis-server, both started here on loopback (no
persistence) and stopped after.

Usage: /usr/bin/python3 bench/redis_cluster_bench.py [builddir] [--json FILE]
           [--rounds N] [--checks N]

Rows (4,096 client keys in rotation, token bucket, every check admitted, 64
checks in flight): RedisEngine.check from 64 threads, AsyncRedisEngine.check
from 64 asyncio tasks, and the Node engine's checkRequest (bench/
redis_cluster_bench.js), each on one Redis and on the cluster. Rounds alternate
over the rows; each figure is the median checks per second, and each ratio the
median of the per-round ratios cluster / one Redis.
"""
import argparse
import asyncio
import json
import os
import pathlib
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

REPO = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from redis_python_bench import KEYS, ROOMY, async_rate, threaded_rate  # noqa: E402


def free_port():
    # Below 55536, so that a cluster node's bus port (10,000 above) exists too.
    for port in range(21000 + os.getpid() % 3000, 55000):
        try:
            for candidate in (port, port + 10000):
                with socket.socket() as probe:
                    probe.bind(("127.0.0.1", candidate))
            return port
        except OSError:
            continue
    raise RuntimeError("no free port")


def start(directory, port, *args):
    process = subprocess.Popen(["redis-server", "--port", str(port), "--bind", "127.0.0.1",
                                "--save", "", "--appendonly", "no", *args], cwd=directory,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for _ in range(500):
        if subprocess.run(["redis-cli", "-p", str(port), "ping"],
                          capture_output=True).returncode == 0:
            return process
        time.sleep(0.02)
    raise RuntimeError("redis-server did not start on %d" % port)


def servers(directory):
    """(processes, one Redis's URL, the cluster's URL)."""
    single = free_port()
    processes = [start(directory, single)]
    ports = []
    for _ in range(3):
        ports.append(free_port())
        processes.append(start(directory, ports[-1], "--cluster-enabled", "yes",
                               "--cluster-config-file", "nodes-%d.conf" % ports[-1]))
    subprocess.run(["redis-cli", "--cluster", "create",
                    *("127.0.0.1:%d" % port for port in ports), "--cluster-yes"],
                   capture_output=True, check=True, timeout=60)
    for port in ports:
        while b"cluster_state:ok" not in subprocess.run(
                ["redis-cli", "-p", str(port), "cluster", "info"], capture_output=True).stdout:
            time.sleep(0.05)
    return (processes, "redis://127.0.0.1:%d/0" % single,
            "redis+cluster://" + ",".join("127.0.0.1:%d" % port for port in ports))


def python_rows(urls, loop):
    from vorn import redis_engine

    found = {}
    for where, url in urls.items():
        blocking = redis_engine.RedisEngine(url, "token_bucket", "active", ROOMY, ROOMY,
                                            timeout=2.0, prefix="bench:")
        asynchronous = redis_engine.AsyncRedisEngine(url, "token_bucket", "active", ROOMY,
                                                     ROOMY, timeout=2.0, prefix="bench:")
        found["python_threads_" + where] = lambda total, engine=blocking: threaded_rate(
            lambda key: engine.check(key, "/api/items"), total)
        found["python_async_" + where] = lambda total, engine=asynchronous: async_rate(
            engine, total, loop)
    return found


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build", nargs="?", default=str(REPO / "build"))
    parser.add_argument("--json")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--checks", type=int,
                        default=int(os.environ.get("VORN_REDIS_CHECKS", 12800)))
    args = parser.parse_args()
    sys.path.insert(0, os.environ.get("VORN_PYTHON_PATH", str(pathlib.Path(args.build) / "python")))
    sys.path.insert(0, str(REPO))
    directory = tempfile.mkdtemp(prefix="vorn-cluster-bench-")
    processes, single, cluster = servers(directory)
    try:
        loop = asyncio.new_event_loop()
        found = python_rows({"single": single, "cluster": cluster}, loop)
        for run in found.values():  # every key exists, every connection is open
            run(len(KEYS))
        samples = {name: [] for name in found}
        for _ in range(args.rounds):
            for name, run in found.items():
                samples[name].append(run(args.checks))
        node = json.loads(subprocess.run(
            ["node", str(REPO / "bench" / "redis_cluster_bench.js"), single, cluster, args.build,
             "--rounds", str(args.rounds)], capture_output=True, text=True, check=True,
            timeout=600).stdout)
    finally:
        for process in processes:
            process.kill()
            process.wait()
        shutil.rmtree(directory, ignore_errors=True)
    rate = {name: statistics.median(values) for name, values in samples.items()}
    ratio = {name[:-len("_cluster")]: statistics.median(
        samples[name][i] / samples[name[:-len("cluster")] + "single"][i]
        for i in range(args.rounds)) for name in samples if name.endswith("_cluster")}
    rate.update(node["rate"])
    ratio.update(node["ratio"])
    print(f"python {sys.version.split()[0]}, node {node['node']}, 64 in flight, checks per "
          "second (median), cluster of three primaries / one Redis", file=sys.stderr)
    for name in rate:
        host = name[:-len("_cluster")] if name.endswith("_cluster") else None
        suffix = f"   cluster / one Redis {ratio[host]:.2f}" if host in ratio else ""
        print(f"  {name:24} {rate[name]:9.0f}{suffix}", file=sys.stderr)
    if args.json:
        pathlib.Path(args.json).write_text(json.dumps(
            {"python": sys.version.split()[0], "node": node["node"], "rate": rate,
             "ratio": ratio}, indent=1))


if __name__ == "__main__":
    main()
