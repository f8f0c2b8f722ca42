"""A primary and its replica behind three sentinels, shared by five processes
(two blocking Python, one asyncio, two Node) through a redis+sentinel:// URL:
exact totals; then the primary is killed under load: no check waits past the
timeout, and once the sentinels promote the replica every engine follows it,
without a restart, within 5 s and with exact totals again."""
import threading
import time
import unittest

from redis_sets import FIVE, HAVE_TOOLS, Sentinels, Workers, totals, wait_for

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
