"""The WSGI and ASGI middlewares, driven with a plain environ and a plain
scope/receive/send against the built engine: no server involved."""
import asyncio
import sys
import unittest

import vorn_loader
from vorn_loader import engine

sys.path.insert(0, str(vorn_loader.REPO))

import vorn  # noqa: E402


def wsgi_call(app, path="/items", remote="192.0.2.1", script="", **headers):
    environ = {"REQUEST_METHOD": "GET", "SCRIPT_NAME": script, "PATH_INFO": path,
               "REMOTE_ADDR": remote}
    environ.update(("HTTP_" + k.upper(), v) for k, v in headers.items())
    started = []
    body = b"".join(app(environ, lambda status, hdrs, exc_info=None: started.append((status, hdrs))))
    status, hdrs = started[0]
    return int(status.split()[0]), dict(hdrs), body, environ


class Recorder:
    """A downstream application that records what reached it."""

    def __init__(self):
        self.calls = []

    def wsgi(self, environ, start_response):
        self.calls.append(environ)
        start_response("200 OK", [("Content-Type", "text/plain")])
        return [b"ok"]

    async def asgi(self, scope, receive, send):
        self.calls.append(scope)
        await send({"type": "http.response.start", "status": 200, "headers": []})
        await send({"type": "http.response.body", "body": b"ok"})


class WSGIMiddlewareTest(unittest.TestCase):
    def test_refusal_is_429_with_the_limit_fields_and_never_reaches_the_app(self):
        app = Recorder()
        limited = vorn.WSGIMiddleware(app.wsgi, engine(capacity=2))
        answers = [wsgi_call(limited) for _ in range(3)]
        self.assertEqual([a[0] for a in answers], [200, 200, 429])
        self.assertEqual(len(app.calls), 2)
        status, headers, body, environ = answers[2]
        self.assertEqual(headers["RateLimit"], '"default";r=0')
        self.assertEqual(headers["Content-Length"], str(len(body)))
        self.assertFalse(environ["vorn.result"]["allowed"])
        self.assertEqual(app.calls[1]["vorn.result"]["decision"]["remaining"], 0)

    def test_shadow_and_disabled_modes_let_everything_through(self):
        for mode in ("shadow", "disabled"):
            with self.subTest(mode=mode):
                app = Recorder()
                limited = vorn.WSGIMiddleware(app.wsgi, engine(mode=mode, capacity=1))
                statuses = [wsgi_call(limited)[0] for _ in range(3)]
                self.assertEqual(statuses, [200, 200, 200])
                last = app.calls[-1]["vorn.result"]
                self.assertEqual(last["would_block"], mode == "shadow")

    def test_keys_follow_the_canonical_client_address(self):
        limited = vorn.WSGIMiddleware(Recorder().wsgi, engine(capacity=1))
        self.assertEqual(wsgi_call(limited, remote="10.0.0.1")[0], 200)
        # The same client written as a mapped IPv6 address shares the allowance...
        self.assertEqual(wsgi_call(limited, remote="::ffff:10.0.0.1")[0], 429)
        # ...and a forged forwarding header does not buy a fresh one.
        self.assertEqual(wsgi_call(limited, remote="10.0.0.1", X_FORWARDED_FOR="1.2.3.4")[0], 429)
        self.assertEqual(wsgi_call(limited, remote="10.0.0.2")[0], 200)

    def test_trusted_proxy_header_names_the_client(self):
        limited = vorn.WSGIMiddleware(Recorder().wsgi, engine(capacity=1),
                                      trusted_proxies=["127.0.0.1"])
        for client, expected in (("203.0.113.1", 200), ("203.0.113.2", 200),
                                 ("203.0.113.1", 429)):
            status = wsgi_call(limited, remote="127.0.0.1", X_FORWARDED_FOR=client)[0]
            self.assertEqual(status, expected, client)

    def test_forwarded_header_is_read_when_configured(self):
        limited = vorn.WSGIMiddleware(Recorder().wsgi, engine(capacity=1),
                                      trusted_proxies=["127.0.0.1"], forwarded_header="Forwarded")
        self.assertEqual(wsgi_call(limited, remote="127.0.0.1", FORWARDED="for=203.0.113.1")[0], 200)
        self.assertEqual(wsgi_call(limited, remote="127.0.0.1", FORWARDED="for=203.0.113.2")[0], 200)
        # X-Forwarded-For is not the configured header: the proxy itself is the key.
        self.assertEqual(wsgi_call(limited, remote="127.0.0.1", X_FORWARDED_FOR="9.9.9.9")[0], 200)
        self.assertEqual(wsgi_call(limited, remote="127.0.0.1", X_FORWARDED_FOR="9.9.9.8")[0], 429)

    def test_identity_replaces_the_address_as_key(self):
        limited = vorn.WSGIMiddleware(Recorder().wsgi, engine(capacity=1),
                                      identity=lambda environ: environ.get("HTTP_X_USER"))
        self.assertEqual(wsgi_call(limited, X_USER="alice")[0], 200)
        self.assertEqual(wsgi_call(limited, X_USER="bob")[0], 200)
        self.assertEqual(wsgi_call(limited)[0], 200)  # no identity: keyed on the address
        self.assertEqual(wsgi_call(limited, X_USER="alice")[0], 429)

    def test_a_refused_head_request_gets_no_body(self):
        limited = vorn.WSGIMiddleware(Recorder().wsgi, engine(capacity=0))
        environ = {"REQUEST_METHOD": "HEAD", "PATH_INFO": "/", "REMOTE_ADDR": "192.0.2.1"}
        body = limited(environ, lambda status, headers, exc_info=None: None)
        self.assertEqual(b"".join(body), b"")

    def test_identities_are_keyed_apart_from_addresses_and_empty_is_none(self):
        limited = vorn.WSGIMiddleware(Recorder().wsgi, engine(capacity=1),
                                      identity=lambda environ: environ.get("HTTP_X_USER"))
        # An identity spelling an address does not spend that address's allowance.
        self.assertEqual(wsgi_call(limited, remote="203.0.113.7", X_USER="203.0.113.7")[0], 200)
        self.assertEqual(wsgi_call(limited, remote="203.0.113.7")[0], 200)
        # Everyone sending an empty identity is keyed on their own address.
        self.assertEqual(wsgi_call(limited, remote="192.0.2.8", X_USER="")[0], 200)
        self.assertEqual(wsgi_call(limited, remote="192.0.2.9", X_USER="")[0], 200)
        odd = vorn.WSGIMiddleware(Recorder().wsgi, engine(), identity=lambda environ: 42)
        with self.assertRaises(TypeError):
            wsgi_call(odd)

    def test_route_is_the_decoded_full_path_and_odd_text_is_safe(self):
        app = Recorder()
        limited = vorn.WSGIMiddleware(app.wsgi, engine(),
                                      identity=lambda environ: "\udcff-user")
        # WSGI hands over the path's UTF-8 bytes decoded as latin-1.
        wsgi_call(limited, script="/shop", path="/caf\u00c3\u00a9")
        self.assertEqual(app.calls[0]["vorn.result"]["decision"]["route"], "/shop/caf\u00e9")
        wsgi_call(limited, path="")
        self.assertEqual(app.calls[1]["vorn.result"]["decision"]["route"], "/")

    def test_engine_is_checked_at_construction(self):
        with self.assertRaises(TypeError):
            vorn.WSGIMiddleware(Recorder().wsgi, object())


class CreateEngineNamesTest(unittest.TestCase):
    def test_unknown_names_are_refused_with_the_valid_ones_listed(self):
        for kwargs, error in (({"mode": "Shadow"}, ValueError),
                              ({"algorithm": "token-bucket"}, ValueError),
                              ({"mode": None}, TypeError)):
            with self.subTest(kwargs=kwargs):
                with self.assertRaises(error) as caught:
                    vorn.create_engine(**kwargs)
                self.assertIn("shadow" if "mode" in kwargs else "leaky_bucket",
                              str(caught.exception))
        self.assertTrue(vorn.create_engine(algorithm="leaky_bucket", mode="shadow")
                        .check("a", "/")["allowed"])
        # The native class itself stays lenient.
        self.assertEqual(engine(mode="Shadow", capacity=0).check("a", "/")["allowed"], False)


def asgi_call(app, path="/items", client=("192.0.2.1", 5000), headers=(), scope_type="http"):
    scope = {"type": scope_type, "path": path, "root_path": "", "headers": list(headers)}
    if client is not None:
        scope["client"] = client
    sent = []

    async def receive():
        return {"type": "http.request", "body": b"", "more_body": False}

    async def send(message):
        sent.append(message)

    asyncio.run(app(scope, receive, send))
    return scope, sent


class ASGIMiddlewareTest(unittest.TestCase):
    def test_refusal_sends_a_complete_429_and_skips_the_app(self):
        app = Recorder()
        limited = vorn.ASGIMiddleware(app.asgi, engine(capacity=1))
        asgi_call(limited)
        _, sent = asgi_call(limited)
        self.assertEqual(len(app.calls), 1)
        self.assertEqual([m["type"] for m in sent], ["http.response.start", "http.response.body"])
        self.assertEqual(sent[0]["status"], 429)
        headers = dict(sent[0]["headers"])
        self.assertEqual(headers[b"ratelimit"], b'"default";r=0')
        self.assertEqual(int(headers[b"content-length"]), len(sent[1]["body"]))

    def test_admitted_request_gets_a_copied_scope_with_the_result(self):
        app = Recorder()
        limited = vorn.ASGIMiddleware(app.asgi, engine())
        scope, sent = asgi_call(limited, path="/caf\u00e9")
        self.assertNotIn("vorn.result", scope)
        self.assertEqual(app.calls[0]["vorn.result"]["decision"]["route"], "/caf\u00e9")
        self.assertEqual(sent[0]["status"], 200)

    def test_non_http_scopes_pass_untouched(self):
        app = Recorder()
        limited = vorn.ASGIMiddleware(app.asgi, engine(capacity=0))
        scope, _ = asgi_call(limited, scope_type="lifespan")
        self.assertIs(app.calls[0], scope)

    def test_websocket_handshakes_are_limited_only_when_asked(self):
        app = Recorder()
        passing = vorn.ASGIMiddleware(app.asgi, engine(capacity=0))
        asgi_call(passing, scope_type="websocket")
        self.assertEqual(len(app.calls), 1)
        limited = vorn.ASGIMiddleware(app.asgi, engine(capacity=0), limit_websockets=True)
        _, sent = asgi_call(limited, scope_type="websocket")
        self.assertEqual(sent, [{"type": "websocket.close", "code": 1008}])
        scope = {"type": "websocket", "path": "/ws", "client": ("192.0.2.1", 1),
                 "extensions": {"websocket.http.response": {}}}
        sent = []

        async def send(message):
            sent.append(message)

        asyncio.run(limited(scope, None, send))
        self.assertEqual([m["type"] for m in sent], ["websocket.http.response.start",
                                                      "websocket.http.response.body"])
        self.assertEqual((sent[0]["status"], len(app.calls)), (429, 1))

    def test_repeated_forwarding_lines_form_one_chain(self):
        limited = vorn.ASGIMiddleware(Recorder().asgi, engine(capacity=1),
                                      trusted_proxies=["10.0.0.0/8"])
        lines = [(b"x-forwarded-for", b"203.0.113.1"), (b"X-Forwarded-For", b"10.0.0.7")]
        _, first = asgi_call(limited, client=("10.0.0.1", 1), headers=lines)
        _, second = asgi_call(limited, client=("203.0.113.1", 1))
        self.assertEqual([first[0]["status"], second[0]["status"]], [200, 429])

    def test_missing_client_shares_one_unknown_key(self):
        limited = vorn.ASGIMiddleware(Recorder().asgi, engine(capacity=1))
        statuses = [asgi_call(limited, client=None)[1][0]["status"] for _ in range(2)]
        self.assertEqual(statuses, [200, 429])


if __name__ == "__main__":
    unittest.main()
