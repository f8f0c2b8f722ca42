"""What the Redis server tests share: a throwaway redis-server on a free
loopback port, the limiter case table, and the built vorn on sys.path
(VORN_PYTHON_PATH, default <repo>/build/python, and the repository's vorn)."""
import os
import shutil
import signal
import socket
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
LIBRARY_DIR = os.environ.get("VORN_PYTHON_PATH", os.path.join(REPO, "build", "python"))
ADDON = os.environ.get("VORN_NODE_ADDON", os.path.join(REPO, "build", "node", "vorn_native.node"))
CASES_FILE = os.path.join(REPO, "tests", "limiter_cases.txt")
CASES_BASE_MS = 1_700_000_000_000
for path in (REPO, LIBRARY_DIR):
    if path not in sys.path:
        sys.path.insert(0, path)

HAVE_REDIS_SERVER = shutil.which("redis-server") is not None


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class RedisServer:
    """One redis-server without persistence on 127.0.0.1; start() waits until it
    answers, kill() takes it down hard (SIGKILL), start() again brings it back on
    the same port."""

    def __init__(self, *extra_args):
        self.port = free_port()
        self.extra_args = extra_args
        self.process = None

    @property
    def url(self):
        return "redis://127.0.0.1:%d/0" % self.port

    def start(self):
        self.process = subprocess.Popen(
            ["redis-server", "--port", str(self.port), "--bind", "127.0.0.1", "--save", "",
             "--appendonly", "no", *self.extra_args],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=0.2).close()
                return self
            except OSError:
                time.sleep(0.02)
        self.kill()
        raise RuntimeError("redis-server did not start on port %d" % self.port)

    def kill(self):
        if self.process is not None and self.process.poll() is None:
            self.process.send_signal(signal.SIGKILL)
            self.process.wait()
        self.process = None

    def client(self, **options):
        import redis

        return redis.Redis(host="127.0.0.1", port=self.port, **options)


def read_cases():
    """[(algorithm, capacity, refill_rate, [(at_ms, key, reason, remaining, message)])]"""
    cases = []
    with open(CASES_FILE, encoding="utf-8") as table:
        for line in table:
            line = line.rstrip("\n")
            if not line or line.startswith("#"):
                continue
            if line.startswith("case "):
                _, algorithm, capacity, rate = line.split()
                cases.append((algorithm, float(capacity), float(rate), []))
                continue
            at, key, reason, remaining, message = line.split(" ", 4)
            cases[-1][3].append((int(at), key, reason, int(remaining), message))
    return cases
