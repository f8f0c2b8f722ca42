"""vorn's framework forms under real servers on loopback, one table of requests
for each: Flask under gunicorn (2 workers on a zone), FastAPI under uvicorn (2
workers on Redis, through the asyncio engine) and Django under gunicorn (2
workers on a zone). Each test starts and stops its own server."""
import concurrent.futures
import http.client
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import uuid

from redis_support import HAVE_REDIS_SERVER, LIBRARY_DIR, REPO, RedisServer

HERE = os.path.dirname(os.path.abspath(__file__))
FIELDS = ("ratelimit-policy", "ratelimit", "retry-after")
FAILED_LOGIN = ("POST", "/login", "password=wrong")

# (method, path, user, status, policy of the fields or None, remaining): in order, on
# one server. The login's policy is the framework's name of the route ("LOGIN").
ROUTE_AND_DEFAULT = (
    [FAILED_LOGIN[:2] + (None, 401, "LOGIN", left) for left in (4, 3, 2, 1, 0)]
    + [("POST", "/login", None, 429, "LOGIN", 0)]
    # Not the login route in any of the three: each spends the default limit.
    + [("POST", "/LOGIN", None, None, "default", 5),
       ("POST", "/Login", None, None, "default", 4),
       ("POST", "/login/", None, None, "default", 3),
       ("GET", "/login-help", None, 200, "default", 2),
       ("GET", "/", None, 200, "default", 1), ("GET", "/", None, 200, "default", 0),
       ("GET", "/", None, 429, "default", 0)]
    + [("GET", "/health", None, 200, None, None)] * 2
    # A route with a limit of its own is not the default's.
    + [("GET", "/api/items", "ann", 200, "API", left) for left in (2, 1, 0)]
    + [("GET", "/api/items", "ann", 429, "API", 0), ("GET", "/api/items", "bob", 200, "API", 2)])


def ask(port, method, path, user=None, body=None):
    """(status, {field: value} of the rate-limit fields, body) on a new connection."""
    headers = {"X-User": user} if user else {}
    if body is not None:
        headers["Content-Type"] = "application/x-www-form-urlencoded"
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    try:
        connection.request(method, path, body=body, headers=headers)
        response = connection.getresponse()
        fields = {k.lower(): v for k, v in response.getheaders() if k.lower() in FIELDS}
        return response.status, fields, response.read()
    finally:
        connection.close()


class FrameworkServer:
    """The table against one framework's server; subclasses say how to start it."""

    command = []
    names = {}  # "LOGIN", "API": the framework's names of those routes' limits
    store = "zone"

    def setUp(self):
        self.directory = tempfile.mkdtemp()
        self.hits = os.path.join(self.directory, "hits")
        self.env = dict(os.environ, VORN_TEST_HITS=self.hits, VORN_PYTHON_PATH=str(LIBRARY_DIR),
                        PYTHONPATH=os.pathsep.join((str(LIBRARY_DIR), REPO, HERE)))
        if self.store == "zone":
            self.env.update(VORN_TEST_ZONE="fw-" + uuid.uuid4().hex[:12],
                            VORN_TEST_ZONE_DIR=self.directory)
        else:
            self.redis = RedisServer().start()
            self.addCleanup(self.redis.kill)
            self.env["VORN_TEST_REDIS"] = self.redis.url
        self.addCleanup(shutil.rmtree, self.directory, True)

    def serve(self, **env):
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        listener.listen(64)
        fd = listener.fileno()
        process = subprocess.Popen([sys.executable, "-m"] + [a.replace("{fd}", str(fd))
                                                             for a in self.command],
                                   env=dict(self.env, **env), pass_fds=[fd])
        port = listener.getsockname()[1]
        listener.close()
        self.addCleanup(process.wait, 30)
        self.addCleanup(process.terminate)
        deadline = time.monotonic() + 30
        while True:  # until a worker answers
            try:
                ask(port, "GET", "/health")
                return port
            except (ConnectionError, http.client.HTTPException):
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.1)

    def test_route_and_default_limits_count_exactly_across_workers(self):
        port = self.serve()
        for row, (method, path, user, status, policy, left) in enumerate(ROUTE_AND_DEFAULT):
            with self.subTest(row=row, method=method, path=path):
                body = "password=wrong" if path == "/login" else None
                got, fields, content = ask(port, method, path, user, body)
                if status is not None:
                    self.assertEqual(got, status)
                if policy is None:
                    self.assertEqual(fields, {})
                    continue
                limit = {"LOGIN": 5, "API": 3, "default": 6}[policy]
                name = self.names.get(policy, policy)
                self.assertEqual(fields["ratelimit-policy"], '"%s";q=%d;w=60' % (name, limit))
                self.assertRegex(fields["ratelimit"], r'^"%s";r=%d;t=(59|60)$' % (name, left))
                if got == 429:  # shaped by the app's own handler, with the fields
                    self.assertEqual(json.loads(content), {"error": "slow down"})
                    self.assertIn(fields["retry-after"], ("59", "60"))
                else:
                    self.assertNotIn("retry-after", fields)
        with open(self.hits) as hits:
            self.assertEqual(hits.read(), "bad\n" * 5)

    def test_only_failed_logins_count_and_concurrent_ones_stop_at_the_limit(self):
        port = self.serve()
        for _ in range(6):  # successful logins are given back
            self.assertEqual(ask(port, "POST", "/login", body="password=right")[0], 200)
        with concurrent.futures.ThreadPoolExecutor(20) as pool:
            answers = list(pool.map(lambda _: ask(port, *FAILED_LOGIN)[0], range(20)))
        self.assertEqual(sorted(answers), [401] * 5 + [429] * 15)
        with open(self.hits) as hits:
            self.assertEqual(hits.read(), "good\n" * 6 + "bad\n" * 5)

    def test_limits_off_in_a_test_configuration(self):
        port = self.serve(VORN_TEST_OFF="1")
        for _ in range(8):
            self.assertEqual(ask(port, "GET", "/")[:2], (200, {}))
            self.assertEqual(ask(port, *FAILED_LOGIN)[:2], (401, {}))


def _gunicorn(app):
    return ["gunicorn", "--bind", "fd://{fd}", "--workers", "2", "--log-level", "warning", app]


class FlaskUnderGunicornTest(FrameworkServer, unittest.TestCase):
    command = _gunicorn("flask_limits_app:app")
    names = {"LOGIN": "login", "API": "items"}


@unittest.skipUnless(HAVE_REDIS_SERVER, "needs redis-server")
class FastAPIUnderUvicornTest(FrameworkServer, unittest.TestCase):
    command = ["uvicorn", "--fd", "{fd}", "--workers", "2", "--log-level", "warning",
               "fastapi_limits_app:app"]
    names = {"LOGIN": "/login", "API": "/api/items"}
    store = "redis"


class DjangoUnderGunicornTest(FrameworkServer, unittest.TestCase):
    command = _gunicorn("django_limits_app:application")
    names = {"LOGIN": "django_limits_app.login", "API": "django_limits_app.Items"}


if __name__ == "__main__":
    unittest.main()
