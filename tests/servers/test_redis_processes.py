"""Two Python and two Node processes checking the same clients against one
Redis admit together exactly what one engine admits."""
import json
import os
import shutil
import subprocess
import sys
import unittest

from redis_support import ADDON, HAVE_REDIS_SERVER, HERE, LIBRARY_DIR, RedisServer
from redis_worker import KEYS, LIMITS


@unittest.skipUnless(HAVE_REDIS_SERVER and shutil.which("node") and os.path.exists(ADDON),
                     "needs redis-server, node and the built addon")
class SharedLimitTest(unittest.TestCase):
    def test_four_processes_admit_what_one_engine_would(self):
        server = RedisServer().start()
        self.addCleanup(server.kill)
        env = dict(os.environ, VORN_PYTHON_PATH=LIBRARY_DIR, VORN_NODE_ADDON=ADDON)
        commands = [[sys.executable, "redis_worker.py", server.url]] * 2 + \
            [["node", "redis_worker.js", server.url]] * 2
        workers = [subprocess.Popen(command, cwd=HERE, env=env, stdout=subprocess.PIPE)
                   for command in commands]
        reports = []
        for worker in workers:
            out, _ = worker.communicate(timeout=120)
            self.assertEqual(worker.returncode, 0)
            reports.append(json.loads(out))
        # floor(5.5) tokens, 7 requests a minute: per client, across all four.
        expected = {"token_bucket": 5, "sliding_window": 7}
        for algorithm, _, _ in LIMITS:
            totals = [sum(report[algorithm][key] for report in reports) for key in range(KEYS)]
            self.assertEqual(totals, [expected[algorithm]] * KEYS, algorithm)


if __name__ == "__main__":
    unittest.main()
