"""The refusal log: a structured line per refusal through the logger "vorn",
never more lines a second than its bound, and a count of those it left out."""
import logging
import sys
import unittest

import vorn_loader
from vorn_loader import engine

sys.path.insert(0, str(vorn_loader.REPO))

import vorn  # noqa: E402
from test_middleware import Recorder, wsgi_call  # noqa: E402
from vorn._refusal_log import RefusalLog, refusal_log_of  # noqa: E402


class Lines(logging.Handler):
    def __init__(self):
        super().__init__()
        self.records = []

    def emit(self, record):
        self.records.append(record)


class RefusalLogTest(unittest.TestCase):
    def setUp(self):
        self.lines = Lines()
        logger = logging.getLogger("vorn")
        logger.addHandler(self.lines)
        self.addCleanup(logger.removeHandler, self.lines)

    def test_a_flood_writes_its_bound_and_counts_the_rest(self):
        now = [100.0]
        log = RefusalLog(5, clock=lambda: now[0])
        refused = {"allowed": False, "would_block": True, "retry_after_ms": 1500}
        for _ in range(10_000):
            log.refused("login", "192.0.2.1", "/login", refused)
        self.assertEqual(len(self.lines.records), 5)
        now[0] += 1
        log.refused("login", "192.0.2.1", "/login", refused)
        last = self.lines.records[-1]
        self.assertEqual((last.omitted, last.limit, last.key, last.route, last.retry_after_s),
                         (9_995, "login", "192.0.2.1", "/login", 2))
        self.assertIn("9995 refusals not logged", last.getMessage())

    def test_the_middleware_logs_refusals_and_shadow_ones(self):
        for mode, shadow in (("active", False), ("shadow", True)):
            self.lines.records.clear()
            limited = vorn.WSGIMiddleware(Recorder().wsgi, engine(mode=mode, capacity=1,
                                                                  refill_rate=0),
                                          identity=lambda environ: environ.get("HTTP_X_USER"),
                                          log_refusals=True)
            wsgi_call(limited, path="/login", X_USER="ann")
            self.assertEqual(self.lines.records, [])
            wsgi_call(limited, path="/login", X_USER="ann")
            [line] = self.lines.records
            self.assertEqual((line.key, line.route, line.shadow, line.retry_after_s),
                             ("id:ann", "/login", shadow, None))

    def test_settings(self):
        self.assertIsNone(refusal_log_of(False))
        self.assertEqual(refusal_log_of(True).lines_per_second, 10)
        self.assertEqual(refusal_log_of(3).lines_per_second, 3)
        for wrong in (0, -1, 2.5, "10"):
            with self.assertRaises(TypeError):
                refusal_log_of(wrong)


if __name__ == "__main__":
    unittest.main()
