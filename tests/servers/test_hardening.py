"""Hostile requests against real servers on loopback (wsgiref, gunicorn, uvicorn):
a forged Forwarded element, a failing identity function, and a refused HEAD on a
kept-alive connection. Each server runs the apps of hardening_apps.py, where the
test client's own address, 127.0.0.1, is the trusted proxy."""
import contextlib
import http.client
import io
import os
import pathlib
import socket
import subprocess
import sys
import threading
import time
import unittest
from wsgiref.simple_server import WSGIRequestHandler, make_server

HERE = pathlib.Path(__file__).resolve().parent
REPO = HERE.parents[1]
os.environ.setdefault("VORN_PYTHON_PATH", str(REPO / "build" / "python"))
sys.path.insert(0, str(HERE))

import hardening_apps  # noqa: E402


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait_for(port, process=None, seconds=15.0):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if process is not None and process.poll() is not None:
            raise RuntimeError(f"server exited with {process.returncode}")
        with contextlib.suppress(OSError), socket.create_connection(("127.0.0.1", port), 0.2):
            return
        time.sleep(0.05)
    raise RuntimeError(f"nothing listens on port {port}")


class _Quiet(WSGIRequestHandler):
    def log_message(self, *args):
        pass

    def get_stderr(self):  # the failing identity's traceback is expected
        return io.StringIO()


@contextlib.contextmanager
def wsgiref_server(header):
    server = make_server("127.0.0.1", 0, hardening_apps.make_wsgi(header), handler_class=_Quiet)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        yield server.server_port
    finally:
        server.shutdown()
        server.server_close()


@contextlib.contextmanager
def subprocess_server(command, header):
    port = free_port()
    env = dict(os.environ, VORN_TEST_HEADER=header, PYTHONPATH=str(HERE))
    process = subprocess.Popen([sys.executable, "-m", *command(port)], env=env, cwd=str(HERE),
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        wait_for(port, process)
        yield port
    finally:
        process.terminate()
        try:
            process.wait(10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def gunicorn(port):
    return ["gunicorn", "--bind", f"127.0.0.1:{port}", "--workers", "1",
            "--worker-class", "gthread", "--threads", "2", "--keep-alive", "5",
            "hardening_apps:wsgi"]


def uvicorn(port):
    return ["uvicorn", "hardening_apps:asgi", "--host", "127.0.0.1", "--port", str(port),
            "--log-level", "critical"]


SERVERS = {
    "wsgiref": wsgiref_server,
    "gunicorn": lambda header: subprocess_server(gunicorn, header),
    "uvicorn": lambda header: subprocess_server(uvicorn, header),
}


def status_of(port, headers, method="GET"):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    try:
        connection.request(method, "/", headers=headers)
        response = connection.getresponse()
        response.read()
        return response.status
    finally:
        connection.close()


class HostileRequestsTest(unittest.TestCase):
    def test_a_forged_forwarded_element_never_picks_the_key(self):
        for name, server in SERVERS.items():
            with self.subTest(server=name), server("Forwarded") as port:
                # The proxy (this client) appends the real client after the forgery.
                # Odd requests end the forgery with a dangling escape instead.
                forged = [f'for=198.51.100.{i};x="' + "\\" * (i % 2) for i in range(20)]
                statuses = [status_of(port, {"Forwarded": f"{text}, for=203.0.113.9"})
                            for text in forged]
                self.assertEqual(statuses.count(200), 3, statuses)

    def test_a_failing_identity_function_gets_500_and_the_server_lives(self):
        for name, server in SERVERS.items():
            with self.subTest(server=name), server("X-Forwarded-For") as port:
                self.assertEqual(status_of(port, {"X-User": "crash"}), 500)
                self.assertEqual(status_of(port, {"X-User": "alice"}), 200)

    def test_a_refused_head_leaves_nothing_on_a_kept_alive_connection(self):
        with SERVERS["gunicorn"]("X-Forwarded-For") as port:
            connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
            answers = []
            try:
                for method in ("GET", "GET", "GET", "HEAD", "GET"):
                    connection.request(method, "/", headers={"X-Forwarded-For": "203.0.113.50"})
                    response = connection.getresponse()
                    answers.append((method, response.status, response.read()))
            finally:
                connection.close()
            self.assertEqual(answers[3:], [("HEAD", 429, b""),
                                           ("GET", 429, b"Too Many Requests\n")])


if __name__ == "__main__":
    unittest.main()
