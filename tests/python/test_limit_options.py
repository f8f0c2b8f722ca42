"""create_engine's limit and window: the engines they build in process and in a
zone, the options they refuse, and the fields a middleware sends for them."""
import os
import sys
import unittest

import vorn_loader
from vorn_loader import vorn_native

sys.path.insert(0, str(vorn_loader.REPO))

import vorn  # noqa: E402
from test_middleware import Recorder, wsgi_call  # noqa: E402

ALGORITHMS = ("token_bucket", "sliding_window", "fixed_window", "leaky_bucket")


class LimitOptionTest(unittest.TestCase):
    def setUp(self):
        self.zone = "vorn-test-%d-limits" % os.getpid()
        vorn.remove_zone(self.zone)
        self.addCleanup(vorn.remove_zone, self.zone)

    def test_without_limit_or_window_the_engine_is_as_before(self):
        for engine in (vorn.create_engine(), vorn.create_engine(zone=self.zone)):
            result = engine.check_limits("192.0.2.1", "/")
            self.assertEqual((result["limit"], result["window_ms"], result["remaining"]),
                             (100, 10000, 99))
            self.assertNotIn("policies", result)
        result = vorn.create_engine(capacity=4).check_limits("192.0.2.1", "/")
        self.assertEqual((result["limit"], result["window_ms"]), (4, 400))

    def test_a_limit_text_makes_one_decision_of_every_rate(self):
        for algorithm in ALGORITHMS:
            for where in ({}, {"zone": self.zone}):
                with self.subTest(algorithm=algorithm, where=where):
                    key = "192.0.2.%d" % len(where)
                    engine = vorn.create_engine(algorithm, limit="3/hour; 2/minute", **where)
                    self.assertEqual([p[0] for p in engine.policies], [3, 2])
                    answers = [engine.check_limits(key, "/") for _ in range(4)]
                    admitted = sum(r["allowed"] for r in answers)
                    # A leaky bucket admits while its level is below the limit: once more
                    # when any time passed.
                    self.assertIn(admitted, (2, 3) if algorithm == "leaky_bucket" else (2,))
                    refused = answers[-1]
                    self.assertFalse(refused["allowed"])
                    self.assertEqual(refused["limit"], 2)  # the minute refuses
                    self.assertEqual(refused["policies"], engine.policies)
                    engine.refund(key)
                    self.assertTrue(engine.check_limits(key, "/")["allowed"])
                    engine.reset(key)
                    self.assertEqual(engine.check_limits(key, "/", cost=0)["remaining"], 2)

    def test_a_window_with_a_capacity_is_one_rate_of_that_window(self):
        engine = vorn.create_engine("fixed_window", capacity=2, window=0.5)
        self.assertEqual(engine.policies, ((2, 500),))
        result = engine.check_limits("192.0.2.1", "/")
        self.assertEqual((result["limit"], result["window_ms"]), (2, 500))
        self.assertNotIn("policies", result)
        zoned = vorn.create_engine("sliding_window", window=60, zone=self.zone)
        self.assertIs(type(zoned), vorn_native.ZoneEngine)
        self.assertEqual(zoned.policies, ((100, 60000),))

    def test_conflicting_and_bad_options_are_refused_before_any_engine(self):
        refused = [
            (TypeError, "limit or capacity", dict(limit="1/s", capacity=5)),
            (TypeError, "limit or refill_rate", dict(limit="1/s", refill_rate=5)),
            (TypeError, "limit or window", dict(limit="1/s", window=1)),
            (TypeError, "window or refill_rate", dict(window=1, refill_rate=1)),
            (TypeError, "must be a str", dict(limit=10)),
            (ValueError, 'unknown unit "week"', dict(limit="10/week")),
            (ValueError, "366 days", dict(window=0)),
            (ValueError, "366 days", dict(window=31_622_401)),
            (TypeError, "number of seconds", dict(window="60")),
            (ValueError, "capacity must be a finite number", dict(window=1, capacity=-1)),
            (TypeError, "capacity must be a number", dict(window=1, capacity=True)),
        ]
        for error, message, options in refused:
            for make in (vorn.create_engine,
                         lambda **o: vorn.create_async_engine(redis="redis://localhost:1", **o)):
                with self.subTest(options=options), self.assertRaisesRegex(error, message):
                    make(**options)

    def test_the_draft_fields_list_every_rate(self):
        limited = vorn.WSGIMiddleware(
            Recorder().wsgi, vorn.create_engine("fixed_window", limit="2/minute; 3/hour"))
        fields = [wsgi_call(limited)[:2] for _ in range(3)]
        self.assertEqual([status for status, _ in fields], [200, 200, 429])
        policy = '"default-1m";q=2;w=60, "default-1h";q=3;w=3600'
        self.assertEqual({h["RateLimit-Policy"] for _, h in fields}, {policy})
        self.assertEqual([h["RateLimit"].split(";")[:2] for _, h in fields],
                         [['"default-1m"', "r=1"], ['"default-1m"', "r=0"],
                          ['"default-1m"', "r=0"]])


if __name__ == "__main__":
    unittest.main()
