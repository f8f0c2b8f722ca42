"""A Redis Cluster of three primaries and three replicas, shared by five
processes (two blocking Python, one asyncio, two Node): exact totals; then one
primary is killed under load: no check waits past the timeout, keys on the
other primaries stay exact, and once the replica is promoted every engine is
back on Redis within 5 s with exact totals again."""
import threading
import time
import unittest

from redis_sets import FIVE, HAVE_TOOLS, Cluster, Workers, totals, wait_for

from vorn.redis_engine import key_digest

TIMEOUT_MS = 500
# What a loaded machine adds to the timeout before a check is back.
SLACK_MS = 250


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
