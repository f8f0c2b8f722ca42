"""The examples with several limits, under real servers on loopback: Flask under
gunicorn and Starlette under uvicorn. Every answer's status and fields are checked,
including an IPv6 client rotating addresses inside one /64 behind a trusted proxy."""
import http.client
import os
import pathlib
import re
import socket
import subprocess
import sys
import time
import unittest

HERE = pathlib.Path(__file__).resolve().parent
REPO = HERE.parents[1]
LIBRARY_DIR = pathlib.Path(os.environ.get("VORN_PYTHON_PATH", REPO / "build" / "python"))
FIELDS = ("ratelimit-policy", "ratelimit", "retry-after")


def start(command):
    """Starts a server on a listening socket of ours; returns the process and port."""
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen(64)
    env = dict(os.environ, VORN_PYTHON_PATH=str(LIBRARY_DIR),
               PYTHONPATH=os.pathsep.join(map(str, (LIBRARY_DIR, REPO, REPO / "examples"))))
    fd = listener.fileno()
    argv = [arg.replace("{fd}", str(fd)) for arg in command]
    process = subprocess.Popen([sys.executable, "-m"] + argv, env=env, pass_fds=[fd])
    port = listener.getsockname()[1]
    listener.close()
    return process, port


def ask(port, method="GET", path="/", forwarded=None):
    """(status, {field: value} of the rate-limit fields, body)."""
    deadline = time.monotonic() + 30
    while True:
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
        try:
            connection.request(method, path, headers={"X-Forwarded-For": forwarded}
                               if forwarded else {})
            response = connection.getresponse()
            fields = {k.lower(): v for k, v in response.getheaders() if k.lower() in FIELDS}
            return response.status, fields, response.read()
        except ConnectionRefusedError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.1)  # the server is still starting
        finally:
            connection.close()


class ExampleScenario:
    """The same requests against each server; subclasses say how to start it."""

    command: list = []
    refused_body = b"Too Many Requests\n"

    def setUp(self):
        self.process, self.port = start(self.command)

    def tearDown(self):
        self.process.terminate()
        self.process.wait(timeout=30)

    def test_limits_fields_and_ipv6_networks(self):
        port = self.port
        for _ in range(3):
            self.assertEqual(ask(port, path="/health")[:2], (200, {}))

        answers = [ask(port, "POST", "/login") for _ in range(3)]
        self.assertEqual([a[0] for a in answers], [200, 200, 429])
        for answer, left in zip(answers, (1, 0, 0)):
            self.assertEqual(answer[1]["ratelimit-policy"], '"login";q=2;w=60')
            self.assertRegex(answer[1]["ratelimit"], r'^"login";r=%d;t=(59|60)$' % left)
        self.assertNotIn("retry-after", answers[1][1])
        self.assertIn(answers[2][1]["retry-after"], ("59", "60"))
        self.assertEqual(answers[2][2], self.refused_body)

        status, fields, _ = ask(port, path="/api/items", forwarded="203.0.113.5")
        self.assertEqual((status, fields), (200, {"ratelimit-policy": '"api";q=4;w=8',
                                                  "ratelimit": '"api";r=3;t=2'}))

        # One client, a new address of its /64 for each request: one allowance of 6.
        rotating = [ask(port, forwarded="2001:db8:1:2::%x, 127.0.0.1" % (i + 1))
                    for i in range(7)]
        self.assertEqual([a[0] for a in rotating], [200] * 6 + [429])
        for answer, left in zip(rotating, (5, 4, 3, 2, 1, 0, 0)):
            self.assertEqual(answer[1]["ratelimit-policy"], '"global";q=6;w=60')
            self.assertTrue(re.fullmatch(r'"global";r=%d;t=\d+' % left, answer[1]["ratelimit"]))
        self.assertIn(rotating[6][1]["retry-after"], ("9", "10"))
        # Another /56 is another client.
        self.assertEqual(ask(port, forwarded="2001:db8:1:100::1")[0], 200)


class FlaskUnderGunicornTest(ExampleScenario, unittest.TestCase):
    command = ["gunicorn", "--bind", "fd://{fd}", "--workers", "1", "--log-level", "warning",
               "flask_rules:app"]


class StarletteUnderUvicornTest(ExampleScenario, unittest.TestCase):
    command = ["uvicorn", "--fd", "{fd}", "--log-level", "warning", "starlette_rules:app"]
    refused_body = b'{"error":"too many requests"}'


if __name__ == "__main__":
    unittest.main()
