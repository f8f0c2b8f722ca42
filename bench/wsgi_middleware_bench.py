"""Per-request cost of vorn.WSGIMiddleware around a trivial application: 64 IPv4
clients in rotation, always admitted, the answer's fields built and added.

Usage: /usr/bin/python3 bench/wsgi_middleware_bench.py [package dir] [build dir]
The package dir (default: this checkout) lets an older copy of vorn/ be measured
against the same library.
"""
import pathlib
import statistics
import sys
import time

REPO = pathlib.Path(__file__).resolve().parents[1]
package_dir = sys.argv[1] if len(sys.argv) > 1 else str(REPO)
build_dir = pathlib.Path(sys.argv[2] if len(sys.argv) > 2 else REPO / "build")
sys.path[:0] = [package_dir, str(build_dir / "python")]

import vorn  # noqa: E402
import vorn_native  # noqa: E402


def main():
    engine = vorn_native.RustEngine("token_bucket", "active", 1e15, 1e12, None, None, "")

    def app(environ, start_response):
        start_response("200 OK", [])
        return [b""]

    limited = vorn.WSGIMiddleware(app, engine)
    environs = [{"REQUEST_METHOD": "GET", "PATH_INFO": "/items", "SCRIPT_NAME": "",
                 "REMOTE_ADDR": "10.0.0.%d" % i} for i in range(64)]

    def start_response(status, headers, exc_info=None):
        return None

    rounds = []
    for _ in range(7):
        started = time.perf_counter_ns()
        for i in range(100_000):
            limited(environs[i & 63], start_response)
        rounds.append((time.perf_counter_ns() - started) / 100_000)
    print("%s: %.0f ns per request (median of 7 rounds of 100,000)"
          % (package_dir, statistics.median(rounds)))


if __name__ == "__main__":
    main()
