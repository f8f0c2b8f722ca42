"""vorn's demonstration: a real Python WSGI server and a real Node http server
on loopback, each rate-limited by the one native library, and one client that
fires the same scripted burst at both, once per algorithm and once in shadow
mode. Each run prints one line per server: a timeline of the answers, one
character per request, and the totals. Then the same for several worker
processes (gunicorn and a Node cluster, 4 workers each), with an engine per
worker and with one shared-memory zone. The servers are stopped at the end.

Usage: demo.py [BUILD_DIR]   (default: build; the library must be built there)
"""
import collections
import concurrent.futures
import http.client
import json
import re
import shutil
import os
import queue
import signal
import subprocess
import sys
import threading
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

CAPACITY, REFILL = 5, 2
RUNS = [
    {"name": "token_bucket", "algorithm": "token_bucket", "mode": "active",
     "label": "token bucket", "note": "starts with 5 tokens; the pause refills 2"},
    {"name": "sliding_window", "algorithm": "sliding_window", "mode": "active",
     "label": "sliding window", "note": "5 per any 60 s; the pause frees nothing"},
    {"name": "fixed_window", "algorithm": "fixed_window", "mode": "active",
     "label": "fixed window", "note": "5 per 60 s window opened by the first request"},
    {"name": "leaky_bucket", "algorithm": "leaky_bucket", "mode": "active",
     "label": "leaky bucket",
     "note": "admits while the level is below 5; it drains 2 per second, even mid-burst"},
    {"name": "shadow", "algorithm": "token_bucket", "mode": "shadow",
     "label": "token bucket, shadow", "note": "the token bucket's verdicts, but nobody is refused"},
]
for _run in RUNS:
    _run.update(capacity=CAPACITY, refillRate=REFILL)

# Several workers: an engine per worker, then one zone that all workers of a
# server attach (each server its own zone: engines of both hosts on one zone
# would share the client too).
WORKERS, WORKER_REQUESTS, WORKER_CLIENTS = 4, 48, 8
ZONES = {host: "vorn-demo-%d-%s" % (os.getpid(), host) for host in ("python", "node")}
WORKER_RUNS = [
    {"name": "per_worker", "label": "an engine per worker",
     "note": "each worker has its own 5 tokens: the burst gets through once per worker"},
    {"name": "zone", "label": "one zone per server",
     "note": "the workers share the zone's 5 tokens: the burst gets through once"},
]
for _run in WORKER_RUNS:
    _run.update(algorithm="token_bucket", mode="active", capacity=CAPACITY, refillRate=0)

# The burst every run fires: 8 requests at once, a pause, then 4 more.
FIRST_BURST, PAUSE_S, SECOND_BURST = 8, 1.0, 4
ADMITTED, REFUSED, SHADOWED = "#", ".", "~"


def start_server(command, env, name):
    process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               env=env, universal_newlines=True)
    lines = queue.Queue()
    threading.Thread(target=lambda: lines.put(process.stdout.readline()), daemon=True).start()
    try:
        line = lines.get(timeout=20)
    except queue.Empty:
        line = ""
    if not line.startswith("listening "):
        stop_server(process)
        raise SystemExit("the %s server did not start" % name)
    host, port = line.split()[1].rsplit(":", 1)
    return process, host, int(port)


def start_gunicorn(env):
    """gunicorn with WORKERS workers serving demo_server:app; the app (and so each
    run's engine) is loaded before the workers fork (--preload)."""
    command = [shutil.which("gunicorn") or "gunicorn", "--workers", str(WORKERS), "--preload",
               "--bind", "127.0.0.1:0", "--chdir", os.path.join(REPO, "examples"),
               "demo_server:app"]
    process = subprocess.Popen(command, stdin=subprocess.PIPE, stderr=subprocess.PIPE,
                               env=env, universal_newlines=True)
    lines = queue.Queue()

    def read_log():
        for line in process.stderr:
            lines.put(line)

    threading.Thread(target=read_log, daemon=True).start()
    deadline, port, booted = time.monotonic() + 20, None, 0
    while port is None or booted < WORKERS:
        try:
            line = lines.get(timeout=max(0.0, deadline - time.monotonic()))
        except queue.Empty:
            stop_server(process)
            raise SystemExit("gunicorn did not start")
        found = re.search(r"Listening at: http://127\.0\.0\.1:(\d+)", line)
        port = int(found.group(1)) if found else port
        booted += "Booting worker" in line
    return process, "127.0.0.1", port


def stop_server(process):
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def fire(host, port, name):
    """Sends the scripted burst to /<name>/ and returns the timeline."""
    connection = http.client.HTTPConnection(host, port, timeout=10)

    def one():
        connection.request("GET", "/%s/items" % name)
        response = connection.getresponse()
        response.read()
        if response.getheader("Connection", "").lower() == "close" or response.version == 10:
            connection.close()
        if response.status == 429:
            return REFUSED
        if response.status != 200:
            raise RuntimeError("unexpected answer %d" % response.status)
        return SHADOWED if response.getheader("X-Would-Block") == "1" else ADMITTED

    marks = "".join(one() for _ in range(FIRST_BURST))
    time.sleep(PAUSE_S)
    marks += " " + "".join(one() for _ in range(SECOND_BURST))
    connection.close()
    return marks


def fire_at_workers(host, port, name):
    """WORKER_REQUESTS requests to /<name>/, WORKER_CLIENTS at a time, each on a new
    connection so that the workers share them. Returns the timeline and how many
    each worker admitted."""

    def one(_):
        connection = http.client.HTTPConnection(host, port, timeout=10)
        try:
            connection.request("GET", "/%s/items" % name, headers={"Connection": "close"})
            response = connection.getresponse()
            response.read()
        finally:
            connection.close()
        if response.status not in (200, 429):
            raise RuntimeError("unexpected answer %d" % response.status)
        return response.status, response.getheader("X-Worker-Pid")

    with concurrent.futures.ThreadPoolExecutor(WORKER_CLIENTS) as pool:
        answers = list(pool.map(one, range(WORKER_REQUESTS)))
    marks = "".join(ADMITTED if status == 200 else REFUSED for status, _ in answers)
    by_worker = collections.Counter(pid for status, pid in answers if status == 200)
    return marks, sorted(by_worker.values(), reverse=True)


def worker_runs_json(host):
    return json.dumps([dict(run, zone=ZONES[host]) if run["name"] == "zone" else run
                       for run in WORKER_RUNS])


def workers_demo(env):
    servers = []
    try:
        servers.append(("Python gunicorn",) + start_gunicorn(
            dict(env, VORN_DEMO_RUNS=worker_runs_json("python"))))
        servers.append(("Node cluster",) + start_server(
            ["node", os.path.join(REPO, "examples", "demo_server.js"), worker_runs_json("node"),
             str(WORKERS)], env, "Node cluster"))
        print("\nSeveral worker processes: gunicorn with %d workers and a Node cluster of %d, "
              "on loopback." % (WORKERS, WORKERS))
        print("Each run: %d requests, %d at a time, each on a new connection; capacity %d, "
              "no refill.\n" % (WORKER_REQUESTS, WORKER_CLIENTS, CAPACITY))
        for run in WORKER_RUNS:
            for index, (label, _, host, port) in enumerate(servers):
                marks, by_worker = fire_at_workers(host, port, run["name"])
                print("%-22s %-16s %s  %2d admitted (by worker: %s)" % (
                    run["label"] if index == 0 else "", label, marks, marks.count(ADMITTED),
                    " ".join(map(str, by_worker)) or "none"))
            print("%-22s %s" % ("", run["note"]))
    finally:
        for _, process, _, _ in servers:
            stop_server(process)
        sys.path[:0] = [env["VORN_PYTHON_PATH"], REPO]
        import vorn

        for zone in ZONES.values():
            vorn.remove_zone(zone)


def main():
    build_dir = os.path.abspath(os.path.join(REPO, sys.argv[1] if len(sys.argv) > 1 else "build"))
    env = dict(os.environ, VORN_PYTHON_PATH=os.path.join(build_dir, "python"),
               VORN_NODE_ADDON=os.path.join(build_dir, "node", "vorn_native.node"))
    runs_json = json.dumps(RUNS)
    # Stopped from outside, still stop the servers (they also exit when our pipes close).
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    servers = []
    try:
        servers.append(("Python WSGI",) + start_server(
            [sys.executable, os.path.join(REPO, "examples", "demo_server.py"), runs_json],
            env, "Python"))
        servers.append(("Node http",) + start_server(
            ["node", os.path.join(REPO, "examples", "demo_server.js"), runs_json], env, "Node"))
        print("vorn demo: one client, two real servers on loopback, each limited by vorn.")
        print("  " + "   ".join("%s on %s:%d" % (label, host, port)
                                for label, _, host, port in servers))
        print("Each run: %d requests at once, a %.0f s pause, %d more; capacity %d, "
              "refill %d per second." % (FIRST_BURST, PAUSE_S, SECOND_BURST, CAPACITY, REFILL))
        print("  %s admitted (200)   %s refused (429)   %s let through by shadow mode, "
              "would have been refused\n" % (ADMITTED, REFUSED, SHADOWED))
        totals = {"admitted": 0, "refused": 0}
        for run in RUNS:
            timelines = {}

            def fire_at(label, host, port, run=run, timelines=timelines):
                timelines[label] = fire(host, port, run["name"])

            threads = [threading.Thread(target=fire_at, args=(label, host, port), daemon=True)
                       for label, _, host, port in servers]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join()
            for index, (label, _, _, _) in enumerate(servers):
                marks = timelines.get(label)
                if marks is None:
                    raise SystemExit("the %s server did not answer" % label)
                admitted = marks.count(ADMITTED) + marks.count(SHADOWED)
                refused = marks.count(REFUSED)
                totals["admitted"] += admitted
                totals["refused"] += refused
                print("%-22s %-12s %s   %2d admitted, %2d refused" % (
                    run["label"] if index == 0 else "", label, marks, admitted, refused))
            print("%-22s %s" % ("", run["note"]))
        print("\n%d requests: %d admitted, %d refused." % (
            totals["admitted"] + totals["refused"], totals["admitted"], totals["refused"]))
    finally:
        for _, process, _, _ in servers:
            stop_server(process)
    workers_demo(env)


if __name__ == "__main__":
    main()
