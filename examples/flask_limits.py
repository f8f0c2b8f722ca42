"""A Flask application with vorn's limits on its views, served by gunicorn with
four workers that share one count per client in the zone "shop":
    VORN_PYTHON_PATH=build/python PYTHONPATH=.:examples gunicorn -w 4 flask_limits:app

- every view without a limit of its own: 200 an hour per client, together;
- POST /login: 5 a minute per client, counting only failed logins;
- GET /api/items: 100 a minute per API user (the X-Api-User header here; your
  login's user in a real application), else per client;
- /health: never limited.
A refusal is the JSON the 429 handler makes, with RateLimit and Retry-After.
"""
import os
import sys

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:0] = [os.environ.get("VORN_PYTHON_PATH", os.path.join(REPO, "build", "python")), REPO]

from flask import Flask, jsonify, request  # noqa: E402

import vorn.flask  # noqa: E402

app = Flask(__name__)
limiter = vorn.flask.Limiter(app, default="200/hour", zone="shop")


@app.post("/login")
@limiter.limit("5/minute", count="failed")
def login():
    if request.form.get("password") == "s3cret":
        return "welcome\n"
    return "wrong password\n", 401


@app.get("/api/items")
@limiter.limit("100/minute", key=lambda: request.headers.get("X-Api-User"))
def items():
    return jsonify(["apple", "pear"])


@app.get("/health")
@limiter.exempt
def health():
    return "ok\n"


@app.errorhandler(429)
def too_many(refusal):
    return jsonify(error="too many requests", limit=refusal.limit), 429
