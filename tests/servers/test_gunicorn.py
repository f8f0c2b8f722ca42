"""The WSGI middleware inside a real gunicorn on loopback."""
import http.client
import os
import pathlib
import socket
import subprocess
import sys
import unittest

HERE = pathlib.Path(__file__).resolve().parent
REPO = HERE.parents[1]
LIBRARY_DIR = pathlib.Path(os.environ.get("VORN_PYTHON_PATH", REPO / "build" / "python"))


def start_gunicorn(workers, **engine):
    """Starts gunicorn on a listening socket of ours (so no port can be taken in
    between) and returns the process and the port."""
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen(64)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(map(str, (LIBRARY_DIR, REPO, HERE))),
               **{"VORN_TEST_" + name.upper(): str(value) for name, value in engine.items()})
    process = subprocess.Popen(
        [sys.executable, "-m", "gunicorn", "--bind", "fd://%d" % listener.fileno(),
         "--workers", str(workers), "--log-level", "warning", "wsgi_app:app"],
        env=env, pass_fds=[listener.fileno()])
    port = listener.getsockname()[1]
    listener.close()
    return process, port


def get(port, path="/"):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    try:
        connection.request("GET", path)
        response = connection.getresponse()
        return response.status, response.getheader("RateLimit"), response.read()
    finally:
        connection.close()


class GunicornTest(unittest.TestCase):
    def test_one_worker_admits_the_capacity_then_answers_429(self):
        process, port = start_gunicorn(workers=1, capacity=1)
        try:
            self.assertEqual(get(port)[0], 200)
            status, remaining, _ = get(port)
            self.assertEqual((status, remaining), (429, '"default";r=0'))
        finally:
            process.terminate()
            process.wait(timeout=30)


if __name__ == "__main__":
    unittest.main()
