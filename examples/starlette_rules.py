"""A Starlette application with three limits, served by uvicorn:
    VORN_PYTHON_PATH=build/python PYTHONPATH=.:examples uvicorn --port 8000 starlette_rules:app

The same limits as flask_rules.py (login, api, global; /health unlimited), with
a JSON answer to refused requests.
"""
import os
import sys

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:0] = [os.environ.get("VORN_PYTHON_PATH", os.path.join(REPO, "build", "python")), REPO]

from starlette.applications import Starlette  # noqa: E402
from starlette.responses import JSONResponse, PlainTextResponse  # noqa: E402
from starlette.routing import Route  # noqa: E402

import vorn  # noqa: E402


async def anything(request):
    return PlainTextResponse("ok " + request.url.path + "\n")


inner = Starlette(routes=[Route("/{path:path}", anything, methods=["GET", "POST"])])

app = vorn.ASGIMiddleware(
    inner,
    rules=[
        vorn.Rule(vorn.create_engine("fixed_window", capacity=2), path="/login",
                  methods=["POST"], name="login"),
        vorn.Rule(vorn.create_engine(capacity=4, refill_rate=0.5), path="/api/", name="api"),
        vorn.Rule(vorn.create_engine(capacity=6, refill_rate=0.1), name="global"),
    ],
    trusted_proxies=["127.0.0.1", "::1"],
    skip=lambda scope: scope.get("path") == "/health",
    # A Starlette response is an ASGI application: it answers refused requests.
    on_refused=JSONResponse({"error": "too many requests"}, status_code=429),
)
