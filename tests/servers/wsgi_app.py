"""A WSGI application behind vorn's middleware, for the real-server tests.

The engine comes from the environment: VORN_TEST_ALGORITHM (token_bucket),
VORN_TEST_CAPACITY (1) and VORN_TEST_REFILL (0, so nothing comes back during a test).
"""
import os

import vorn


def hello(environ, start_response):
    start_response("200 OK", [("Content-Type", "text/plain")])
    return [b"hello\n"]


app = vorn.WSGIMiddleware(hello, vorn.create_engine(
    algorithm=os.environ.get("VORN_TEST_ALGORITHM", "token_bucket"),
    capacity=float(os.environ.get("VORN_TEST_CAPACITY", "1")),
    refill_rate=float(os.environ.get("VORN_TEST_REFILL", "0"))))
