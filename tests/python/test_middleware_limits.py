"""Rate-limit fields, Retry-After, several rules, skip and on_refused in the middlewares."""
import re
import sys
import unittest
from unittest import mock

import vorn_loader
from vorn_loader import engine

sys.path.insert(0, str(vorn_loader.REPO))

import vorn  # noqa: E402
from test_middleware import Recorder, asgi_call, wsgi_call  # noqa: E402


def wsgi(app, method="GET", **kwargs):
    return wsgi_call(_with_method(app, method), **kwargs)


def _with_method(app, method):
    def set_method(environ, start_response):
        environ["REQUEST_METHOD"] = method
        return app(environ, start_response)
    return set_method


class HeaderTest(unittest.TestCase):
    @mock.patch("vorn._headers._unix_ms", lambda: 1_800_000_000_000)  # x's reset is a Unix time
    def test_each_style_on_admitted_and_refused_answers(self):
        expected = {
            "draft": [{"RateLimit-Policy": '"default";q=2;w=4', "RateLimit": '"default";r=1;t=2'},
                      {"RateLimit-Policy": '"default";q=2;w=4', "RateLimit": '"default";r=0;t=4',
                       "Retry-After": "2"}],
            "legacy": [{"RateLimit-Limit": "2", "RateLimit-Remaining": "1", "RateLimit-Reset": "2"},
                       {"RateLimit-Limit": "2", "RateLimit-Remaining": "0", "RateLimit-Reset": "4",
                        "Retry-After": "2"}],
            "x": [{"X-RateLimit-Limit": "2", "X-RateLimit-Remaining": "1",
                   "X-RateLimit-Reset": "1800000002"},
                  {"X-RateLimit-Limit": "2", "X-RateLimit-Remaining": "0",
                   "X-RateLimit-Reset": "1800000004", "Retry-After": "2"}],
            None: [{}, {"Retry-After": "2"}],
        }
        for style, (admitted, refused) in expected.items():
            with self.subTest(style=style):
                limited = vorn.WSGIMiddleware(Recorder().wsgi, engine(capacity=2, refill_rate=0.5),
                                              headers=style)
                first = wsgi_call(limited)[1]
                wsgi_call(limited)
                status, last, _, _ = wsgi_call(limited)
                self.assertEqual(status, 429)
                names = {k for k in first if "ratelimit" in k.lower() or k == "Retry-After"}
                self.assertEqual({k: first[k] for k in names}, admitted)
                names = {k for k in last if "ratelimit" in k.lower() or k == "Retry-After"}
                self.assertEqual({k: last[k] for k in names}, refused)
        with self.assertRaises(ValueError):
            vorn.WSGIMiddleware(Recorder().wsgi, engine(), headers="X-RateLimit")

    def test_an_engine_without_figures_tells_only_a_refusal(self):
        class CheckOnly:
            def __init__(self):
                self.inner = engine(capacity=1)

            def check(self, ip, route, identity=None):
                return self.inner.check(ip, route, identity)

        limited = vorn.WSGIMiddleware(Recorder().wsgi, CheckOnly())
        self.assertNotIn("RateLimit-Remaining", wsgi_call(limited)[1])
        status, headers, _, _ = wsgi_call(limited)
        self.assertEqual((status, headers["RateLimit-Remaining"]), (429, "0"))
        self.assertNotIn("Retry-After", headers)

    def test_retry_after_rounds_up_and_is_never_zero(self):
        for rate, retry in ((3.0, "1"), (0.4, "3"), (0.0, "60")):
            limited = vorn.WSGIMiddleware(Recorder().wsgi, engine(capacity=1, refill_rate=rate))
            wsgi_call(limited)
            self.assertEqual(wsgi_call(limited)[1]["Retry-After"], retry, rate)

    def test_shadow_mode_sends_the_refusal_fields_on_a_200(self):
        app = Recorder()
        limited = vorn.ASGIMiddleware(app.asgi, engine(mode="shadow", capacity=1, refill_rate=1))
        asgi_call(limited)
        _, sent = asgi_call(limited)
        self.assertEqual(sent[0]["status"], 200)
        headers = dict(sent[0]["headers"])
        self.assertEqual(headers[b"ratelimit"], b'"default";r=0;t=1')
        self.assertEqual(headers[b"retry-after"], b"1")


class RulesTest(unittest.TestCase):
    def rules(self):
        return [vorn.Rule(engine(capacity=1), path="/login", methods=["POST"], name="login"),
                vorn.Rule(engine(capacity=3), path=re.compile(r"/api/v\d+/"), name="api"),
                vorn.Rule(engine(capacity=10), name="global")]

    def test_every_applying_rule_counts_and_the_closest_to_refusing_speaks(self):
        limited = vorn.WSGIMiddleware(Recorder().wsgi, rules=self.rules())
        status, headers, _, _ = wsgi(limited, "POST", path="/login")
        self.assertEqual((status, headers["RateLimit"]), (200, '"login";r=0'))
        # A GET of /login is not the login rule's; the global one has 8 left.
        self.assertEqual(wsgi(limited, path="/login")[1]["RateLimit"], '"global";r=8')
        status, headers, _, _ = wsgi(limited, "POST", path="/login")
        self.assertEqual((status, headers["RateLimit-Policy"]), (429, '"login";q=1'))
        self.assertEqual(wsgi(limited, path="/api/v2/items")[1]["RateLimit"], '"api";r=2')
        self.assertEqual(wsgi(limited, path="/api/vx/items")[1]["RateLimit"], '"global";r=5')
        self.assertEqual([wsgi(limited, path="/api/v1/")[0] for _ in range(3)], [200, 200, 429])
        # The refusals counted in the global rule too: 5 - 3 left.
        self.assertEqual(wsgi(limited, path="/")[1]["RateLimit"], '"global";r=1')

    def test_rule_identity_skip_and_on_refused(self):
        def refused(environ, start_response):
            start_response("503 Service Unavailable", [("Content-Type", "text/plain")])
            return [b"busy " + environ["vorn.result"]["reason"].encode()]

        rules = [vorn.Rule(engine(capacity=1), identity=lambda environ: environ.get("HTTP_USER"))]
        limited = vorn.WSGIMiddleware(Recorder().wsgi, rules=rules, on_refused=refused,
                                      skip=lambda environ: environ["PATH_INFO"] == "/health")
        self.assertEqual(wsgi_call(limited, remote="192.0.2.1", user="ann")[0], 200)
        # One user from another address is one key; another user is another.
        status, headers, body, _ = wsgi_call(limited, remote="192.0.2.2", user="ann")
        self.assertEqual((status, body, headers["Retry-After"]), (503, b"busy token_exhausted", "60"))
        self.assertEqual(wsgi_call(limited, user="bob")[0], 200)
        for _ in range(3):
            status, headers, _, environ = wsgi_call(limited, path="/health", user="bob")
            self.assertEqual(status, 200)
            self.assertNotIn("RateLimit", headers)
            self.assertNotIn("vorn.result", environ)

    def test_bad_rules_are_refused(self):
        for bad in ([], ["not a rule"]):
            with self.assertRaises(TypeError):
                vorn.WSGIMiddleware(Recorder().wsgi, rules=bad)
        with self.assertRaises(TypeError):
            vorn.WSGIMiddleware(Recorder().wsgi, engine(), rules=[vorn.Rule(engine())])
        with self.assertRaises(TypeError):
            vorn.Rule(engine(), methods="GET")


if __name__ == "__main__":
    unittest.main()
