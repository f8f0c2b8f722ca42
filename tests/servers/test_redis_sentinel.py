"""A primary and its replica behind three sentinels, shared by five processes
(two blocking Python, one asyncio, two Node) through a redis+sentinel:// URL:
exact totals; then the primary is killed under load: no check waits past the
timeout, and once the sentinels promote the replica every engine follows it,
without a restart, within 5 s and with exact totals again."""
import asyncio
import json
import os
import subprocess
import threading
import time
import unittest

from redis_sets import FIVE, HAVE_TOOLS, Sentinels, Workers, totals, wait_for
from redis_support import ADDON, HERE

from vorn import redis_engine

# An engine on an ioredis client of Sentinel the application made: one check of each key.
NODE_SENTINEL_CLIENT = """
const Redis = require('ioredis');
const { createEngine } = require('./redis_support').loadVorn();
const [port, name, ...keys] = process.argv.slice(1);
const client = new Redis({ sentinels: [{ host: '127.0.0.1', port: Number(port) }], name });
const engine = createEngine({ capacity: 3, refillRate: 0, redis: client, redisTimeoutMs: 1000 });
(async () => {
  const answers = [];
  for (const key of keys) answers.push((await engine.checkRequest(key, '/', 0)).allowed);
  console.log(JSON.stringify(answers));
  await engine.close();
  client.disconnect();
})();
"""

TIMEOUT_MS = 500
# What a loaded machine adds to the timeout before a check is back.
SLACK_MS = 250


@unittest.skipUnless(HAVE_TOOLS, "needs redis-server, redis-cli, node and the built addon")
class SentinelTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.sentinels = Sentinels()

    @classmethod
    def tearDownClass(cls):
        cls.sentinels.stop()

    def test_client_objects_of_both_hosts_share_the_count(self):
        import redis.asyncio.sentinel
        import redis.sentinel

        sentinels = [("127.0.0.1", port) for port in self.sentinels.sentinels]
        service = self.sentinels.SERVICE
        keys = ["10.5.9.%d" % n for n in range(4)]
        client = redis.sentinel.Sentinel(sentinels).master_for(service)
        blocking = redis_engine.RedisEngine(client, capacity=3, refill_rate=0, timeout=1.0)
        admitted = [blocking.check(key, "/")["allowed"] for key in keys * 2]

        async def from_asyncio():
            client = redis.asyncio.sentinel.Sentinel(sentinels).master_for(service)
            engine = redis_engine.AsyncRedisEngine(client, capacity=3, refill_rate=0,
                                                   timeout=1.0)
            answers = [(await engine.check(key, "/"))["allowed"] for key in keys]
            await engine.close()
            await client.close()
            return answers

        admitted += asyncio.run(from_asyncio())
        admitted += json.loads(subprocess.run(
            ["node", "-e", NODE_SENTINEL_CLIENT, str(sentinels[0][1]), service, *keys],
            cwd=HERE, check=True, capture_output=True, text=True, timeout=60,
            env=dict(os.environ, VORN_NODE_ADDON=ADDON)).stdout)
        # Three each: two from the blocking engine, one from asyncio, none from Node.
        self.assertEqual(admitted, [True] * 12 + [False] * 4)
        self.assertFalse(blocking.degraded)
        blocking.close()
        client.close()

    def test_engines_follow_the_promoted_replica(self):
        sentinels = self.sentinels
        workers = Workers(FIVE, sentinels.url, TIMEOUT_MS)
        self.addCleanup(workers.stop)
        before = ["10.5.0.%d" % n for n in range(8)]
        answers = workers.run(before, 100)
        self.assertEqual(totals(answers), {key: 300 for key in before})
        self.assertEqual([answer["warnings"] for answer in answers], [[]] * 5)

        workers.send(["10.5.1.%d" % n for n in range(8)], 300, pause_ms=5)
        killer = threading.Timer(0.5, sentinels.kill, (sentinels.primary,))
        killer.start()
        answers = workers.answers()
        killer.join()
        self.assertLess(max(answer["max_ms"] for answer in answers), TIMEOUT_MS + SLACK_MS)

        wait_for(lambda: sentinels.current_primary() == sentinels.replica, 30,
                 "the sentinels' failover")
        time.sleep(5)
        after = ["10.5.2.%d" % n for n in range(8)]
        answers = workers.run(after, 100)
        self.assertEqual(totals(answers), {key: 300 for key in after})
        self.assertEqual([answer["degraded"] for answer in answers], [False] * 5)


if __name__ == "__main__":
    unittest.main()
