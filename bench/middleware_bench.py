#!/usr/bin/python3
"""What the WSGI and ASGI middlewares add to RustEngine.check per request, and
what vorn and flask-limiter add to a Flask application.

Usage: /usr/bin/python3 bench/middleware_bench.py [builddir] [--json FILE]
           [--rounds N] [--calls N] [--package DIR] [--no-flask]

Per address form (dotted IPv4 `10.0.0.n`, IPv4-mapped `::ffff:10.0.0.n`, plain
IPv6 `2001:db8:n:1::5`; 64 clients each, in rotation, always admitted by a
token bucket of 1,000 that refills at once) it
times: the bare engine call on the key the middleware would make (`check`, and
`check_limits`, which the middleware calls for its header figures), the WSGI
middleware around a trivial application, and the ASGI one (its coroutine
driven with send(None): the awaitables complete at once, so no event loop is
measured). The trivial applications alone are timed too, and
added = middleware - application alone - check.

The Flask rows call one Flask application through the WSGI interface three
ways: bare, wrapped by vorn.WSGIMiddleware as the docs show, and with
flask-limiter (memory storage, a limit never reached); they print what vorn and
flask-limiter add over the bare application and the ratio of the two.

Every row runs once per round, the rows alternating, so that load from
elsewhere on the machine hits all alike; figures are medians over the rounds
and differences and ratios the medians of the per-round ones. `--package` loads
vorn from another checkout (an older vorn/ against the same library).
"""
import argparse
import json
import os
import pathlib
import statistics
import sys
import time

REPO = pathlib.Path(__file__).resolve().parents[1]
ROUTE = "/items"
CLIENTS = 64
FORMS = {
    "ipv4": (["10.0.0.%d" % n for n in range(CLIENTS)], ["10.0.0.%d" % n for n in range(CLIENTS)]),
    "mapped": (["::ffff:10.0.0.%d" % n for n in range(CLIENTS)],
               ["10.0.0.%d" % n for n in range(CLIENTS)]),
    "ipv6": (["2001:db8:%x:1::5" % n for n in range(CLIENTS)],
             ["2001:db8:%x::/56" % n for n in range(CLIENTS)]),
}
# A limit of ordinary size that refills at once: every request is admitted, and the
# header fields carry the figures of a real one.
CAPACITY = 1000
# Clients enough that none is remembered between its requests (info row).
MANY_CLIENTS = 8192


def start_response(status, headers, exc_info=None):
    return None


def wsgi_app(environ, start_response):
    start_response("200 OK", [("Content-Type", "text/plain")])
    return [b"ok"]


async def asgi_app(scope, receive, send):
    await send({"type": "http.response.start", "status": 200,
                "headers": [(b"content-type", b"text/plain")]})
    await send({"type": "http.response.body", "body": b"ok"})


async def receive():
    return {"type": "http.request", "body": b"", "more_body": False}


async def send(message):
    return None


def wsgi_environ(peer):
    return {"REQUEST_METHOD": "GET", "SCRIPT_NAME": "", "PATH_INFO": ROUTE, "QUERY_STRING": "",
            "SERVER_NAME": "bench", "SERVER_PORT": "80", "SERVER_PROTOCOL": "HTTP/1.1",
            "REMOTE_ADDR": peer, "HTTP_HOST": "bench", "wsgi.url_scheme": "http"}


def asgi_scope(peer):
    return {"type": "http", "asgi": {"version": "3.0"}, "http_version": "1.1", "method": "GET",
            "scheme": "http", "path": ROUTE, "raw_path": ROUTE.encode(), "root_path": "",
            "query_string": b"", "headers": [(b"host", b"bench")], "client": (peer, 50000),
            "server": ("127.0.0.1", 80)}


def time_engine(check, keys, calls):
    route = ROUTE
    count = len(keys)
    started = time.perf_counter_ns()
    for i in range(calls):
        check(keys[i % count], route, None)
    return (time.perf_counter_ns() - started) / calls


def time_wsgi(app, environs, calls):
    count = len(environs)
    started = time.perf_counter_ns()
    for i in range(calls):
        app(environs[i % count], start_response)
    return (time.perf_counter_ns() - started) / calls


def time_asgi(app, scopes, calls):
    count = len(scopes)
    started = time.perf_counter_ns()
    for i in range(calls):
        coroutine = app(scopes[i % count], receive, send)
        try:
            coroutine.send(None)
        except StopIteration:
            pass
        else:
            raise RuntimeError("the ASGI call waited on something")
    return (time.perf_counter_ns() - started) / calls


def time_flask(app, environs, calls):
    count = len(environs)
    started = time.perf_counter_ns()
    for i in range(calls):
        response = app(dict(environs[i % count]), start_response)
        for _ in response:
            pass
        response.close()
    return (time.perf_counter_ns() - started) / calls


def middleware_rows(vorn, vorn_native, calls):
    """name -> (timer, subject, inputs, calls) of the per-form rows."""
    engine = vorn_native.RustEngine("token_bucket", "active", CAPACITY, 1e12, None, None, "")
    wsgi = vorn.WSGIMiddleware(wsgi_app, engine)
    asgi = vorn.ASGIMiddleware(asgi_app, engine)
    any_peers = FORMS["ipv4"][0]
    rows = {"wsgi_app": (time_wsgi, wsgi_app, [wsgi_environ(p) for p in any_peers], calls),
            "asgi_app": (time_asgi, asgi_app, [asgi_scope(p) for p in any_peers], calls)}
    for form, (peers, keys) in FORMS.items():
        rows["check_" + form] = (time_engine, engine.check, keys, calls)
        rows["check_limits_" + form] = (time_engine, engine.check_limits, keys, calls)
        rows["wsgi_" + form] = (time_wsgi, wsgi, [wsgi_environ(p) for p in peers], calls)
        rows["asgi_" + form] = (time_asgi, asgi, [asgi_scope(p) for p in peers], calls)
    many = ["10.%d.%d.%d" % (1 + n // 65536, n // 256 % 256, n % 256) for n in range(MANY_CLIENTS)]
    rows["wsgi_ipv4_unremembered"] = (time_wsgi, wsgi, [wsgi_environ(p) for p in many], calls)
    rows["check_ipv4_unremembered"] = (time_engine, engine.check, many, calls)
    # Every answer must be an admission with the header fields, else the rows measure a 429.
    for name, (timer, subject, inputs, _) in rows.items():
        if name.startswith("wsgi_") and name != "wsgi_app":
            seen = []
            subject(dict(inputs[0]), lambda status, headers, *_: seen.append((status, headers)))
            assert seen[0][0] == "200 OK" and any(h == "RateLimit" for h, _ in seen[0][1]), seen
    return rows


def flask_rows(vorn, vorn_native, calls):
    """The three Flask rows, or nothing when Flask or flask-limiter is missing."""
    try:
        import flask
        from flask_limiter import Limiter
        from flask_limiter.util import get_remote_address
    except ImportError as error:
        print("Flask rows left out: %s" % error, file=sys.stderr)
        return {}

    def make():
        app = flask.Flask("bench")
        app.add_url_rule(ROUTE, "items", lambda: "ok")
        return app

    bare = make()
    with_vorn = make()
    with_vorn.wsgi_app = vorn.WSGIMiddleware(
        with_vorn.wsgi_app,
        vorn_native.RustEngine("token_bucket", "active", CAPACITY, 1e12, None, None, ""))
    with_limiter = make()
    limiter = Limiter(get_remote_address, app=with_limiter, storage_uri="memory://",
                      default_limits=["1000000000 per minute"])
    with_limiter.limiter = limiter  # kept alive with its app
    environs = [dict(wsgi_environ(p), **{"wsgi.input": None, "wsgi.errors": sys.stderr,
                                         "wsgi.version": (1, 0), "wsgi.multithread": False,
                                         "wsgi.multiprocess": False, "wsgi.run_once": False})
                for p in FORMS["ipv4"][0]]
    for app in (bare, with_vorn, with_limiter):
        seen = []
        for _ in app(dict(environs[0]), lambda status, headers, *_: seen.append(status)):
            pass
        assert seen == ["200 OK"], seen
    return {"flask_bare": (time_flask, bare, environs, calls),
            "flask_vorn": (time_flask, with_vorn, environs, calls),
            "flask_limiter": (time_flask, with_limiter, environs, calls)}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("builddir", nargs="?", default=str(REPO / "build"))
    parser.add_argument("--json")
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--calls", type=int, default=20_000)
    parser.add_argument("--flask-calls", type=int, default=10_000)
    parser.add_argument("--package", default=str(REPO))
    parser.add_argument("--no-flask", action="store_true")
    options = parser.parse_args()
    build = pathlib.Path(options.builddir).resolve()
    sys.path[:0] = [options.package, os.environ.get("VORN_PYTHON_PATH", str(build / "python"))]
    import vorn
    import vorn_native

    rows = middleware_rows(vorn, vorn_native, options.calls)
    if not options.no_flask:
        rows.update(flask_rows(vorn, vorn_native, options.flask_calls))
    for timer, subject, inputs, calls in rows.values():  # every key exists, every path is warm
        timer(subject, inputs, max(calls // 4, 2 * len(inputs)))
    samples = {name: [] for name in rows}
    for _ in range(options.rounds):
        for name, (timer, subject, inputs, calls) in rows.items():
            samples[name].append(timer(subject, inputs, calls))

    median = statistics.median
    added = {}
    for form in FORMS:
        for host in ("wsgi", "asgi"):
            over = zip(samples[host + "_" + form], samples[host + "_app"],
                       samples["check_" + form], samples["check_limits_" + form])
            added[host + "_" + form] = median(m - a - c for m, a, c, _ in over)
            over = zip(samples[host + "_" + form], samples[host + "_app"],
                       samples["check_limits_" + form])
            added[host + "_" + form + "_over_check_limits"] = median(m - a - c for m, a, c in over)
    added["wsgi_ipv4_unremembered"] = median(
        m - a - c for m, a, c in zip(samples["wsgi_ipv4_unremembered"], samples["wsgi_app"],
                                     samples["check_ipv4_unremembered"]))
    report = {"python": sys.version.split()[0], "executable": sys.executable,
              "package": str(pathlib.Path(sys.modules["vorn"].__file__).parent),
              "calls": options.calls, "rounds": options.rounds,
              "ns": {name: median(values) for name, values in samples.items()},
              "added_ns": added}
    if "flask_bare" in samples:
        by_vorn = [v - b for v, b in zip(samples["flask_vorn"], samples["flask_bare"])]
        by_limiter = [v - b for v, b in zip(samples["flask_limiter"], samples["flask_bare"])]
        report["flask"] = {"vorn_added_ns": median(by_vorn),
                           "limiter_added_ns": median(by_limiter),
                           "ratio": median(v / l for v, l in zip(by_vorn, by_limiter)),
                           "calls": options.flask_calls}

    print("python %s (%s), vorn from %s; %d rounds; ns per request (median)"
          % (report["python"], sys.executable, report["package"], options.rounds))
    for name, value in report["ns"].items():
        print("  %-28s %8.0f" % (name, value))
    print("added over check (middleware - trivial app - check; over check_limits in brackets):")
    for form in FORMS:
        for host in ("wsgi", "asgi"):
            key = host + "_" + form
            print("  %-28s %8.0f  (%.0f)" % (key, added[key], added[key + "_over_check_limits"]))
    print("  %-28s %8.0f  (%d clients: none remembered)"
          % ("wsgi_ipv4_unremembered", added["wsgi_ipv4_unremembered"], MANY_CLIENTS))
    if "flask" in report:
        flask_report = report["flask"]
        print("Flask: vorn adds %.0f ns, flask-limiter %.0f ns; ratio %.3f"
              % (flask_report["vorn_added_ns"], flask_report["limiter_added_ns"],
                 flask_report["ratio"]))
    if options.json:
        pathlib.Path(options.json).write_text(json.dumps(report, indent=1))


if __name__ == "__main__":
    main()
