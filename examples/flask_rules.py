"""A Flask application with three limits, served by gunicorn:
    VORN_PYTHON_PATH=build/python PYTHONPATH=.:examples gunicorn --bind 127.0.0.1:8000 flask_rules:app

- POST /login: 2 per minute per client (fixed window), named "login";
- /api/: 4 per client, one back every 2 s, named "api";
- everything: 6 per client, one back every 10 s, named "global";
- /health is never limited.
Behind a proxy on this host (127.0.0.1 or ::1) the X-Forwarded-For client is
the key; an IPv6 client is keyed by its /56. Answers carry RateLimit-Policy and
RateLimit; refusals are 429 with Retry-After.
"""
import os
import sys

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:0] = [os.environ.get("VORN_PYTHON_PATH", os.path.join(REPO, "build", "python")), REPO]

from flask import Flask  # noqa: E402

import vorn  # noqa: E402

app = Flask(__name__)


@app.route("/", defaults={"path": ""}, methods=["GET", "POST"])
@app.route("/<path:path>", methods=["GET", "POST"])
def anything(path):
    return "ok /" + path + "\n"


app.wsgi_app = vorn.WSGIMiddleware(
    app.wsgi_app,
    rules=[
        vorn.Rule(vorn.create_engine("fixed_window", capacity=2), path="/login",
                  methods=["POST"], name="login"),
        vorn.Rule(vorn.create_engine(capacity=4, refill_rate=0.5), path="/api/", name="api"),
        vorn.Rule(vorn.create_engine(capacity=6, refill_rate=0.1), name="global"),
    ],
    trusted_proxies=["127.0.0.1", "::1"],
    skip=lambda environ: environ.get("PATH_INFO") == "/health",
)
