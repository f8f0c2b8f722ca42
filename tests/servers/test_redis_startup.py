"""Five processes (two blocking Python, one asyncio, two Node) that start at
once on one Redis and check as soon as their engines are made admit exactly
what one engine would: no process answers its first checks on its own."""
import unittest

from redis_sets import FIVE, HAVE_TOOLS, Workers, totals
from redis_support import RedisServer

KEYS = ["10.7.0.%d" % n for n in range(8)]


@unittest.skipUnless(HAVE_TOOLS, "needs redis-server, redis-cli, node and the built addon")
class StartupTest(unittest.TestCase):
    def test_five_processes_starting_together_share_one_count(self):
        server = RedisServer().start()
        self.addCleanup(server.kill)
        workers = Workers(FIVE, server.url, 500)
        self.addCleanup(workers.stop)
        answers = workers.run(KEYS, 100)
        # 300 per key and no refill, however the 4,000 checks interleave.
        self.assertEqual(sum(totals(answers).values()), 2400, answers)
        self.assertEqual([answer["warnings"] for answer in answers], [[]] * 5)


if __name__ == "__main__":
    unittest.main()
