"""The demo's Python side: a real WSGI server (the standard library's wsgiref)
on loopback, one rate-limited application per run of the demo.

Usage: demo_server.py RUNS_JSON. Each run {"name", "algorithm", "mode",
"capacity", "refillRate", and optionally "zone"} is served under /<name>/ by
vorn's WSGIMiddleware around a tiny application. Prints "listening HOST:PORT"
once it accepts requests, and exits when its standard input closes (so it never
outlives the demo) or on SIGTERM.

Under gunicorn (`gunicorn demo_server:app`) the runs come from VORN_DEMO_RUNS.
"""
import json
import os
import sys
import threading
from wsgiref.simple_server import WSGIRequestHandler, WSGIServer, make_server

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.environ.get("VORN_PYTHON_PATH", os.path.join(REPO, "build", "python")))
sys.path.insert(0, REPO)

import vorn  # noqa: E402


def hello(environ, start_response):
    # The middleware left the engine's answer in the environ; in shadow mode it
    # tells the caller whether this request would have been refused.
    result = environ["vorn.result"]
    headers = [("Content-Type", "text/plain"),
               ("X-Would-Block", "1" if result["would_block"] else "0"),
               ("X-Worker-Pid", str(os.getpid()))]
    start_response("200 OK", headers)
    return [b"hello\n"]


def not_found(environ, start_response):
    start_response("404 Not Found", [("Content-Type", "text/plain")])
    return [b"no such run\n"]


def build_app(runs):
    apps = {}
    for run in runs:
        engine = vorn.create_engine(run["algorithm"], run["mode"], run["capacity"],
                                    run["refillRate"], zone=run.get("zone"))
        apps[run["name"]] = vorn.WSGIMiddleware(hello, engine)

    def dispatch(environ, start_response):
        name = environ.get("PATH_INFO", "/").split("/")[1]
        return apps.get(name, not_found)(environ, start_response)

    return dispatch


class QuietHandler(WSGIRequestHandler):
    def log_message(self, *args):
        pass


def exit_when_stdin_closes():
    sys.stdin.read()
    os._exit(0)


def main():
    runs = json.loads(sys.argv[1])
    server = make_server("127.0.0.1", 0, build_app(runs), WSGIServer, QuietHandler)
    threading.Thread(target=exit_when_stdin_closes, daemon=True).start()
    print("listening 127.0.0.1:%d" % server.server_port, flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
elif "VORN_DEMO_RUNS" in os.environ:
    app = build_app(json.loads(os.environ["VORN_DEMO_RUNS"]))
