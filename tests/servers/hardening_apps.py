"""Applications for the hostile-request tests against real servers: a WSGI and
an ASGI application behind the middleware, configured from the environment so
that gunicorn and uvicorn can load them by name.

VORN_TEST_HEADER names the forwarding header (the peer, 127.0.0.1, is the
trusted proxy); identities come from X-User; capacity 3, no refill.
"""
import os
import sys

sys.path.insert(0, os.environ["VORN_PYTHON_PATH"])
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))

import vorn  # noqa: E402

def _user(request_headers):
    value = request_headers.get("x-user")
    if value == "crash":
        raise RuntimeError("identity function failed")
    return value


def _wsgi_app(environ, start_response):
    start_response("200 OK", [("Content-Type", "text/plain"), ("Content-Length", "2")])
    return [b"ok"]


async def _asgi_app(scope, receive, send):
    await send({"type": "http.response.start", "status": 200,
                "headers": [(b"content-type", b"text/plain"), (b"content-length", b"2")]})
    await send({"type": "http.response.body", "body": b"ok"})


def _options(header):
    return {"trusted_proxies": ["127.0.0.1"], "forwarded_header": header}


def make_wsgi(header="X-Forwarded-For"):
    return vorn.WSGIMiddleware(
        _wsgi_app, vorn.create_engine(capacity=3, refill_rate=0),
        identity=lambda environ: _user({"x-user": environ.get("HTTP_X_USER")}), **_options(header))


def make_asgi(header="X-Forwarded-For"):
    def identity(scope):
        return _user({k.decode("latin-1").lower(): v.decode("latin-1")
                      for k, v in scope.get("headers", ())})

    return vorn.ASGIMiddleware(_asgi_app, vorn.create_engine(capacity=3, refill_rate=0),
                               identity=identity, **_options(header))


_HEADER = os.environ.get("VORN_TEST_HEADER", "X-Forwarded-For")
wsgi = make_wsgi(_HEADER)
asgi = make_asgi(_HEADER)
