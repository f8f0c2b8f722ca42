"""vorn's metrics under real servers: Flask under gunicorn with 4 workers, each
serving /metrics. One scrape, whichever worker answers it, tells every worker's
checks: through the zone when the limit is on one, else through
prometheus_client's multiprocess mode. Each exposition passes promtool."""
import concurrent.futures
import http.client
import os
import re
import shutil
import socket
import subprocess
import tempfile
import time
import unittest
import uuid

from redis_support import LIBRARY_DIR, REPO

HERE = os.path.dirname(os.path.abspath(__file__))
PROMTOOL = shutil.which("promtool")


def get(port, path):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    try:
        connection.request("GET", path)
        response = connection.getresponse()
        return response.status, response.read().decode()
    finally:
        connection.close()


def requests_of(exposition, limit):
    """{result: value} of vorn_requests_total for `limit`."""
    found = {}
    for result, value in re.findall(
            r'^vorn_requests_total\{limit="%s",result="(\w+)"\} (\S+)$' % re.escape(limit),
            exposition, re.M):
        found[result] = int(float(value))
    return found


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


@unittest.skipUnless(shutil.which("gunicorn"), "gunicorn is not installed")
class FlaskWorkersMetrics(unittest.TestCase):
    def serve(self, **env):
        directory = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, directory, True)
        port = free_port()
        environment = dict(os.environ, VORN_PYTHON_PATH=str(LIBRARY_DIR),
                           PYTHONPATH=os.pathsep.join((str(LIBRARY_DIR), REPO, HERE)))
        environment.pop("PROMETHEUS_MULTIPROC_DIR", None)
        for name, value in env.items():
            environment[name] = value.replace("{dir}", directory)
        if "PROMETHEUS_MULTIPROC_DIR" in environment:
            os.makedirs(environment["PROMETHEUS_MULTIPROC_DIR"])
        server = subprocess.Popen(
            ["/usr/bin/python3", "-m", "gunicorn", "-w", "4", "-b", "127.0.0.1:%d" % port,
             "metrics_app:app"], cwd=HERE, env=environment,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(server.wait)
        self.addCleanup(server.terminate)
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            try:
                if get(port, "/pid")[0] == 200:
                    return port
            except OSError:
                time.sleep(0.1)
        self.fail("gunicorn did not answer")

    def hit(self, port, count):
        with concurrent.futures.ThreadPoolExecutor(8) as pool:
            return [status for status, _ in pool.map(lambda _: get(port, "/hit"), range(count))]

    def scrape(self, port):
        status, exposition = get(port, "/metrics")
        self.assertEqual(status, 200)
        if PROMTOOL:
            checked = subprocess.run([PROMTOOL, "check", "metrics"], input=exposition.encode(),
                                     capture_output=True)
            self.assertEqual(checked.returncode, 0, checked.stdout + checked.stderr)
        return exposition

    def test_a_zone_tells_every_workers_checks(self):
        for mode, refused in (("active", "refused"), ("shadow", "shadow_refused")):
            with self.subTest(mode=mode):
                port = self.serve(VORN_TEST_ZONE="m-" + uuid.uuid4().hex[:10],
                                  VORN_TEST_ZONE_DIR="{dir}", VORN_TEST_MODE=mode)
                statuses = self.hit(port, 300)
                self.assertEqual(statuses.count(429), 100 if mode == "active" else 0)
                # Scrapes land on any of the workers: each tells the same totals.
                for _ in range(4):
                    counts = requests_of(self.scrape(port), "hits")
                    self.assertEqual((counts["allowed"], counts[refused]), (200, 100))

    def test_in_process_engines_through_the_multiprocess_mode(self):
        port = self.serve(PROMETHEUS_MULTIPROC_DIR="{dir}/prometheus")
        statuses = self.hit(port, 300)
        time.sleep(1.5)  # each worker copies its counts once a second
        counts = requests_of(self.scrape(port), "hits")
        # Each worker has its own allowance: what the clients saw is what the scrape tells.
        self.assertEqual((counts.get("allowed", 0), counts.get("refused", 0)),
                         (statuses.count(200), statuses.count(429)))
        self.assertEqual(sum(counts.values()), 300)


if __name__ == "__main__":
    unittest.main()


class RedisOutageMetrics(unittest.TestCase):
    """A Redis killed under load: the metrics say the store is degraded and count
    the failure policy's answers, and say it no more once Redis is back."""

    def test_degraded_while_redis_is_down(self):
        import sys
        sys.path[:0] = [str(LIBRARY_DIR), REPO]
        import prometheus_client
        import vorn
        import vorn.metrics
        from redis_support import HAVE_REDIS_SERVER, RedisServer
        if not HAVE_REDIS_SERVER:
            self.skipTest("redis-server is not installed")
        server = RedisServer().start()
        self.addCleanup(server.kill)
        registry = prometheus_client.CollectorRegistry()
        vorn.metrics.register(registry)
        engine = vorn.create_engine(limit="1000/minute", redis=server.url, redis_timeout=0.5)
        self.addCleanup(engine.close)
        engine.name_counts("outage")
        value = registry.get_sample_value

        def check(times):
            for _ in range(times):
                engine.check("198.51.100.9", "/")

        check(5)
        self.assertEqual(value("vorn_store_degraded", {"store": "redis"}), 0)
        self.assertGreaterEqual(value("vorn_redis_check_seconds_count"), 5)
        before = value("vorn_store_fallback_total", {"store": "redis"})
        server.kill()
        check(10)
        self.assertEqual(value("vorn_store_degraded", {"store": "redis"}), 1)
        self.assertEqual(value("vorn_store_fallback_total", {"store": "redis"}) - before, 10)
        self.assertEqual(value("vorn_requests_total", {"limit": "outage", "result": "allowed"}),
                         15)
        server.start()
        deadline = time.monotonic() + 10
        while engine.degraded and time.monotonic() < deadline:
            time.sleep(0.05)
        check(1)
        self.assertEqual(value("vorn_store_degraded", {"store": "redis"}), 0)
        self.assertEqual(engine.stats()["fallback"], 10)
