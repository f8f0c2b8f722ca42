"""Synced engines against a real redis-server: two processes share one limit
as one exact engine would, Redis stopped under load neither stalls checks nor
loses admissions, and close() and fork() hand over what each process holds."""
import os
import subprocess
import sys
import threading
import time
import unittest

from redis_support import HAVE_REDIS_SERVER, HERE, RedisServer

import vorn
from vorn.redis_engine import key_digest

INTERVAL = 0.1


def wait_until(condition, seconds=10.0):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError("condition not met in %.0f s" % seconds)
        time.sleep(0.01)


def state_key(prefix, shape, key):
    return "%ssync{%s}:%s" % (prefix, shape, key_digest(key))


@unittest.skipUnless(HAVE_REDIS_SERVER, "needs redis-server")
class SyncedEngines(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = RedisServer().start()

    @classmethod
    def tearDownClass(cls):
        cls.server.kill()

    def setUp(self):
        self.redis = self.server.client()
        self.redis.flushall()

    def engine(self, **options):
        options.setdefault("limit", "1000000/hour")
        options.setdefault("algorithm", "fixed_window")
        engine = vorn.create_engine(redis=self.server.url, sync=INTERVAL, **options)
        self.addCleanup(engine.close)
        return engine

    def test_two_processes_admit_what_one_exact_engine_would(self):
        seconds, count, window_s = 3.0, 10000, 60.0
        workers = [subprocess.Popen(
            [sys.executable, os.path.join(HERE, "sync_worker.py"), self.server.url,
             "%d/minute" % count, str(seconds)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True) for _ in range(2)]
        for worker in workers:
            self.assertEqual(worker.stdout.readline().strip(), "ready")
        for worker in workers:
            worker.stdin.write("go\n")
            worker.stdin.flush()
        rows = [worker.communicate(timeout=60)[0].split() for worker in workers]
        admitted = sum(int(row[0]) for row in rows)
        span = max(float(row[2]) for row in rows) - min(float(row[1]) for row in rows)
        exact = count + count / window_s * span
        print("\n2 processes, %.2f s on %d/minute: %d admitted, one exact engine %.0f (%.4fx)"
              % (span, count, admitted, exact, admitted / exact), file=sys.stderr)
        self.assertGreaterEqual(admitted / exact, 0.98)
        self.assertLessEqual(admitted / exact, 1.02)

    def test_redis_stopped_under_load_keeps_checks_going_and_admissions(self):
        engine = self.engine(redis_timeout=0.5)
        counts = {"admitted": 0, "slowest": 0.0}
        phase = {"name": "before"}
        by_phase = {"before": 0, "down": 0, "back": 0}
        stop = threading.Event()

        def load():
            while not stop.is_set():
                started = time.monotonic()
                allowed = engine.check("10.0.0.1", "/", "k")["allowed"]
                counts["slowest"] = max(counts["slowest"], time.monotonic() - started)
                by_phase[phase["name"]] += allowed
                time.sleep(0.0005)

        thread = threading.Thread(target=load)
        with self.assertLogs("vorn.redis", "WARNING") as logged:
            thread.start()
            try:
                time.sleep(0.5)
                phase["name"] = "down"
                self.server.kill()
                wait_until(lambda: engine.degraded)
                time.sleep(2.0)
                phase["name"] = "back"
                self.server.start()
                back = time.monotonic()
                self.redis = self.server.client()
                time.sleep(2 * INTERVAL)
                state = self.redis.get(state_key("vorn:", "fw:1000000:3600000", "k"))
                within = time.monotonic() - back
                self.assertFalse(engine.degraded)
            finally:
                stop.set()
                thread.join()
        self.assertEqual([("failed" in line, "answers again" in line) for line in logged.output],
                         [(True, False), (False, True)])
        self.assertIsNotNone(state)
        count = float(state.split()[0])
        print("\nRedis down %.1f s: %d admitted meanwhile, Redis counts %d %.2f s after it came "
              "back; slowest check %.2f ms" % (2.0, by_phase["down"], count, within,
                                               counts["slowest"] * 1000), file=sys.stderr)
        self.assertGreater(by_phase["down"], 0)
        self.assertGreaterEqual(count, by_phase["down"])
        # A check that waited for Redis would take the 0.5 s timeout.
        self.assertLess(counts["slowest"], 0.25)

    def test_many_keys_go_in_several_calls_each_answer_to_its_key(self):
        engine = self.engine(redis_timeout=5.0)  # a loaded machine may be slow
        engine._syncer._stop.set()  # the test syncs by itself
        engine._syncer._thread.join()
        keys = ["client-%d" % n for n in range(2500)]
        for n, key in enumerate(keys):
            for _ in range(n % 3 + 1):
                engine.check("10.0.0.1", "/", key)
        engine._syncer.sync(False)
        self.assertFalse(engine.degraded)
        names = [state_key("vorn:", "fw:1000000:3600000", key) for key in keys]
        counts = [float(state.split()[0]) for state in self.redis.mget(names)]
        # Each key's checks, and the lease of twice as many that its answer granted.
        self.assertEqual(counts, [3.0 * (n % 3 + 1) for n in range(len(keys))])
        for n, key in enumerate(keys[:30]):  # each spends its own lease
            self.assertEqual(sum(engine.check("10.0.0.1", "/", key)["allowed"]
                                 for _ in range(10)), 2 * (n % 3 + 1))

    def test_close_gives_the_lease_back_and_stops_the_thread(self):
        engine = self.engine(limit="100/minute", algorithm="token_bucket")
        key = state_key("vorn:", "tb:100:x3ffaaaaaaaaaaaab", "k")
        # After the first sync, the next is an interval away.
        wait_until(lambda: self.redis.exists("vorn:sync{tb:100:x3ffaaaaaaaaaaaab}:instances"))
        admitted = sum(engine.check("10.0.0.1", "/", "k")["allowed"] for _ in range(5))
        self.assertEqual(admitted, 2)  # the credit of a key not synced yet
        wait_until(lambda: self.redis.exists(key))
        time.sleep(INTERVAL / 2)  # the answer applied, the lease still held
        self.assertTrue(engine.check("10.0.0.1", "/", "k")["allowed"])  # from the lease
        engine.close()
        self.assertFalse(engine._syncer._thread.is_alive())
        tokens = float(self.redis.get(key).split()[0])
        # Three spent: the rest of the lease is back (and under a token of refill).
        self.assertGreaterEqual(tokens, 97)
        self.assertLess(tokens, 98)

    def test_forked_child_syncs_as_a_new_instance_with_nothing_of_its_parent(self):
        engine = self.engine()
        wait_until(lambda: self.redis.zcard("vorn:sync{fw:1000000:3600000}:instances") == 1)
        for _ in range(3):
            engine.check("10.0.0.1", "/", "k")
        parent_key = state_key("vorn:", "fw:1000000:3600000", "k")
        wait_until(lambda: self.redis.exists(parent_key))  # 3 and a lease of 6
        read, write = os.pipe()
        child = os.fork()
        if child == 0:  # the child: report through the pipe, never return into unittest
            try:
                os.close(read)
                for _ in range(4):
                    engine.check("10.0.0.1", "/", "child")
                wait_until(lambda: self.redis.zcard(
                    "vorn:sync{fw:1000000:3600000}:instances") == 2)
                wait_until(lambda: self.redis.exists(
                    state_key("vorn:", "fw:1000000:3600000", "child")))
                engine.close()
                os.write(write, b"ok")
            finally:
                os._exit(0)
        os.close(write)
        with os.fdopen(read, "rb") as pipe:
            said = pipe.read()
        os.waitpid(child, 0)
        self.assertEqual(said, b"ok")
        # The parent's three and its lease (or, once given back, the three alone),
        # counted once: the child pushed nothing of the parent's.
        self.assertIn(float(self.redis.get(parent_key).split()[0]), (3.0, 9.0))
        child_count = float(self.redis.get(
            state_key("vorn:", "fw:1000000:3600000", "child")).split()[0])
        self.assertGreaterEqual(child_count, 4)


if __name__ == "__main__":
    unittest.main()
