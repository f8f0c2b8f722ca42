"""A Redis Cluster of three primaries and three replicas, shared by five
processes (two blocking Python, one asyncio, two Node): exact totals; then one
primary is killed under load: no check waits past the timeout, keys on the
other primaries stay exact, and once the replica is promoted every engine is
back on Redis within 5 s with exact totals again."""
import json
import os
import subprocess
import threading
import time
import unittest

from redis_sets import FIVE, HAVE_TOOLS, Cluster, Workers, totals, wait_for
from redis_support import ADDON, HERE

from vorn.redis_engine import key_digest

TIMEOUT_MS = 500
# What a loaded machine adds to the timeout before a check is back.
SLACK_MS = 250


# An engine on an ioredis Cluster the application made: one check of each key.
NODE_CLUSTER_CLIENT = """
const Redis = require('ioredis');
const { createEngine } = require('./redis_support').loadVorn();
const [port, ...keys] = process.argv.slice(1);
const client = new Redis.Cluster([{ host: '127.0.0.1', port: Number(port) }]);
const engine = createEngine({ capacity: 3, refillRate: 0, redis: client, redisTimeoutMs: 1000 });
(async () => {
  const answers = [];
  for (const key of keys) answers.push((await engine.checkRequest(key, '/', 0)).allowed);
  console.log(JSON.stringify(answers));
  await engine.close();
  client.disconnect();
})();
"""


def full_key(key):
    return "vorn:tb:300:0:" + key_digest(key)


@unittest.skipUnless(HAVE_TOOLS, "needs redis-server, redis-cli, node and the built addon")
class ClusterTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.cluster = Cluster()

    @classmethod
    def tearDownClass(cls):
        cls.cluster.stop()

    def test_client_objects_of_both_hosts_share_the_count(self):
        import asyncio

        import redis
        import redis.asyncio
        from redis.asyncio.cluster import ClusterNode

        from vorn import redis_engine

        port = self.cluster.ports[0]
        keys = ["10.6.9.%d" % n for n in range(4)]
        blocking = redis_engine.RedisEngine(redis.RedisCluster(host="127.0.0.1", port=port),
                                            capacity=3, refill_rate=0, timeout=1.0)
        admitted = [blocking.check(key, "/")["allowed"] for key in keys * 2]

        async def from_asyncio():
            client = redis.asyncio.RedisCluster(startup_nodes=[ClusterNode("127.0.0.1", port)])
            engine = redis_engine.AsyncRedisEngine(client, capacity=3, refill_rate=0,
                                                   timeout=1.0)
            answers = [(await engine.check(key, "/"))["allowed"] for key in keys]
            await engine.close()
            await client.close()
            return answers

        admitted += asyncio.run(from_asyncio())
        admitted += json.loads(subprocess.run(
            ["node", "-e", NODE_CLUSTER_CLIENT, str(port), *keys], cwd=HERE, check=True,
            capture_output=True, text=True, timeout=60,
            env=dict(os.environ, VORN_NODE_ADDON=ADDON)).stdout)
        # Three each: two from the blocking engine, one from asyncio, none from Node.
        self.assertEqual(admitted, [True] * 12 + [False] * 4)
        self.assertFalse(blocking.degraded)
        blocking.close()
        blocking.client.close()

    def test_exact_totals_through_a_primary_killed_under_load(self):
        cluster = self.cluster
        workers = Workers(FIVE, cluster.url, TIMEOUT_MS)
        self.addCleanup(workers.stop)
        before = ["10.6.0.%d" % n for n in range(8)]
        answers = workers.run(before, 100)
        self.assertEqual(totals(answers), {key: 300 for key in before})
        self.assertEqual([answer["warnings"] for answer in answers], [[]] * 5)

        during = ["10.6.1.%d" % n for n in range(8)]
        victim = cluster.owner_of(full_key(during[0]))
        survivors = [key for key in during if cluster.owner_of(full_key(key)) != victim]
        self.assertTrue(survivors, "every key on one primary")
        workers.send(during, 300, pause_ms=5)
        killer = threading.Timer(0.5, cluster.kill, (victim,))
        killer.start()
        answers = workers.answers()
        killer.join()
        self.assertLess(max(answer["max_ms"] for answer in answers), TIMEOUT_MS + SLACK_MS)
        summed = totals(answers)
        self.assertEqual({key: summed[key] for key in survivors},
                         {key: 300 for key in survivors})

        wait_for(lambda: cluster.owner_of(full_key(during[0])) not in (victim, None), 30,
                 "the replica's promotion")
        time.sleep(5)
        after = ["10.6.2.%d" % n for n in range(8)]
        answers = workers.run(after, 100)
        self.assertEqual(totals(answers), {key: 300 for key in after})
        self.assertEqual([answer["degraded"] for answer in answers], [False] * 5)


if __name__ == "__main__":
    unittest.main()
