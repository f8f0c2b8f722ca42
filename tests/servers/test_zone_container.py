"""A zone in a container's /dev/shm: gunicorn with 4 gthread workers, in a
private mount namespace whose /dev/shm is a 64 MiB tmpfs (as Docker gives a
container), serves 200,000 distinct clients on one zone of the default size;
then the zone's file is truncated and later removed under load, and the
workers must live through both, answer only 200 or 429 meanwhile, and be back
on one shared zone within 5 s each time.

Needs root (for the namespace and the mount) and skips without it. Runs under
Debian's python3 with VORN_PYTHON_PATH (the built module's directory)."""
import collections
import itertools
import json
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
LIBRARY_DIR = os.environ.get("VORN_PYTHON_PATH", os.path.join(REPO, "build", "python"))

WORKERS = 4
CAPACITY = 10
CLIENTS = 200_000
LOAD_CONNECTIONS = 16
ZONE = "container"
BACK_WITHIN_S = 5
START_TIMEOUT_S = 30
# The mount is made inside the namespace, so it vanishes with the server.
IN_CONTAINER = ["unshare", "--mount", "--propagation", "private", "sh", "-c",
                'mount -t tmpfs -o size=64m tmpfs /dev/shm && exec "$@"', "sh"]


def namespace_unavailable():
    """Why this machine cannot make the namespace, or None when it can."""
    if os.geteuid() != 0:
        return "needs root to make a mount namespace with its own /dev/shm"
    try:
        made = subprocess.run(IN_CONTAINER + ["true"], stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, universal_newlines=True, timeout=30)
    except OSError as error:
        return "cannot run unshare: %s" % error
    if made.returncode != 0:
        return "unshare or mount failed here: %s" % made.stdout.strip()
    return None


class Connection:
    """One keep-alive HTTP/1.1 connection, one request at a time (never
    pipelined). A closed connection, or an answer without Content-Length,
    raises ConnectionError."""

    def __init__(self, port):
        self.socket = socket.create_connection(("127.0.0.1", port), timeout=10)
        self.socket.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.pending = b""

    def get(self, path, client=None):
        """(status, head, body) of one GET, as X-Client `client` when given."""
        request = b"GET " + path.encode() + b" HTTP/1.1\r\nHost: loopback\r\n"
        if client is not None:
            request += b"X-Client: " + client.encode() + b"\r\n"
        self.socket.sendall(request + b"\r\n")
        data = self.pending
        while b"\r\n\r\n" not in data:
            data += self._receive()
        head, _, body = data.partition(b"\r\n\r\n")
        length = re.search(rb"\r\ncontent-length: *(\d+)", head, re.I)
        if length is None:
            raise ConnectionError("an answer without Content-Length: %r" % head)
        size = int(length.group(1))
        while len(body) < size:
            body += self._receive()
        self.pending = body[size:]
        return int(head[9:12]), head, body[:size]

    def state(self):
        """What the worker on the other end sees of the zone (/state)."""
        return json.loads(self.get("/state")[2])

    def _receive(self):
        chunk = self.socket.recv(65536)
        if not chunk:
            raise ConnectionError("the server closed the connection")
        return chunk

    def close(self):
        self.socket.close()


class Load:
    """Threads that each send requests as new clients on their own connection,
    from `first` on, until `count` are sent (or until stop() without a count).
    Every status is counted; a connection error ends that thread's run and is
    kept in `errors`."""

    def __init__(self, port, first, count=None, connections=LOAD_CONNECTIONS):
        self.statuses = collections.Counter()
        self.errors = []
        # One step of either iterator is one C call: atomic under the GIL.
        self._clients = iter(range(first, first + count)) if count else itertools.count(first)
        self._answered = [0] * connections  # each thread writes its own slot
        self._stopping = threading.Event()
        self._lock = threading.Lock()
        self._threads = [threading.Thread(target=self._run, args=(port, slot))
                         for slot in range(connections)]
        for thread in self._threads:
            thread.start()

    def _run(self, port, slot):
        statuses = collections.Counter()
        try:
            connection = Connection(port)
            try:
                for client in self._clients:
                    statuses[connection.get("/items", "c%d" % client)[0]] += 1
                    self._answered[slot] += 1
                    if self._stopping.is_set():
                        break
            finally:
                connection.close()
        except OSError as error:
            self.errors.append(repr(error))
        with self._lock:
            self.statuses.update(statuses)

    def wait_for(self, requests):
        """Returns once `requests` more have been answered (or a thread failed)."""
        target = sum(self._answered) + requests
        deadline = time.monotonic() + START_TIMEOUT_S
        while sum(self._answered) < target and not self.errors:
            if time.monotonic() > deadline:
                raise AssertionError("the load stalled")
            time.sleep(0.01)

    def join(self):
        for thread in self._threads:
            thread.join()
        return self

    def stop(self):
        self._stopping.set()
        return self.join()


def children(pid):
    """The pids of `pid`'s children, from /proc."""
    found = set()
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
        except OSError:
            continue  # gone meanwhile
        if int(fields[1]) == pid:
            found.add(int(entry))
    return found


class ContainerServer:
    """gunicorn in its own mount namespace with a 64 MiB /dev/shm; the log
    goes to a file."""

    def __init__(self, test):
        env = {name: value for name, value in os.environ.items() if name != "XDG_RUNTIME_DIR"}
        env.update(VORN_PYTHON_PATH=LIBRARY_DIR, VORN_TEST_ZONE=ZONE,
                   VORN_TEST_CAPACITY=str(CAPACITY))
        self.log = tempfile.TemporaryFile(mode="w+")
        test.addCleanup(self.log.close)
        self.process = subprocess.Popen(
            IN_CONTAINER + [sys.executable, "-m", "gunicorn", "--workers", str(WORKERS),
                            "--worker-class", "gthread", "--threads", "4", "--keep-alive", "120",
                            "--graceful-timeout", "5",
                            "--bind", "127.0.0.1:0", "--chdir", HERE, "zone_container_app:app"],
            env=env, stdout=self.log, stderr=subprocess.STDOUT)
        test.addCleanup(self.stop)
        deadline = time.monotonic() + START_TIMEOUT_S
        while True:
            text = self.text()
            port = re.search(r"Listening at: http://127\.0\.0\.1:(\d+)", text)
            if port and text.count("Booting worker") >= WORKERS:
                self.port = int(port.group(1))
                break
            if self.process.poll() is not None or time.monotonic() > deadline:
                raise AssertionError("gunicorn did not start:\n" + text)
            time.sleep(0.05)
        self.workers = children(self.process.pid)
        self.pinned = self._one_connection_per_worker()

    def _one_connection_per_worker(self):
        """A connection to each worker: a kept-alive connection stays with the
        worker that accepted it, so counts can be read across all of them."""
        pinned, spare = {}, []
        deadline = time.monotonic() + START_TIMEOUT_S
        while len(pinned) < WORKERS and time.monotonic() < deadline:
            connection = Connection(self.port)
            pid = connection.state()["pid"]
            if pid in pinned:
                spare.append(connection)
            else:
                pinned[pid] = connection
        for connection in spare:
            connection.close()
        if len(pinned) < WORKERS:
            raise AssertionError("only workers %s answered" % sorted(pinned))
        return list(pinned.values())

    def nsenter(self, *command):
        subprocess.run(["nsenter", "--mount=/proc/%d/ns/mnt" % self.process.pid] + list(command),
                       check=True, timeout=30)

    def text(self):
        self.log.seek(0)
        return self.log.read()

    def stop(self):
        for connection in getattr(self, "pinned", ()):
            connection.close()
        if self.process.poll() is None:
            workers = children(self.process.pid) | getattr(self, "workers", set())
            self.process.terminate()
            try:
                self.process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                # Workers stuck past the graceful timeout must not outlive the test.
                for pid in workers | children(self.process.pid):
                    try:
                        os.kill(pid, signal.SIGKILL)
                    except ProcessLookupError:
                        pass
                self.process.kill()
                self.process.wait()


class ZoneInAContainerTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        why = namespace_unavailable()
        if why is not None:
            raise unittest.SkipTest(why)

    def admitted_across_workers(self, server, client):
        """Requests from one client spread over every worker in turn: exactly
        CAPACITY are admitted when they all answer from one shared state."""
        statuses = [connection.get("/items", client)[0]
                    for _ in range(5) for connection in server.pinned]
        self.assertLessEqual(set(statuses), {200, 429}, statuses)
        return statuses.count(200)

    def assert_back_on_one_zone(self, server, label):
        """Within BACK_WITHIN_S every worker has mapped only the file the
        zone's name holds, and then counts one client exactly across them."""
        deadline = time.monotonic() + BACK_WITHIN_S
        while True:
            states = [connection.state() for connection in server.pinned]
            if all(not state["degraded"] and state["named"] is not None
                   and state["mapped"] == [state["named"]] for state in states):
                break
            self.assertLess(time.monotonic(), deadline, "%s: %s" % (label, states))
            time.sleep(0.05)
        for client in (label, label + "-again"):
            self.assertEqual(self.admitted_across_workers(server, client), CAPACITY, client)

    def test_workers_serve_a_full_zone_and_outlive_its_truncation_and_removal(self):
        server = ContainerServer(self)
        self.assertEqual(len(server.workers), WORKERS)

        load = Load(server.port, 0, CLIENTS).join()
        self.assertEqual(load.errors, [], "%s answered; log:\n%s" % (load.statuses, server.text()))
        self.assertEqual(load.statuses, {200: CLIENTS})
        stats = server.pinned[0].state()["stats"]
        self.assertTrue(stats["path"].startswith("/dev/shm/"), stats)
        self.assertEqual(stats["size_bytes"], 32 << 20, "the default fits a 64 MiB /dev/shm")
        # Each client came once: a state is held, evicted, or reclaimed.
        self.assertEqual(stats["keys"] + stats["evictions"] + stats["reclaimed"], CLIENTS, stats)
        self.assertGreater(stats["keys"], CLIENTS * 0.99, stats)

        load = Load(server.port, CLIENTS)
        try:
            load.wait_for(2000)
            server.nsenter("truncate", "-s", "40000", stats["path"])
            load.wait_for(2000)
            self.assert_back_on_one_zone(server, "after-truncation")
            server.nsenter("rm", stats["path"])
            self.assert_back_on_one_zone(server, "after-removal")
            load.wait_for(2000)
        finally:
            load.stop()
        self.assertEqual(load.errors, [], "%s answered; log:\n%s" % (load.statuses, server.text()))
        self.assertLessEqual(set(load.statuses), {200, 429}, load.statuses)

        self.assertEqual(children(server.process.pid), server.workers)
        log = server.text()
        self.assertNotIn("Traceback", log)
        fell_back = re.findall(r"^(\d+) vorn\.zone WARNING .* cannot be used", log, re.M)
        came_back = re.findall(r"^(\d+) vorn\.zone WARNING .* can be used again", log, re.M)
        self.assertTrue(fell_back, log)
        self.assertEqual(sorted(fell_back), sorted(came_back), log)


if __name__ == "__main__":
    unittest.main()
