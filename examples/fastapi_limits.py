"""A FastAPI application with vorn's limits on its routes, served by uvicorn
with four workers that share one count per client in Redis (any number of
machines may share it too):
    VORN_REDIS=redis://127.0.0.1:6379/0 VORN_PYTHON_PATH=build/python \\
        PYTHONPATH=.:examples uvicorn --workers 4 --no-proxy-headers fastapi_limits:app

- every route without a limit of its own: 200 an hour per client, together;
- POST /login: 5 a minute per client, counting only failed logins;
- GET /api/items: 100 a minute per API user (the X-Api-User header here; your
  authentication's user in a real application), else per client;
- /health: never limited.
A refusal is the JSON the 429 handler makes, with RateLimit and Retry-After.
"""
import os
import sys

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:0] = [os.environ.get("VORN_PYTHON_PATH", os.path.join(REPO, "build", "python")), REPO]

from fastapi import Depends, FastAPI, Form, Request  # noqa: E402
from fastapi.responses import JSONResponse, PlainTextResponse  # noqa: E402

import vorn.fastapi  # noqa: E402

app = FastAPI()
limiter = vorn.fastapi.Limiter(app, default="200/hour",
                               redis=os.environ.get("VORN_REDIS", "redis://127.0.0.1:6379/0"))


@app.post("/login", dependencies=[Depends(limiter.limit("5/minute", count="failed"))])
async def login(password: str = Form("")):
    if password == "s3cret":
        return PlainTextResponse("welcome\n")
    return PlainTextResponse("wrong password\n", 401)


def api_user(request: Request):
    return request.headers.get("x-api-user")


@app.get("/api/items", dependencies=[Depends(limiter.limit("100/minute", key=api_user))])
async def items():
    return ["apple", "pear"]


@app.get("/health")
@limiter.exempt
async def health():
    return PlainTextResponse("ok\n")


@app.exception_handler(429)
async def too_many(request, refusal):
    return JSONResponse({"error": "too many requests", "limit": refusal.limit}, 429,
                        headers=refusal.headers)
