"""Two Python and two Node processes on one Redis, each an engine of 300
requests a minute and 1000 an hour: bursts with costs of 1 and 2 from all four
at once admit exactly the allowance in total, and a reset from one process is
what the others' next checks see."""
import json
import os
import shutil
import subprocess
import sys
import unittest

from redis_support import ADDON, HAVE_REDIS_SERVER, HERE, LIBRARY_DIR, RedisServer

BURST = 300  # checks per process; 4 x 300 ask for 1,800 units of 300


class Worker:
    def __init__(self, command, env):
        self.process = subprocess.Popen(command, cwd=HERE, env=env, stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, text=True)
        assert self.answer() == {"ready": True}

    def send(self, **order):
        self.process.stdin.write(json.dumps(order) + "\n")
        self.process.stdin.flush()

    def answer(self):
        line = self.process.stdout.readline()
        if not line:
            raise AssertionError("a worker stopped: %s" % self.process.wait())
        return json.loads(line)

    def ask(self, **order):
        self.send(**order)
        return self.answer()

    def stop(self):
        self.process.stdin.close()
        self.process.wait(timeout=30)


@unittest.skipUnless(HAVE_REDIS_SERVER and shutil.which("node") and os.path.exists(ADDON),
                     "needs redis-server, node and the built addon")
class SharedRatesTest(unittest.TestCase):
    def test_four_processes_hold_one_limit_of_two_rates(self):
        server = RedisServer().start()
        self.addCleanup(server.kill)
        env = dict(os.environ, VORN_PYTHON_PATH=LIBRARY_DIR, VORN_NODE_ADDON=ADDON)
        commands = [[sys.executable, "rates_worker.py", server.url]] * 2 + \
            [["node", "rates_worker.js", server.url]] * 2
        workers = [Worker(command, env) for command in commands]
        for worker in workers:
            self.addCleanup(worker.stop)

        # All four bursts run at once: each worker is sent its order, then all are read.
        for worker in workers:
            worker.send(op="burst", key="client-1", requests=BURST)
        admitted = [worker.answer()["admitted"] for worker in workers]
        self.assertEqual(sum(admitted), 300, admitted)
        self.assertEqual(workers[3].ask(op="check", key="client-1", cost=1),
                         {"allowed": False, "remaining": 0})

        # A reset by a Python process: the next checks, from every process, start afresh.
        self.assertEqual(workers[0].ask(op="reset", key="client-1"), {})
        answers = [workers[n].ask(op="check", key="client-1", cost=cost)
                   for n, cost in ((2, 1), (1, 2), (3, 1), (0, 0))]
        self.assertEqual(answers, [{"allowed": True, "remaining": 299},
                                   {"allowed": True, "remaining": 297},
                                   {"allowed": True, "remaining": 296},
                                   {"allowed": True, "remaining": 296}])


if __name__ == "__main__":
    unittest.main()
