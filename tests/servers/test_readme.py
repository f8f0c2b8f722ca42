"""The README's quick starts, run as written: each framework's sample admits its
limit on /login and refuses the next request with a 429 that tells when to retry."""
import os
import pathlib
import re
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.error
import urllib.request

REPO = pathlib.Path(__file__).resolve().parents[2]
sys.path[:0] = [os.environ.get("VORN_PYTHON_PATH", str(REPO / "build" / "python")), str(REPO)]

SAMPLES = re.findall(r"```(python|js)\n(.*?)```", (REPO / "README.md").read_text("utf-8"), re.S)
PYTHON = [code for language, code in SAMPLES if language == "python"]
NODE = [code for language, code in SAMPLES if language == "js"]


def sample(samples, marker):
    found = [code for code in samples if marker in code]
    if len(found) != 1:
        raise AssertionError(f"the README has {len(found)} samples with {marker!r}, not 1")
    return found[0]


class PythonQuickStarts(unittest.TestCase):
    def expect_login_limit(self, post):
        answers = [post() for _ in range(6)]
        self.assertEqual([status for status, _ in answers], [200] * 5 + [429])
        headers = answers[-1][1]
        self.assertGreaterEqual(int(headers["Retry-After"]), 1)
        self.assertIn("RateLimit", headers)

    def test_flask(self):
        namespace = {"__name__": "readme_flask"}
        exec(sample(PYTHON, "vorn.flask"), namespace)
        client = namespace["app"].test_client()

        def post():
            answer = client.post("/login")
            return answer.status_code, answer.headers
        self.expect_login_limit(post)

    def test_fastapi(self):
        from starlette.testclient import TestClient
        namespace = {"__name__": "readme_fastapi"}
        exec(sample(PYTHON, "vorn.fastapi"), namespace)
        client = TestClient(namespace["app"])

        def post():
            answer = client.post("/login")
            return answer.status_code, answer.headers
        self.expect_login_limit(post)

    def test_django(self):
        import django
        from django.conf import settings
        code = sample(PYTHON, "vorn.django")
        settings_part, views_part = code.split("# views.py")
        configured = {}
        exec(settings_part, configured)
        settings.configure(
            DEBUG=False, SECRET_KEY="readme", ALLOWED_HOSTS=["*"], ROOT_URLCONF=__name__,
            MIDDLEWARE=[entry for entry in configured["MIDDLEWARE"] if entry is not Ellipsis],
            VORN=configured["VORN"])
        django.setup()
        from django.test import Client
        from django.urls import path
        views = {"__name__": "readme_views"}
        exec(views_part, views)
        global urlpatterns
        urlpatterns = [path("login", views["login"])]
        client = Client()

        def post():
            answer = client.post("/login")
            return answer.status_code, answer
        self.expect_login_limit(post)


urlpatterns = []


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class NodeQuickStarts(unittest.TestCase):
    """Each sample runs as a file of an application that installed vorn."""

    @classmethod
    def setUpClass(cls):
        cls.app_dir = tempfile.TemporaryDirectory()
        modules = pathlib.Path(cls.app_dir.name, "node_modules")
        modules.mkdir()
        (modules / "vorn").symlink_to(REPO)
        # A zone a sample names lives here, fresh for every run.
        cls.env = dict(os.environ, NODE_PATH=f"{modules}:{REPO / 'node_modules'}",
                       XDG_RUNTIME_DIR=cls.app_dir.name)

    @classmethod
    def tearDownClass(cls):
        cls.app_dir.cleanup()

    def serve(self, code):
        port = free_port()
        script = pathlib.Path(self.app_dir.name, f"app{port}.js")
        script.write_text(code.replace("3000", str(port)), "utf-8")
        server = subprocess.Popen(["node", str(script)], env=self.env, cwd=self.app_dir.name,
                                  stderr=subprocess.PIPE)
        self.addCleanup(server.wait)
        self.addCleanup(server.kill)
        deadline = time.monotonic() + 15
        while time.monotonic() < deadline:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
                return port
            except OSError:
                if server.poll() is not None:
                    self.fail(f"the sample exited: {server.stderr.read().decode()}")
                time.sleep(0.05)
        self.fail("the sample did not listen")

    def answers(self, port, path, method, count):
        found = []
        for _ in range(count):
            request = urllib.request.Request(f"http://127.0.0.1:{port}{path}", method=method)
            try:
                with urllib.request.urlopen(request, timeout=5) as answer:
                    found.append((answer.status, answer.headers))
            except urllib.error.HTTPError as refused:
                found.append((refused.code, refused.headers))
        return found

    def expect_limit(self, port, path, method, limit, admitted=200):
        found = self.answers(port, path, method, limit + 1)
        self.assertEqual([status for status, _ in found], [admitted] * limit + [429])
        self.assertGreaterEqual(int(found[-1][1]["Retry-After"]), 1)

    def test_express(self):
        port = self.serve(sample(NODE, "require('express')"))
        # Failed logins: each counts, and is answered until the limit refuses.
        self.expect_limit(port, "/login", "POST", 5, admitted=401)

    def test_fastify(self):
        port = self.serve(sample(NODE, "require('fastify')"))
        self.expect_limit(port, "/login", "POST", 5)

    def test_node_http(self):
        port = self.serve(sample(NODE, "require('node:http')"))
        self.expect_limit(port, "/", "GET", 100)


if __name__ == "__main__":
    unittest.main()
