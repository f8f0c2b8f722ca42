"""SyncEngine without Redis: the native class's syncing methods on the wire
shape the syncing thread uses, a Python subclass of it, and the options
create_engine refuses before it reaches Redis."""
import os
import shutil
import sys
import tempfile
import unittest

from vorn_loader import vorn_native

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
import vorn  # noqa: E402
from vorn._redis_core import key_digest  # noqa: E402

SyncEngine = vorn_native.SyncEngine
LIMIT = [(1000, 60000)]


def engine(algorithm="token_bucket", rates=LIMIT, **options):
    return SyncEngine(algorithm, "active", rates, None, None, "", **options)


def admitted(limiter, key, tries):
    return sum(limiter.check("ip", "/", key)["allowed"] for _ in range(tries))


class SyncEngineMethods(unittest.TestCase):
    def test_credit_then_lease_then_refusal_for_every_algorithm(self):
        for algorithm in ("token_bucket", "fixed_window", "leaky_bucket"):
            with self.subTest(algorithm):
                limiter = engine(algorithm)
                self.assertEqual(admitted(limiter, "k", 30), 20)  # 2% of 1000
                [(key, extra, unused, want, reset, lease_time)] = limiter._sync_reports(False)
                self.assertEqual((key, extra, unused, want, reset, lease_time),
                                 (key_digest("k"), 20.0, 0.0, 60.0, 0, 0))
                spent = "980 5000" if algorithm == "token_bucket" else "20 5000"
                # The script's texts, as redis-py gives them (bytes) or decoded.
                limiter._sync_apply(5000, 1, [b"10 " + spent.encode()])
                self.assertEqual(admitted(limiter, "k", 30), 10)
                self.assertFalse(limiter.degraded)

    def test_figures_and_costs_are_the_native_engines(self):
        limiter = engine("fixed_window")
        result = limiter.check_limits("ip", "/", "k", cost=2)
        self.assertEqual((result["allowed"], result["limit"], result["window_ms"]),
                         (True, 1000, 60000))
        refused = engine(max_overshoot=0).check_limits("ip", "/", "k")
        self.assertEqual((refused["allowed"], refused["remaining"], refused["reason"]),
                         (False, 0, "token_exhausted"))
        self.assertGreater(refused["retry_after_ms"], 0)
        with self.assertRaises(ValueError):
            limiter.check_limits("ip", "/", "k", cost=0.5)

    def test_failed_sync_degrades_and_keeps_what_was_admitted(self):
        limiter = engine()
        admitted(limiter, "k", 3)
        limiter._sync_reports(False)
        limiter._sync_failed()
        self.assertTrue(limiter.degraded)
        self.assertEqual(admitted(limiter, "k", 2000), 997)  # the mirror alone decides
        self.assertEqual(limiter._sync_reports(False)[0][1], 1000.0)
        limiter._sync_apply(1, 2, ["0 -1000 1"])
        self.assertFalse(limiter.degraded)

    def test_reset_refund_and_fork_reach_the_reports(self):
        limiter = engine()
        admitted(limiter, "k", 5)
        limiter.refund("k", 2)
        limiter.reset("other")
        reports = {report[0]: report for report in limiter._sync_reports(False)}
        self.assertEqual(reports[key_digest("k")][1], 3.0)
        self.assertEqual(reports[key_digest("other")][4], 1)
        admitted(limiter, "k", 1)
        limiter._sync_forked()
        self.assertEqual(limiter._sync_reports(True), [])

    def test_a_report_names_its_key_by_the_redis_engines_digest(self):
        for key in ("client-1", "caf\u00e9 \u5ba2\u6237 \U0001f600"):
            with self.subTest(key):
                limiter = engine()
                limiter.check("ip", "/", key)
                [report] = limiter._sync_reports(False)
                self.assertEqual(report[0], key_digest(key))
                self.assertEqual(len(report[0]), 22)

    def test_every_turn_is_this_process_without_a_zone_or_alone_on_one(self):
        directory = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, directory)
        alone = engine()
        self.assertTrue(all(alone._sync_turn() for _ in range(3)))
        limiter = engine(zone="zonesync", zone_dir=directory, zone_scope="vorn:sync{x}: here")
        self.assertTrue(all(limiter._sync_turn() for _ in range(3)))
        self.assertTrue(limiter.check("ip", "/", "k")["allowed"])
        [report] = limiter._sync_reports(False)
        self.assertEqual(report[0], key_digest("k"))
        with self.assertRaises(TypeError):
            engine(zone=7)

    def test_answers_of_another_shape_are_refused(self):
        limiter = engine(rates=[(10, 1000), (100, 60000)])
        admitted(limiter, "k", 1)
        limiter._sync_reports(False)
        for answers, error in (([b"1 2 3"], ValueError), ([], ValueError), ([7], TypeError),
                               ([b""], ValueError)):
            with self.subTest(answers):
                limiter.check("ip", "/", "k")
                limiter._sync_reports(False)
                with self.assertRaises(error):
                    limiter._sync_apply(1, 1, answers)

    def test_options_are_checked(self):
        for options, error in (({"max_overshoot": 2}, ValueError), ({"sync_ms": 0}, ValueError),
                               ({"max_overshoot": "x"}, TypeError), ({"other": 1}, TypeError)):
            with self.subTest(options):
                with self.assertRaises(error):
                    engine(**options)

    def test_a_python_subclass_keeps_the_native_check(self):
        class Held(SyncEngine):
            __slots__ = ("note", "__weakref__")

        limiter = Held("token_bucket", "active", LIMIT, None, None, "")
        limiter.note = "kept"
        # No Python frame between a caller and the native check.
        self.assertIs(type(limiter).check, SyncEngine.check)
        self.assertIs(type(SyncEngine.check), type(vorn_native.RustEngine.check))
        self.assertTrue(limiter.check("ip", "/")["allowed"])
        with self.assertRaises(TypeError):
            SyncEngine._sync_reports(vorn_native.RustEngine("token_bucket", "active", 1, 1,
                                                            None, None, ""), False)
        del limiter


class CreateEngineRefusals(unittest.TestCase):
    def test_what_sync_does_not_go_with(self):
        url = "redis://127.0.0.1:1/0"
        cases = [
            (dict(redis=url, sync=0.1, algorithm="sliding_window"), ValueError,
             "sync works with token_bucket, fixed_window and leaky_bucket"),
            (dict(redis=url, sync=0.1, zone_size=1 << 20), TypeError, "zone_size needs a zone"),
            (dict(redis=url, sync=0.1, zone="z", on_error="allow"), TypeError,
             "on_error does not go with sync"),
            (dict(redis=url, sync=0.1, on_error="deny"), TypeError,
             "on_error does not go with sync"),
            (dict(redis=url, sync=0.1, zone_dir="/tmp"), TypeError, "zone_dir needs a zone"),
            (dict(zone="z", sync=0.1), TypeError, "sync needs redis"),
            (dict(sync=0.1), TypeError, "sync needs redis"),
            (dict(redis=url, max_overshoot=0.1), TypeError, "max_overshoot needs sync"),
            (dict(redis=url, sync=0), ValueError, "sync must be"),
            (dict(redis=url, sync=True), ValueError, "sync must be"),
            (dict(redis=url, sync=0.1, max_overshoot=-1), ValueError, "max_overshoot must be"),
            (dict(redis=url, sync=0.1, refill_rate=0), ValueError, "refill_rate"),
        ]
        for options, error, words in cases:
            with self.subTest(options):
                with self.assertRaisesRegex(error, words):
                    vorn.create_engine(limit=None if "refill_rate" in options else "10/second",
                                       **options)


if __name__ == "__main__":
    unittest.main()
