"""framework_apps' application in FastAPI (uvicorn fastapi_limits_app:app)."""
from fastapi import Depends, FastAPI, Form, Request
from fastapi.responses import JSONResponse, PlainTextResponse

import vorn.fastapi
from framework_apps import API, LOGIN, OFF, OPTIONS, REFUSED, login_reached

app = FastAPI()
limiter = vorn.fastapi.Limiter(app, **OPTIONS)
limiter.enabled = not OFF


@app.post("/login", dependencies=[Depends(limiter.limit(LOGIN, count="failed"))])
async def login(password: str = Form("")):
    if login_reached(password == "right"):
        return PlainTextResponse("welcome\n")
    return PlainTextResponse("wrong password\n", 401)


@app.get("/login-help")
async def login_help():
    return PlainTextResponse("help\n")


def user(request: Request):
    return request.headers.get("x-user")


@app.get("/api/items", dependencies=[Depends(limiter.limit(API, key=user))])
async def items():
    return ["a", "b"]


@app.get("/health")
@limiter.exempt
async def health():
    return PlainTextResponse("ok\n")


@app.get("/")
async def index():
    return PlainTextResponse("index\n")


@app.exception_handler(429)
async def too_many(request, refusal):
    return JSONResponse(REFUSED, 429)
