"""Two Python and two Node processes spending the same clients' allowances of a
limit of two rates, with costs, on one zone and on one Redis: together they
admit exactly the allowance, and a reset from one process is seen by the
others' next check."""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

from redis_support import ADDON, HAVE_REDIS_SERVER, HERE, LIBRARY_DIR, RedisServer
from limits_worker import ALGORITHMS, KEYS, make_engine

import vorn

PER_MINUTE = 300  # the tighter of "300/minute; 1000/hour" within one run


@unittest.skipUnless(shutil.which("node") and os.path.exists(ADDON), "needs node and the addon")
class SharedLimitsTest(unittest.TestCase):
    def run_workers(self, store, extra=()):
        env = dict(os.environ, VORN_PYTHON_PATH=LIBRARY_DIR, VORN_NODE_ADDON=ADDON)
        commands = [[sys.executable, "limits_worker.py", *store, *extra]] * 2 + \
            [["node", "limits_worker.js", *store, *extra]] * 2
        workers = [subprocess.Popen(command, cwd=HERE, env=env, stdout=subprocess.PIPE)
                   for command in commands]
        reports = []
        for worker in workers:
            out, _ = worker.communicate(timeout=120)
            self.assertEqual(worker.returncode, 0)
            reports.append(json.loads(out))
        return reports

    def check_store(self, store):
        reports = self.run_workers(store)
        for algorithm in ALGORITHMS:
            totals = [sum(report[algorithm][key] for report in reports) for key in range(KEYS)]
            self.assertEqual(totals, [PER_MINUTE] * KEYS, algorithm)
            make_engine(algorithm, list(store)).reset("10.2.0.0")
        # Every other process sees the reset client pass and the others still refused.
        for report in self.run_workers(store, ["look"]):
            for algorithm in ALGORITHMS:
                self.assertEqual(report[algorithm], [True] + [False] * (KEYS - 1), algorithm)

    def test_one_zone(self):
        directory = tempfile.mkdtemp(prefix="vorn-limits-")
        self.addCleanup(shutil.rmtree, directory, True)
        name = "limits%d" % os.getpid()
        self.addCleanup(vorn.remove_zone, name, zone_dir=directory)
        self.check_store(("zone", name, directory))

    @unittest.skipUnless(HAVE_REDIS_SERVER, "needs redis-server")
    def test_one_redis(self):
        server = RedisServer().start()
        self.addCleanup(server.kill)
        self.check_store(("redis", server.url))


if __name__ == "__main__":
    unittest.main()
