"""One limit across worker processes: gunicorn with 4 workers (also with
--preload, and with a worker killed and replaced mid-run) and a Python + Node
pair, each on a shared-memory zone, against real servers on loopback. Without a
zone every worker admits its own allowance.

Runs under Debian's python3 with VORN_PYTHON_PATH (the built module's directory;
the addon is taken from the same build, or from VORN_NODE_ADDON); each test
removes its zone."""
import concurrent.futures
import http.client
import json
import os
import re
import signal
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
LIBRARY_DIR = os.environ.get("VORN_PYTHON_PATH", os.path.join(REPO, "build", "python"))
# The build puts the addon beside the Python module's directory.
ADDON = os.environ.get("VORN_NODE_ADDON",
                       os.path.join(os.path.dirname(LIBRARY_DIR), "node", "vorn_native.node"))
sys.path.insert(0, LIBRARY_DIR)
sys.path.insert(0, REPO)

import vorn  # noqa: E402

CAPACITY, REQUESTS, CLIENTS = 50, 200, 4
START_TIMEOUT_S = 30


def get(port, path="/items"):
    """One request on a new connection: (status, answering worker's pid)."""
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    try:
        connection.request("GET", path, headers={"Connection": "close"})
        response = connection.getresponse()
        response.read()
        return response.status, response.getheader("X-Worker-Pid")
    finally:
        connection.close()


def burst(ports):
    """REQUESTS requests from CLIENTS concurrent clients, cycling through `ports`."""
    with concurrent.futures.ThreadPoolExecutor(CLIENTS) as pool:
        return list(pool.map(lambda i: get(ports[i % len(ports)]), range(REQUESTS)))


def admitted(answers):
    statuses = [status for status, _ in answers]
    unexpected = set(statuses) - {200, 429}
    if unexpected:
        raise AssertionError("unexpected statuses %s" % sorted(unexpected))
    return statuses.count(200)


class Server:
    """A server process whose log goes to a file; stopped (and reaped) by stop()."""

    def __init__(self, command, env, ready):
        self.log = tempfile.TemporaryFile(mode="w+")
        self.process = subprocess.Popen(command, env=env, stdin=subprocess.PIPE,
                                        stdout=self.log, stderr=subprocess.STDOUT,
                                        universal_newlines=True)
        deadline = time.monotonic() + START_TIMEOUT_S
        while True:
            self.log.seek(0)
            text = self.log.read()
            self.port = ready(text)
            if self.port is not None:
                return
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise AssertionError("server did not start:\n" + text)
            time.sleep(0.05)

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process.stdin.close()
        self.log.close()


def start_gunicorn(test, zone, workers=4, preload=False):
    env = dict(os.environ, VORN_PYTHON_PATH=LIBRARY_DIR, VORN_TEST_ZONE=zone or "",
               VORN_TEST_CAPACITY=str(CAPACITY))

    def ready(log):
        port = re.search(r"Listening at: http://127\.0\.0\.1:(\d+)", log)
        booted = log.count("Booting worker")
        return int(port.group(1)) if port and booted >= workers else None

    server = Server([sys.executable, "-m", "gunicorn", "--workers", str(workers),
                     "--bind", "127.0.0.1:0", "--chdir", HERE, "--log-level", "info"]
                    + (["--preload"] if preload else []) + ["zone_wsgi_app:app"], env, ready)
    test.addCleanup(server.stop)
    server.pids = set()
    wait_for_workers(test, server, lambda pids: len(pids) == workers)
    return server


def wait_for_workers(test, server, enough):
    """Adds the pids of workers that have loaded the application to server.pids
    until enough(pids): concurrent held calls to /pid land on different workers."""
    deadline = time.monotonic() + START_TIMEOUT_S
    with concurrent.futures.ThreadPoolExecutor(CLIENTS) as pool:
        while not enough(server.pids) and time.monotonic() < deadline:
            server.pids.update(pid for _, pid in pool.map(lambda _: get(server.port, "/pid"),
                                                          range(CLIENTS)))
    test.assertTrue(enough(server.pids), "workers that answered: %s" % sorted(server.pids))


def start_node_cluster(test, zone, workers=4):
    config = {"capacity": CAPACITY, "refillRate": 0}
    if zone:
        config["zone"] = zone
    env = dict(os.environ, VORN_NODE_ADDON=ADDON, VORN_TEST_CONFIG=json.dumps(config))

    def ready(log):
        port = re.search(r"^listening (\d+)$", log, re.M)
        return int(port.group(1)) if port else None

    server = Server(["node", os.path.join(HERE, "zone_http_cluster.js"), str(workers)],
                    env, ready)
    test.addCleanup(server.stop)
    return server


class WorkerProcessesTest(unittest.TestCase):
    def zone(self, label):
        name = "vorn-test-%d-%s" % (os.getpid(), label)
        vorn.remove_zone(name)
        self.addCleanup(vorn.remove_zone, name)
        return name

    def assert_shared_limit(self, answers, zone):
        self.assertEqual(admitted(answers), CAPACITY)
        self.assertEqual(vorn.zone_stats(zone)["keys"], 1)

    def test_gunicorn_workers_share_one_limit_on_a_zone(self):
        for preload in (False, True):
            with self.subTest(preload=preload):
                zone = self.zone("gunicorn-%s" % preload)
                server = start_gunicorn(self, zone, preload=preload)
                answers = burst([server.port])
                self.assertGreater(len({pid for _, pid in answers}), 1)
                self.assert_shared_limit(answers, zone)

    def test_a_killed_worker_and_its_replacement_change_nothing_for_the_others(self):
        zone = self.zone("killed")
        server = start_gunicorn(self, zone)
        before = [get(server.port) for _ in range(20)]
        self.assertEqual(admitted(before), 20)
        os.kill(int(before[-1][1]), signal.SIGKILL)
        original = set(server.pids)
        wait_for_workers(self, server, lambda pids: pids - original)  # gunicorn replaced it
        self.assertEqual(admitted(burst([server.port])), CAPACITY - 20)

    def test_gunicorn_workers_without_a_zone_over_admit(self):
        server = start_gunicorn(self, None)
        answers = burst([server.port])
        self.assertGreater(len({pid for _, pid in answers}), 1)
        self.assertGreater(admitted(answers), CAPACITY)

    def test_python_and_node_workers_share_one_zone(self):
        zone = self.zone("mixed")
        python = start_gunicorn(self, zone, workers=1)
        node = start_node_cluster(self, zone, workers=1)
        answers = burst([python.port, node.port])
        by_server = [answers[0::2], answers[1::2]]
        for label, half in zip(("python", "node"), by_server):
            self.assertGreater(admitted(half), 0, label)
        self.assert_shared_limit(answers, zone)


if __name__ == "__main__":
    unittest.main()
