"""A Flask application rate-limited by vorn: 5 requests per client, refilled at
one per second, keyed on the client address, or on the X-Api-User header when a
request carries one.

Run (Flask is installed in pyenv's 3.11), after scripts/demo.sh built the library:
    VORN_PYTHON_PATH=build/python python3.11 examples/flask_app.py
then: for i in $(seq 8); do curl -s -o /dev/null -w '%{http_code} ' localhost:5000/; done
With `pip install .` done, the two sys.path lines below are not needed.
"""
import os
import sys

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:0] = [os.environ.get("VORN_PYTHON_PATH", os.path.join(REPO, "build", "python")), REPO]

from flask import Flask, request  # noqa: E402

import vorn  # noqa: E402

app = Flask(__name__)


@app.route("/")
def index():
    result = request.environ["vorn.result"]
    return {"remaining": result["decision"]["remaining"], "route": result["decision"]["route"]}


# Behind a reverse proxy on this host, add trusted_proxies=["127.0.0.1"] so that
# its X-Forwarded-For header names the client.
app.wsgi_app = vorn.WSGIMiddleware(
    app.wsgi_app,
    vorn.create_engine("token_bucket", "active", capacity=5, refill_rate=1),
    identity=lambda environ: environ.get("HTTP_X_API_USER"),
)

if __name__ == "__main__":
    app.run(host="127.0.0.1", port=int(os.environ.get("PORT", "5000")))
