"""The one application the framework tests serve, written for Flask, FastAPI and
Django (each imported only by its own server): a failing-login route limited to
5 a minute counting only failures, a per-user API limit, a default limit for
the rest, an exempt health check, and a 429 that the framework's own error
handler shapes. The environment chooses the store (VORN_TEST_ZONE with
VORN_TEST_ZONE_DIR, or VORN_TEST_REDIS) and turns the limits off
(VORN_TEST_OFF=1); each login that reaches its handler is a line in
VORN_TEST_HITS."""
import os
import sys

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path[:0] = [os.environ.get("VORN_PYTHON_PATH", os.path.join(REPO, "build", "python")), REPO]

LOGIN = "5/minute"
API = "3/minute"
DEFAULT = "6/minute"
OFF = os.environ.get("VORN_TEST_OFF") == "1"
# A Redis timeout that a loaded test machine keeps to: its workers must not fall back
# to counts of their own.
STORE = ({"redis": os.environ["VORN_TEST_REDIS"], "redis_timeout": 2} if "VORN_TEST_REDIS" in os.environ else
         {"zone": os.environ["VORN_TEST_ZONE"], "zone_dir": os.environ["VORN_TEST_ZONE_DIR"]}
         if "VORN_TEST_ZONE" in os.environ else {})
OPTIONS = dict(STORE, default=DEFAULT, algorithm="fixed_window")
REFUSED = {"error": "slow down"}


def login_reached(good):
    """Notes a login that reached its handler; True when the password was right."""
    with open(os.environ["VORN_TEST_HITS"], "a") as hits:
        hits.write("good\n" if good else "bad\n")
    return good
