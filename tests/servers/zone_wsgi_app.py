"""A WSGI application for the worker tests, served by gunicorn: vorn's
WSGIMiddleware with capacity VORN_TEST_CAPACITY and no refill, on the zone
VORN_TEST_ZONE (an in-process engine when it is empty). Every answer carries
the answering worker's pid in X-Worker-Pid; /pid answers outside the limiter
after a short hold, so that concurrent calls reach different workers.
"""
import os
import sys
import time

sys.path.insert(0, os.environ["VORN_PYTHON_PATH"])
sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))

import vorn  # noqa: E402

_zone = os.environ.get("VORN_TEST_ZONE") or None
_engine = vorn.create_engine(capacity=float(os.environ["VORN_TEST_CAPACITY"]),
                             refill_rate=0.0, zone=_zone)


def _hello(environ, start_response):
    start_response("200 OK", [("Content-Type", "text/plain")])
    return [b"hello\n"]


_limited = vorn.WSGIMiddleware(_hello, _engine)


def app(environ, start_response):
    # The pid is read per request: with --preload this module runs in the master.
    pid = str(os.getpid())

    def with_pid(status, headers, exc_info=None):
        return start_response(status, headers + [("X-Worker-Pid", pid)], exc_info)

    if environ.get("PATH_INFO") == "/pid":
        time.sleep(0.2)
        return _hello(environ, with_pid)
    return _limited(environ, with_pid)
