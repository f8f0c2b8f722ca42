"""A WSGI application for the container test, served by gunicorn: vorn's
WSGIMiddleware on the zone VORN_TEST_ZONE (capacity VORN_TEST_CAPACITY, no
refill, every size at its default), keyed on the X-Client header so that one
load generator can play any number of clients. Every answer carries the
worker's pid in X-Worker-Pid. /state answers outside the limiter with what the
worker sees of the zone, read inside the server's mount namespace, where the
zone's file lives: whether the engine is degraded, the zone's counters, and
which files of the zone's name the worker has mapped (its /proc/self/maps)
against the one the name holds now, so the test can tell that every worker
is on the zone the name holds, not on an old one it still has mapped.
"""
import json
import logging
import os
import sys

sys.path.insert(0, os.environ["VORN_PYTHON_PATH"])
sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))

import vorn  # noqa: E402

# The pid lets the test tell which worker fell back and came back.
logging.basicConfig(format="%(process)d %(name)s %(levelname)s %(message)s")

ZONE = os.environ["VORN_TEST_ZONE"]
_engine = vorn.create_engine(capacity=float(os.environ["VORN_TEST_CAPACITY"]), refill_rate=0.0,
                             zone=ZONE)
PATH = vorn.zone_stats(ZONE)["path"]


def _hello(environ, start_response):
    start_response("200 OK", [("Content-Type", "text/plain"), ("Content-Length", "6")])
    return [b"hello\n"]


_limited = vorn.WSGIMiddleware(_hello, _engine, headers=None,
                               identity=lambda environ: environ.get("HTTP_X_CLIENT"))


def _state():
    try:
        stats = vorn.zone_stats(ZONE)
    except OSError as error:  # missing or damaged right now
        stats = {"error": str(error)}
    try:
        named = os.stat(PATH).st_ino
    except FileNotFoundError:
        named = None
    with open("/proc/self/maps") as maps:
        # A line's sixth field is the file; a removed one is followed by "(deleted)".
        mapped = sorted({int(fields[4]) for fields in map(str.split, maps)
                         if len(fields) > 5 and fields[5] == PATH})
    return {"pid": os.getpid(), "degraded": _engine.degraded, "stats": stats,
            "named": named, "mapped": mapped}


def app(environ, start_response):
    pid = str(os.getpid())
    if environ.get("PATH_INFO") == "/state":
        body = json.dumps(_state()).encode()
        start_response("200 OK", [("Content-Type", "application/json"),
                                  ("Content-Length", str(len(body))), ("X-Worker-Pid", pid)])
        return [body]

    def with_pid(status, headers, exc_info=None):
        return start_response(status, headers + [("X-Worker-Pid", pid)], exc_info)

    return _limited(environ, with_pid)
