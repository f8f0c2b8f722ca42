"""Servers that answer like no Redis does (hostile_redis.py's modes), faced by
the blocking, asyncio and Node engines alike: every check returns within the
timeout, the failure policy answers it, one warning is logged, the Node process
lives through all of them, and a real Redis started on the port afterwards is
used again by the engines of the last one."""
import asyncio
import json
import logging
import os
import shutil
import subprocess
import time
import unittest

from hostile_redis import MODES, HostileServer
from redis_support import ADDON, HAVE_REDIS_SERVER, HERE, LIBRARY_DIR, RedisServer

from vorn import redis_engine

TIMEOUT_S = 0.1
# What a loaded machine adds to the timeout before a check is back.
SLACK_S = 0.1


def engine_of(cls, url):
    return cls(url, "token_bucket", "active", 100, 0, None, None, "", on_error="allow",
               timeout=TIMEOUT_S, probe_interval=0.05)


def by_policy(result):
    # The allow policy's answer carries no count; one Redis decided does.
    return result["allowed"] and result["decision"]["remaining"] is None


@unittest.skipUnless(HAVE_REDIS_SERVER and shutil.which("node") and os.path.exists(ADDON),
                     "needs redis-server, node and the built addon")
class HostileServerTest(unittest.TestCase):
    def setUp(self):
        env = dict(os.environ, VORN_PYTHON_PATH=LIBRARY_DIR, VORN_NODE_ADDON=ADDON)
        self.node = subprocess.Popen(["node", "hostile_worker.js"], cwd=HERE, env=env,
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.addCleanup(self.stop_node)
        self.loop = asyncio.new_event_loop()
        self.addCleanup(self.loop.close)

    def stop_node(self):
        self.node.stdin.close()
        self.node.wait(10)
        self.node.stdout.close()

    def ask_node(self, line):
        self.node.stdin.write(line + "\n")
        self.node.stdin.flush()
        answer = self.node.stdout.readline()
        self.assertTrue(answer, "the Node process exited (%s)" % self.node.poll())
        return json.loads(answer)

    def timed(self, call):
        started = time.monotonic()
        result = call()
        return result, time.monotonic() - started

    def python_checks(self, port):
        import redis
        import redis.asyncio

        url = "redis://127.0.0.1:%d/0" % port
        # Clients made by the application keep redis-py's defaults: no timeouts at all.
        blocking = [engine_of(redis_engine.RedisEngine, url),
                    engine_of(redis_engine.RedisEngine, redis.Redis(port=port))]
        asyncio_engines = [engine_of(redis_engine.AsyncRedisEngine, url),
                           engine_of(redis_engine.AsyncRedisEngine, redis.asyncio.Redis(port=port))]
        answers = []
        with self.assertLogs("vorn.redis", logging.WARNING) as logs:
            for _ in range(3):
                for engine in blocking:
                    answers.append(self.timed(lambda: engine.check("10.9.0.1", "/")))
                for engine in asyncio_engines:
                    answers.append(self.timed(lambda: self.loop.run_until_complete(
                        engine.check("10.9.0.1", "/"))))
        failures = [line for line in logs.output if "failed" in line]
        return blocking + asyncio_engines, answers, failures

    def close(self, engines):
        for engine in engines:
            closed = engine.close()
            if closed is not None:
                self.loop.run_until_complete(closed)

    def test_every_wrong_answer_is_a_bounded_failure_and_redis_is_used_after(self):
        port = 0
        slowest = 0.0
        for mode in MODES:
            with self.subTest(mode=mode):
                server = HostileServer(mode, port)
                port = server.port
                try:
                    engines, answers, failures = self.python_checks(port)
                    node = self.ask_node("check %d" % port)
                finally:
                    server.stop()
                if mode != list(MODES)[-1]:
                    self.close(engines)
                self.assertEqual([by_policy(result) for result, _ in answers], [True] * 12)
                self.assertEqual(len(failures), 4, failures)  # one per engine
                self.assertEqual(node["byPolicy"], [True] * 6, node)
                self.assertEqual(node["warnings"], [1, 1], node)
                elapsed = [seconds for _, seconds in answers] + \
                    [ms / 1000 for ms in node["elapsedMs"]]
                slowest = max(slowest, *elapsed)
                self.assertLess(max(elapsed), TIMEOUT_S + SLACK_S, elapsed)
        print("\nslowest check against a hostile server: %.0f ms (timeout %.0f ms)"
              % (slowest * 1000, TIMEOUT_S * 1000))
        # The engines of the last mode find the real Redis by themselves.
        real = RedisServer()
        real.port = port
        real.start()
        self.addCleanup(real.kill)
        deadline = time.monotonic() + 10
        while any(engine.degraded for engine in engines) and time.monotonic() < deadline:
            self.loop.run_until_complete(asyncio.sleep(0.02))
        for engine in engines:
            result = engine.check("10.9.0.1", "/")
            if asyncio.iscoroutine(result):
                result = self.loop.run_until_complete(result)
            self.assertFalse(by_policy(result))
        self.assertEqual(self.ask_node("redis"), {"byPolicy": [False, False],
                                                  "degraded": [False, False]})
        self.close(engines)


if __name__ == "__main__":
    unittest.main()
