"""A Flask application whose one limit counts every request to /hit, 200 an hour
a client, and which serves vorn's metrics on /metrics. The environment picks
the zone (VORN_TEST_ZONE, VORN_TEST_ZONE_DIR; else engines in process, counted
through prometheus_client's multiprocess mode when PROMETHEUS_MULTIPROC_DIR is
set) and the mode (VORN_TEST_MODE)."""
import os
import sys

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path[:0] = [os.environ.get("VORN_PYTHON_PATH", os.path.join(REPO, "build", "python")), REPO]

import prometheus_client  # noqa: E402
from flask import Flask, Response  # noqa: E402

import vorn.metrics  # noqa: E402
from vorn.flask import Limiter  # noqa: E402

STORE = ({"zone": os.environ["VORN_TEST_ZONE"], "zone_dir": os.environ["VORN_TEST_ZONE_DIR"]}
         if "VORN_TEST_ZONE" in os.environ else {})
app = Flask(__name__)
limiter = Limiter(app, algorithm="fixed_window", mode=os.environ.get("VORN_TEST_MODE", "active"),
                  **STORE)

if os.environ.get("PROMETHEUS_MULTIPROC_DIR"):
    from prometheus_client import multiprocess
    registry = prometheus_client.CollectorRegistry()
    multiprocess.MultiProcessCollector(registry)
    vorn.metrics.register()
else:
    registry = prometheus_client.CollectorRegistry()
    vorn.metrics.register(registry)


@app.get("/hit")
@limiter.limit("200/hour", shared="hits")
def hit():
    return "ok"


@app.get("/metrics")
@limiter.exempt
def metrics():
    return Response(prometheus_client.generate_latest(registry),
                    mimetype=prometheus_client.CONTENT_TYPE_LATEST)


@app.get("/pid")
@limiter.exempt
def pid():
    return str(os.getpid())
