"""The WSGI and ASGI middlewares on Redis engines, behind real servers: two
WSGI servers and one ASGI server (uvicorn, Starlette) pointed at one Redis hold
one limit together."""
import http.client
import threading
import time
import unittest
import wsgiref.simple_server

from redis_support import HAVE_REDIS_SERVER, RedisServer, free_port

import vorn

CAPACITY = 3


def get(port):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    try:
        connection.request("GET", "/items", headers={"X-User": "user-1"})
        response = connection.getresponse()
        response.read()
        return response.status, response.getheader("RateLimit")
    finally:
        connection.close()


class QuietHandler(wsgiref.simple_server.WSGIRequestHandler):
    def log_message(self, *args):
        pass


def hello_wsgi(environ, start_response):
    start_response("200 OK", [("Content-Type", "text/plain")])
    return [b"hello\n"]


@unittest.skipUnless(HAVE_REDIS_SERVER, "redis-server is not installed")
class RedisMiddlewareTest(unittest.TestCase):
    def setUp(self):
        self.redis = RedisServer().start()
        self.addCleanup(self.redis.kill)
        self.options = dict(capacity=CAPACITY, refill_rate=0, redis=self.redis.url)

    def start_wsgi(self):
        engine = vorn.create_engine(**self.options)
        app = vorn.WSGIMiddleware(hello_wsgi, engine, identity=lambda e: e.get("HTTP_X_USER"))
        server = wsgiref.simple_server.make_server("127.0.0.1", 0, app,
                                                   handler_class=QuietHandler)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        self.addCleanup(server.server_close)
        self.addCleanup(server.shutdown)
        return server.server_address[1]

    def start_asgi(self):
        import uvicorn
        from starlette.applications import Starlette
        from starlette.responses import PlainTextResponse
        from starlette.routing import Route

        async def items(request):
            return PlainTextResponse("hello\n")

        def user(scope):
            return dict(scope["headers"]).get(b"x-user", b"").decode() or None

        app = vorn.ASGIMiddleware(Starlette(routes=[Route("/items", items)]),
                                  vorn.create_async_engine(**self.options), identity=user)
        port = free_port()
        server = uvicorn.Server(uvicorn.Config(app, host="127.0.0.1", port=port,
                                               log_level="warning", lifespan="off"))
        thread = threading.Thread(target=server.run, daemon=True)
        thread.start()
        deadline = time.monotonic() + 10
        while not server.started and time.monotonic() < deadline:
            time.sleep(0.02)
        self.assertTrue(server.started)

        def stop():
            server.should_exit = True
            thread.join(10)
        self.addCleanup(stop)
        return port

    def test_wsgi_and_asgi_servers_share_one_limit(self):
        ports = [self.start_wsgi(), self.start_wsgi(), self.start_asgi()]
        answers = [get(ports[i % 3]) for i in range(9)]
        self.assertEqual([status for status, _ in answers], [200] * CAPACITY + [429] * 6)
        # The fields count down across the three servers: one limit.
        self.assertEqual([header for _, header in answers],
                         ['"default";r=%d' % left for left in range(CAPACITY - 1, -1, -1)]
                         + ['"default";r=0'] * 6)

    def test_wsgi_refuses_an_asyncio_engine(self):
        with self.assertRaises(TypeError):
            vorn.WSGIMiddleware(hello_wsgi, vorn.create_async_engine(redis=self.redis.url))


if __name__ == "__main__":
    unittest.main()
