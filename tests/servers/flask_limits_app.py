"""framework_apps' application in Flask (gunicorn flask_limits_app:app)."""
from flask import Flask, jsonify, request

import vorn.flask
from framework_apps import API, LOGIN, OFF, OPTIONS, REFUSED, login_reached

app = Flask(__name__)
app.config["VORN_ENABLED"] = not OFF
limiter = vorn.flask.Limiter(app, **OPTIONS)


@app.post("/login")
@limiter.limit(LOGIN, count="failed")
def login():
    if login_reached(request.form.get("password") == "right"):
        return "welcome\n"
    return "wrong password\n", 401


@app.get("/login-help")
def login_help():
    return "help\n"


@app.get("/api/items")
@limiter.limit(API, key=lambda: request.headers.get("X-User"))
def items():
    return jsonify(["a", "b"])


@app.get("/health")
@limiter.exempt
def health():
    return "ok\n"


@app.get("/")
def index():
    return "index\n"


@app.errorhandler(429)
def too_many(refusal):
    return jsonify(REFUSED), 429
