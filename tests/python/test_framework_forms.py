"""The framework forms: the rules form's path matching and scoped keys, and one
table of route limits run in-process against Flask, FastAPI and Django, each
where it is importable (skipped elsewhere)."""
import asyncio
import importlib.util
import re
import sys
import types
import unittest

import vorn_loader
from vorn_loader import engine

sys.path.insert(0, str(vorn_loader.REPO))

import vorn  # noqa: E402
from test_middleware import Recorder, wsgi_call  # noqa: E402


def have(module):
    return importlib.util.find_spec(module) is not None


class RulesFormTest(unittest.TestCase):
    def test_a_text_prefix_matches_whole_segments_and_keeps_case(self):
        cases = {"/login": {"/login": True, "/login/": True, "/login/x": True,
                            "/login-help": False, "/LOGIN": False, "/logi": False},
                 "/api/": {"/api": True, "/api/v1": True, "/apix": False},
                 "/": {"/": True, "/anything/at/all": True}}
        for prefix, routes in cases.items():
            rule = vorn.Rule(engine(), path=prefix)
            for route, matches in routes.items():
                with self.subTest(prefix=prefix, route=route):
                    self.assertEqual(rule.applies("GET", route), matches)
        self.assertTrue(vorn.Rule(engine(), path=re.compile(r"/v\d")).applies("GET", "/v2x"))

    def test_rules_on_one_engine_keep_counts_apart_and_one_engine_keeps_its_keys(self):
        shared = engine(capacity=2)
        limited = vorn.WSGIMiddleware(Recorder().wsgi, rules=[
            vorn.Rule(shared, path="/a"), vorn.Rule(shared, path="/b", methods=["get"])])
        self.assertEqual([wsgi_call(limited, path="/a")[0] for _ in range(3)], [200, 200, 429])
        self.assertEqual(wsgi_call(limited, path="/b")[0], 200)
        self.assertEqual(shared.check_limits("192.0.2.1", "/", "/b GET", cost=0)["remaining"], 2)
        # The single-engine form keys on the address alone, as it always has.
        alone = engine(capacity=2)
        wsgi_call(vorn.WSGIMiddleware(Recorder().wsgi, alone))
        self.assertEqual(alone.check_limits("192.0.2.1", "/", cost=0)["remaining"], 1)

    def test_a_name_that_cannot_prefix_keys_is_refused_and_a_long_path_is_digested(self):
        for name in ("x" * 201, "a\x1fb", "é" * 101):
            with self.subTest(name=name[:5]), self.assertRaises(TypeError):
                vorn.Rule(engine(), name=name)
        self.assertEqual(vorn.Rule(engine(), name="é" * 100).scope, "é" * 100)
        self.assertRegex(vorn.Rule(engine(), path="/" + "é" * 100).scope, "^#sha256:[0-9a-f]{64}$")


# Each case: the limits of the routes /a and /b (keyword arguments of limit(); "key":
# "user" keys by the X-User header, "cost": "weight" weighs by X-Weight), then
# requests (method, path, X-User, X-Weight, status asked of the view) and the
# status and remaining count each answer carries (None: no fields).
CASES = {
    "routes with one text keep counts apart unless shared": (
        {"/a": [{"limit": "2/minute"}], "/b": [{"limit": "2/minute"}]},
        [("GET", "/a", None, None, 200, 200, 1), ("GET", "/a", None, None, 200, 200, 0),
         ("GET", "/a", None, None, 200, 429, 0), ("GET", "/b", None, None, 200, 200, 1)]),
    "a shared name is one count": (
        {"/a": [{"limit": "2/minute", "shared": "s"}], "/b": [{"limit": "2/minute",
                                                              "shared": "s"}]},
        [("GET", "/a", None, None, 200, 200, 1), ("GET", "/b", None, None, 200, 200, 0),
         ("GET", "/a", None, None, 200, 429, 0)]),
    "the key, the methods and the cost": (
        {"/a": [{"limit": "4/minute", "key": "user", "methods": ["post"], "cost": "weight"}]},
        [("POST", "/a", "ann", "3", 200, 200, 1), ("POST", "/a", "ann", "2", 200, 429, 0),
         ("POST", "/a", "bob", "1", 200, 200, 3), ("POST", "/a", None, "4", 200, 200, 0),
         # Not counted by the route's limit, nor by the default (the route has a limit).
         ("GET", "/a", "ann", "1", 200, 200, None)]),
    "several limits: all must admit, the closest speaks": (
        {"/a": [{"limit": "5/minute"}, {"limit": "2/minute"}]},
        [("GET", "/a", None, None, 200, 200, 1), ("GET", "/a", None, None, 200, 200, 0),
         ("GET", "/a", None, None, 200, 429, 0)]),
    "only successful answers count; the default counts the rest": (
        {"/a": [{"limit": "1/minute", "count": "successful"}], "/b": []},
        [("GET", "/a", None, None, 404, 404, 0), ("GET", "/a", None, None, 200, 200, 0),
         ("GET", "/a", None, None, 200, 429, 0), ("GET", "/b", None, None, 200, 200, 2),
         ("GET", "/nowhere", None, None, 200, 404, 1)]),
}
DEFAULT = "3/minute"


class FrameworkTable:
    """CASES against one framework; subclasses build its app and ask it."""

    def test_route_limits(self):
        for name, (routes, steps) in CASES.items():
            with self.subTest(case=name):
                self.build(routes)
                for row, (method, path, user, weight, asked, status, left) in enumerate(steps):
                    got, fields = self.ask(method, path, user, weight, asked)
                    self.assertEqual(got, status, (name, row))
                    state = fields.get("ratelimit")
                    self.assertEqual(None if state is None else int(state.split(";r=")[1][0]),
                                     left, (name, row, state))
                    self.assertEqual("retry-after" in fields, status == 429, (name, row))

    def test_turned_off_then_reset(self):
        self.build({"/a": [{"limit": "1/minute"}]})
        self.ask("GET", "/a")
        self.assertEqual(self.ask("GET", "/a")[0], 429)
        self.turn(False)
        self.assertEqual(self.ask("GET", "/a"), (200, {}))
        self.turn(True)
        self.reset()
        self.assertEqual(self.ask("GET", "/a")[0], 200)

    def test_options_are_checked_when_declared(self):
        bad = ({"limit": "5/fortnight"}, {"limit": "5/minute", "count": "some"},
               {"limit": "5/minute", "cost": -1}, {"limit": "5/minute", "shared": "a\x1f"},
               {"limit": "5/minute", "methods": "GET"})
        for options in bad:
            with self.subTest(options=options), self.assertRaises((TypeError, ValueError)):
                self.build({"/a": [options]})
        with self.assertRaisesRegex(TypeError, "windowMs"):
            self.build({}, windowMs=1)

    def key_and_cost(self, options, header):
        options = dict(options)
        if options.get("key") == "user":
            options["key"] = lambda *request: header(request, "X-User")
        if options.get("cost") == "weight":
            options["cost"] = lambda *request: int(header(request, "X-Weight"))
        return options


@unittest.skipUnless(have("flask"), "needs Flask")
class FlaskTableTest(FrameworkTable, unittest.TestCase):
    def build(self, routes, **options):
        import flask
        import vorn.flask

        app = flask.Flask(__name__)
        self.limiter = limiter = vorn.flask.Limiter(app, default=DEFAULT,
                                                    algorithm="fixed_window", **options)
        self.app = app

        def header(request, name):
            return flask.request.headers.get(name)
        for number, (path, limits) in enumerate(routes.items()):
            def view():
                return "", int(flask.request.args["status"])
            for spec in limits:
                view = limiter.limit(**self.key_and_cost(spec, header))(view)
            app.add_url_rule(path, "view%d" % number, view, methods=["GET", "POST"])
        self.client = app.test_client()

    def ask(self, method, path, user=None, weight=None, status=200):
        headers = {k: v for k, v in (("X-User", user), ("X-Weight", weight)) if v}
        response = self.send(method, path + "?status=%d" % status, headers)
        return response.status_code, {k.lower(): v for k, v in response.headers.items()
                                      if "ratelimit" in k.lower() or k.lower() == "retry-after"}

    def send(self, method, url, headers):
        return self.client.open(url, method=method, headers=headers)

    def turn(self, on):
        self.app.config["VORN_ENABLED"] = on

    def reset(self):
        self.limiter.reset()


@unittest.skipUnless(have("fastapi") and have("httpx"), "needs FastAPI")
class FastAPITableTest(FlaskTableTest):
    def build(self, routes, **options):
        from fastapi import Depends, FastAPI
        from fastapi.responses import PlainTextResponse
        from fastapi.testclient import TestClient
        import vorn.fastapi

        app = FastAPI()
        self.limiter = limiter = vorn.fastapi.Limiter(app, default=DEFAULT,
                                                      algorithm="fixed_window", **options)

        def header(request, name):
            return request[0].headers.get(name)

        async def view(status: int):
            return PlainTextResponse("", status)
        for path, limits in routes.items():
            app.add_api_route(path, view, methods=["GET", "POST"], dependencies=[
                Depends(limiter.limit(**self.key_and_cost(spec, header))) for spec in limits])
        self.client = TestClient(app)

    def send(self, method, url, headers):
        return self.client.request(method, url, headers=headers)

    def test_without_the_middleware_the_dependencies_limit_alone(self):
        from fastapi import Depends, FastAPI
        from fastapi.testclient import TestClient
        import vorn.fastapi

        limiter = vorn.fastapi.Limiter(default="2/minute")
        app = FastAPI(dependencies=[Depends(limiter.default)])
        app.get("/a", dependencies=[Depends(limiter.limit("1/minute"))])(lambda: "a")
        app.get("/b")(lambda: "b")
        app.get("/c", dependencies=[Depends(limiter.limit("1/minute", count="failed"))])(
            lambda: "c")
        client = TestClient(app)
        answers = [client.get(path) for path in ("/a", "/a", "/b", "/b", "/b")]
        self.assertEqual([(a.status_code, a.headers["ratelimit"].split(";")[0]) for a in answers],
                         [(200, '"/a"'), (429, '"/a"'), (200, '"default"'), (200, '"default"'),
                          (429, '"default"')])
        with self.assertRaisesRegex(RuntimeError, "middleware"):
            client.get("/c")

    def turn(self, on):
        self.limiter.enabled = on

    def reset(self):
        asyncio.run(self.limiter.reset())


@unittest.skipUnless(have("django"), "needs Django")
class DjangoTableTest(FlaskTableTest):
    def setUp(self):
        from django.conf import settings

        if not settings.configured:
            settings.configure(ALLOWED_HOSTS=["*"], ROOT_URLCONF="vorn_test_urls",
                               MIDDLEWARE=["vorn.django.RateLimitMiddleware"])
            import django

            django.setup()

    def build(self, routes, **options):
        from django.http import HttpResponse
        from django.test import Client, override_settings
        from django.urls import clear_url_caches, path as url
        import vorn.django

        overriding = override_settings(VORN=dict(options, default=DEFAULT,
                                                 algorithm="fixed_window"))
        overriding.enable()
        self.addCleanup(overriding.disable)
        vorn.django.limiter.core  # reads the settings now, as the others do
        self.limiter = vorn.django.limiter

        def header(request, name):
            return request[0].headers.get(name)
        urls = types.ModuleType("vorn_test_urls")
        urls.urlpatterns = []
        for number, (path, limits) in enumerate(routes.items()):
            def view(request):
                return HttpResponse("", status=int(request.GET["status"]))
            view.__qualname__ = "view%d" % number
            for spec in limits:
                view = vorn.django.ratelimit(**self.key_and_cost(spec, header))(view)
            urls.urlpatterns.append(url(path.lstrip("/"), view))
        sys.modules["vorn_test_urls"] = urls
        clear_url_caches()
        self.client = Client()

    def turn(self, on):
        self.limiter.enabled = on

    def ask(self, method, path, user=None, weight=None, status=200):
        headers = {"HTTP_X_" + k: v for k, v in (("USER", user), ("WEIGHT", weight)) if v}
        response = getattr(self.client, method.lower())(path + "?status=%d" % status,
                                                        **headers)
        return response.status_code, {k.lower(): v for k, v in response.items()
                                      if "ratelimit" in k.lower() or k.lower() == "retry-after"}


if __name__ == "__main__":
    unittest.main()
