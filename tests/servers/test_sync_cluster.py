"""Synced engines on a Redis Cluster of three primaries and three replicas, and
through Sentinel, in both hosts, given URLs and client objects: two processes
admit together what one exact engine admits, every key of a limit lives in one
slot and takes one script call a process an interval; and when the primary of
that slot is killed under load no check waits, each engine is degraded
meanwhile, and after the failover it is back with its admissions in Redis.

VORN_SYNC_CLUSTER_SECONDS sets the length of the exact runs (default 3)."""
import json
import os
import subprocess
import sys
import threading
import unittest

from redis_sets import HAVE_TOOLS, Cluster, Sentinels
from redis_support import ADDON, HERE, LIBRARY_DIR

SECONDS = float(os.environ.get("VORN_SYNC_CLUSTER_SECONDS", "3"))
SYNC_MS = 100
# Well past the interval: a loaded machine's sync still counts.
TIMEOUT_MS = 1000
# Longer than a failover takes (a node timeout of 1 s, then the election).
OUTAGE_RUN_SECONDS = 9
# A check is answered from local state: one that waited for Redis takes a timeout.
SLOWEST_CHECK_MS = 250

# Both workers: check `keys` keys in turn, in batches, for a while, then print
# a JSON report. `how` is "url" (target: the URL) or "client" (target: a
# cluster node's port, reached through the host's own cluster client). With
# pause_ms > 0 they run through an outage: the report counts what was admitted
# while degraded, and the run goes on until the engine is back (or 15 s more).
PYTHON_WORKER = """
import json, sys, time
import redis_support, vorn
how, target, algorithm, limit, count, seconds, pause_ms = sys.argv[1:]
if how == "client":
    import redis
    target = redis.RedisCluster(host="127.0.0.1", port=int(target))
engine = vorn.create_engine(algorithm, limit=limit, redis=target, sync=0.1,
                            redis_timeout=%(timeout)s)
keys = ["client-%%d" %% i for i in range(int(count))]
report = {"admitted": 0, "degradedAdmitted": 0, "degradedSeen": False, "slowestMs": 0.0,
          "start": time.time() * 1000}
until, at = time.monotonic() + float(seconds), 0
while time.monotonic() < until or (report["degradedSeen"] and engine.degraded
                                   and time.monotonic() < until + 15):
    degraded = engine.degraded
    report["degradedSeen"] = report["degradedSeen"] or degraded
    for _ in range(200):
        at = (at + 1) %% len(keys)
        started = time.perf_counter()
        allowed = engine.check(keys[at], "/")["allowed"]
        report["slowestMs"] = max(report["slowestMs"], (time.perf_counter() - started) * 1000)
        report["admitted"] += allowed
        report["degradedAdmitted"] += allowed and degraded
    time.sleep(float(pause_ms) / 1000)
report["end"] = time.time() * 1000
report["degradedAtEnd"] = engine.degraded
engine.close()
print(json.dumps(report))
""" % {"timeout": TIMEOUT_MS / 1000}

NODE_WORKER = """
const path = require('node:path');
const Redis = require('ioredis');
const { addonPath, repoRoot } = require('./redis_support');
const { SyncEngine } = require(path.join(repoRoot, 'js', 'sync_engine.js'));
const { parseLimit } = require(path.join(repoRoot, 'js', 'limits.js'));
const [how, target, algorithm, limit, count, seconds, pauseMs] = process.argv.slice(1);
const redis = how === 'client' ? new Redis.Cluster([{ host: '127.0.0.1', port: Number(target) }])
  : target;
const engine = new SyncEngine({ algorithm, rates: parseLimit(limit), redis, syncMs: 100,
  redisTimeoutMs: %(timeout)d }, require(addonPath));
const keys = Array.from({ length: Number(count) }, (_, i) => `client-${i}`);
const report = { admitted: 0, degradedAdmitted: 0, degradedSeen: false, slowestMs: 0,
  start: Date.now() };
const until = report.start + Number(seconds) * 1000;
(async () => {
  let at = 0;
  while (Date.now() < until || (report.degradedSeen && engine.degraded &&
                                Date.now() < until + 15000)) {
    const { degraded } = engine;
    report.degradedSeen = report.degradedSeen || degraded;
    for (let i = 0; i < 200; i++) {
      at = (at + 1) %% keys.length;
      const started = performance.now();
      const { allowed } = engine.checkRequest(keys[at], '/', Date.now());
      report.slowestMs = Math.max(report.slowestMs, performance.now() - started);
      report.admitted += allowed ? 1 : 0;
      report.degradedAdmitted += allowed && degraded ? 1 : 0;
    }
    await new Promise((resolve) => { setTimeout(resolve, Number(pauseMs)); });
  }
  report.end = Date.now();
  report.degradedAtEnd = engine.degraded;
  await engine.close();
  if (how === 'client') redis.disconnect();
  process.stdout.write(`${JSON.stringify(report)}\\n`);
})();
""" % {"timeout": TIMEOUT_MS}


def start_worker(host, how, target, algorithm, limit, keys, seconds, pause_ms=0):
    env = dict(os.environ, VORN_PYTHON_PATH=LIBRARY_DIR, VORN_NODE_ADDON=ADDON)
    command = [sys.executable, "-c", PYTHON_WORKER] if host == "python" else \
        ["node", "-e", NODE_WORKER]
    arguments = [how, str(target), algorithm, limit, str(keys), str(seconds), str(pause_ms)]
    return subprocess.Popen(command + arguments, cwd=HERE, env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)


def reports_of(workers):
    """Each worker's report, with what it logged as "log"."""
    reports = []
    for worker in workers:
        out, err = worker.communicate(timeout=120)
        if worker.returncode != 0:
            raise AssertionError("a worker exited with %d: %s" % (worker.returncode, err))
        reports.append(dict(json.loads(out), log=err))
    return reports


def key_base(algorithm, rates):
    """The start of the Redis names of a synced engine's keys, as both hosts name them."""
    from vorn._redis_core import Limits
    limits = Limits(algorithm, 0.0, 0.0, "vorn:", rates)
    return "vorn:sync{%s}:" % limits.key_prefix[len("vorn:"):-1]


def cluster_client(cluster):
    import redis
    return redis.RedisCluster(host="127.0.0.1", port=next(iter(cluster.processes)))


class OutageChecks:
    """Processes of both hosts run a fixed window of many keys through the loss
    of the primary that holds them; the subclass names the servers."""

    LIMIT, RATES, KEYS = "1000000/hour", [(1000000, 3600000)], 20

    def run_through_outage(self, targets, kill, promoted):
        """targets: (host, how, target) of each worker."""
        workers = [start_worker(host, how, target, "fixed_window", self.LIMIT, self.KEYS,
                                OUTAGE_RUN_SECONDS, pause_ms=5) for host, how, target in targets]
        killer = threading.Timer(2.0, kill)
        killer.start()
        reports = reports_of(workers)
        killer.join()
        self.assertTrue(promoted(), "no failover within the run")
        print("\n%s outage: slowest check %.2f ms; admitted while degraded %s" % (
            type(self).__name__, max(r["slowestMs"] for r in reports),
            [r["degradedAdmitted"] for r in reports]))
        for report in reports:
            self.assertTrue(report["degradedSeen"])
            self.assertFalse(report["degradedAtEnd"])
            self.assertGreater(report["degradedAdmitted"], 0)
            self.assertLess(report["slowestMs"], SLOWEST_CHECK_MS)
        return reports

    def assert_pushed(self, reports, counted):
        """What Redis counts now holds at least every admission made without it
        (what it had counted before may have died with the primary)."""
        self.assertGreaterEqual(counted, sum(r["degradedAdmitted"] for r in reports))


def window_counted(client, base, keys):
    from vorn._redis_core import key_digest
    counted = 0
    for n in range(keys):
        state = client.get(base + key_digest("client-%d" % n))
        counted += 0 if state is None else int(float(state.split()[0]))
    return counted


@unittest.skipUnless(HAVE_TOOLS, "needs redis-server, redis-cli, node and the built addon")
class SyncedClusterTest(OutageChecks, unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.cluster = Cluster()

    @classmethod
    def tearDownClass(cls):
        cls.cluster.stop()

    def owner_client(self, base):
        import redis
        return redis.Redis(port=self.cluster.owner_of(base + "instances"))

    def test_a_call_sent_again_counts_once(self):
        import vorn
        engine = vorn.create_engine("fixed_window", limit="10/hour", redis=self.cluster.url,
                                    sync=3600)
        self.addCleanup(engine.close)
        syncer = engine._syncer
        # What a client resends after losing the reply: the same call.
        call = syncer._calls([("10.7.0.1", 3, 0, 2, 0, 0)])[0]
        with syncer._lock:
            replies = syncer._call([call, call])
        first, again = (reply[2].decode().split() for reply in replies)
        self.assertEqual((first[:2], again), (["2", "5"], ["0"] + first[1:]))
        client = cluster_client(self.cluster)
        self.addCleanup(client.close)
        self.assertEqual(client.get(syncer._state_key("10.7.0.1")).decode(), " ".join(first[1:]))

    def test_admits_across_two_processes_what_one_engine_would_in_one_slot(self):
        from vorn._redis_clients import key_slot
        port = next(iter(self.cluster.processes))  # a node still running
        # Each host once by URL and once by its own cluster client.
        runs = [(("python", "url", self.cluster.url), ("node", "client", port)),
                (("python", "client", port), ("node", "url", self.cluster.url))]
        everywhere = cluster_client(self.cluster)
        self.addCleanup(everywhere.close)
        for index, (limit, count, window_ms, keys) in enumerate(
                [("10000/minute", 10000, 60000, 1), ("100/minute", 100, 60000, 200)]):
            base = key_base("token_bucket", [(count, window_ms)])
            owner = self.owner_client(base)
            everywhere.flushall()
            owner.config_resetstat()
            workers = [start_worker(host, how, target, "token_bucket", limit, keys, SECONDS)
                       for host, how, target in runs[index]]
            reports = reports_of(workers)
            span = max(r["end"] for r in reports) - min(r["start"] for r in reports)
            exact = keys * (count + count * span / window_ms)
            admitted = sum(r["admitted"] for r in reports)
            calls = owner.info("commandstats").get("cmdstat_evalsha", {}).get("calls", 0)
            print("\n%s on the cluster, %d keys: %d admitted, exact %.0f (%.4fx); %d script "
                  "calls in %d ms" % (limit, keys, admitted, exact, admitted / exact, calls, span))
            with self.subTest(limit=limit):
                # Less at most a lease of each key a process, unspent when it stops.
                self.assertGreaterEqual(admitted, 0.98 * exact - 2 * keys)
                self.assertLessEqual(admitted, 1.02 * exact)
                self.assertEqual([r["degradedSeen"] for r in reports], [False, False])
                self.assertEqual([r["log"] for r in reports], ["", ""])
                # Every key of the limit, the instances and the calls, in one slot
                # of one node.
                slot = key_slot((base + "instances").encode())
                self.assertEqual(owner.cluster("countkeysinslot", slot), keys + 2)
                self.assertEqual(owner.dbsize(), keys + 2)
                # One call a process an interval (and a few while the script loads).
                self.assertLessEqual(calls, 2 * (span / SYNC_MS + 5))

    def test_primary_killed_under_load_degrades_then_pushes_after_failover(self):
        cluster = self.cluster
        base = key_base("fixed_window", self.RATES)
        victim = cluster.owner_of(base + "instances")
        port = next(port for port in cluster.processes if port != victim)
        reports = self.run_through_outage(
            [("python", "client", port), ("node", "url", cluster.url), ("node", "client", port)],
            lambda: cluster.kill(victim),
            lambda: cluster.owner_of(base + "instances") not in (victim, None))
        client = cluster_client(cluster)
        self.addCleanup(client.close)
        self.assert_pushed(reports, window_counted(client, base, self.KEYS))


@unittest.skipUnless(HAVE_TOOLS, "needs redis-server, redis-cli, node and the built addon")
class SyncedSentinelTest(OutageChecks, unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.sentinels = Sentinels()

    @classmethod
    def tearDownClass(cls):
        cls.sentinels.stop()

    def test_primary_killed_under_load_degrades_then_pushes_after_failover(self):
        import redis
        sentinels = self.sentinels
        reports = self.run_through_outage(
            [("python", "url", sentinels.url), ("node", "url", sentinels.url)],
            lambda: sentinels.kill(sentinels.primary),
            lambda: sentinels.current_primary() == sentinels.replica)
        counted = window_counted(redis.Redis(port=sentinels.replica),
                                 key_base("fixed_window", self.RATES), self.KEYS)
        self.assert_pushed(reports, counted)


if __name__ == "__main__":
    unittest.main()
