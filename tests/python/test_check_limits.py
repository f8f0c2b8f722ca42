"""check_limits: check's result plus the figures clients are told, of a request
of any cost, on engines of one or several rates; refund, reset and policies."""
import inspect
import os
import shutil
import tempfile
import unittest

from vorn_loader import RustEngine, engine, vorn_native

ZoneEngine = vorn_native.ZoneEngine

FIGURES = ["limit", "remaining", "retry_after_ms", "reset_after_ms", "window_ms"]


def without_latency(result):
    result = dict(result)
    result["decision"] = {k: v for k, v in result["decision"].items() if k != "latency_ms"}
    return result


class CheckLimitsTest(unittest.TestCase):
    def test_check_result_comes_first_unchanged(self):
        for mode in ("active", "shadow", "disabled"):
            for algorithm in ("token_bucket", "fixed_window", "sliding_window", "leaky_bucket"):
                with self.subTest(mode=mode, algorithm=algorithm):
                    plain = engine(algorithm, mode, capacity=2)
                    told = engine(algorithm, mode, capacity=2)
                    for _ in range(3):
                        expected = plain.check("a", "/r", "id")
                        result = told.check_limits("a", "/r", "id")
                        self.assertEqual(list(result), list(expected) + FIGURES)
                        self.assertEqual(without_latency({k: result[k] for k in expected}),
                                         without_latency(expected))

    def test_figures_follow_the_allowance(self):
        limiter = engine("fixed_window", capacity=2)
        first, second, refused = (limiter.check_limits("a", "/") for _ in range(3))
        self.assertEqual([r["remaining"] for r in (first, second, refused)], [1, 0, 0])
        self.assertEqual(first["retry_after_ms"], 0)
        self.assertGreater(refused["retry_after_ms"], 59000)
        self.assertEqual((refused["limit"], refused["window_ms"]), (2, 60000))
        self.assertFalse(refused["allowed"])

    def test_shadow_tells_the_refusal_it_would_give_and_disabled_tells_nothing(self):
        shadow = engine(mode="shadow", capacity=1, refill_rate=2)
        shadow.check_limits("a", "/")
        would = shadow.check_limits("a", "/")
        self.assertTrue(would["allowed"] and would["would_block"])
        self.assertEqual((would["remaining"], would["limit"], would["window_ms"]), (0, 1, 500))
        self.assertTrue(0 < would["retry_after_ms"] <= 500)
        disabled = engine(mode="disabled").check_limits("a", "/")
        self.assertEqual([disabled[k] for k in FIGURES[1:4]], [None, None, None])

    def test_no_refill_promises_no_retry(self):
        limiter = engine(capacity=1, refill_rate=0)
        limiter.check_limits("a", "/")
        refused = limiter.check_limits("a", "/")
        self.assertIsNone(refused["retry_after_ms"])
        self.assertIsNone(refused["window_ms"])

    def test_arguments_fail_as_in_check_under_its_own_name(self):
        limiter = engine()
        with self.assertRaisesRegex(TypeError, r"check_limits\(\) missing 1 required"):
            limiter.check_limits("a")
        with self.assertRaisesRegex(TypeError, "argument 'route'"):
            limiter.check_limits("a", 5)


class Engines(unittest.TestCase):
    """Makes in-process and zone engines of rates; each zone is the test's own."""

    def setUp(self):
        self.directory = tempfile.mkdtemp(prefix="vorn-zones-")
        self.addCleanup(shutil.rmtree, self.directory, True)

    def zone_engine(self, algorithm, rates, name=None, capacity=None):
        """A zone engine of `rates`; the capacity and refill rate are ignored."""
        name = name or "limits-%d" % os.getpid()
        self.addCleanup(vorn_native.remove_zone, name, self.directory)
        return ZoneEngine(name, 1 << 20, algorithm, "active", capacity, None, None, None, "",
                          self.directory, "deny", rates)

    def both(self, algorithm, rates):
        engines = [RustEngine.from_rates(algorithm, "active", rates)]
        try:
            engines.append(self.zone_engine(algorithm, rates))
        except vorn_native.ZoneError as error:
            # Zones that hold one rate only refuse a limit of several.
            if len(rates) == 1 or "one rate only" not in str(error):
                raise
        return engines


class Cost(Engines):
    def test_a_refused_cost_names_its_value_and_counts_nothing(self):
        refused = [(ValueError, -1, "cost must be a finite number >= 0, not -1"),
                   (ValueError, float("nan"), "cost must be a finite number >= 0, not nan"),
                   (ValueError, float("-inf"), "cost must be a finite number >= 0, not -inf"),
                   (ValueError, 0.5, "cost must be a whole number for fixed_window, not 0.5"),
                   (TypeError, True, "cost must be an int or float, not True"),
                   (TypeError, "2", "cost must be an int or float, not '2'"),
                   (TypeError, None, "cost must be an int or float, not None")]
        for limiter in self.both("fixed_window", [(3, 60000)]):
            for error, cost, message in refused:
                for call in (lambda: limiter.check_limits("a", "/", cost=cost),
                             lambda: limiter.refund("a", cost)):
                    with self.subTest(type(limiter).__name__, cost=cost), \
                            self.assertRaises(error) as caught:
                        call()
                    self.assertEqual(str(caught.exception), message)
            with self.assertRaisesRegex(ValueError, "finite number >= 0, not 1000000"):
                limiter.check_limits("a", "/", cost=10**400)
            with self.assertRaisesRegex(TypeError, r"check_limits\(\) takes from 2 to 3 "
                                                   "positional arguments but 4 were given"):
                limiter.check_limits("a", "/", None, 1)  # cost is a keyword only
            self.assertEqual(limiter.check_limits("a", "/", cost=2.0)["remaining"], 1)

    def test_a_look_counts_nothing_and_buckets_take_fractions(self):
        for limiter in self.both("fixed_window", [(1, 60000)]):
            look = limiter.check_limits("a", "/", cost=0)
            self.assertEqual((look["allowed"], look["remaining"]), (True, 1))
            self.assertEqual(limiter.check_limits("a", "/")["remaining"], 0)
            look = limiter.check_limits("a", "/", cost=0)
            self.assertEqual((look["allowed"], look["reason"]), (False, "limit_exceeded"))
            self.assertGreater(look["retry_after_ms"], 59000)
        # Two an hour: no time this test takes refills a noticeable part.
        for bucket in self.both("token_bucket", [(2, 3600000)]):
            self.assertEqual(bucket.check_limits("a", "/", cost=1.5)["remaining"], 0)
            self.assertFalse(bucket.check_limits("a", "/", cost=0)["allowed"])
            self.assertTrue(bucket.check_limits("a", "/", cost=0.5)["allowed"])
            self.assertFalse(bucket.check_limits("a", "/", cost=0.5)["allowed"])


class SeveralRates(Engines):
    def test_the_deciding_rate_tells_the_limit_and_the_window(self):
        for limiter in self.both("sliding_window", [(3, 1000), (2, 3600000)]):
            policies = limiter.policies
            self.assertEqual(policies, ((3, 1000), (2, 3600000)))
            self.assertIs(limiter.policies, policies)
            first, second, refused = (limiter.check_limits("a", "/") for _ in range(3))
            self.assertEqual(list(first), list(limiter.check("b", "/")) + FIGURES + ["policies"])
            self.assertIs(first["policies"], policies)
            # The hour has the least left, and alone refuses the third.
            self.assertEqual([(r["limit"], r["window_ms"], r["remaining"])
                              for r in (first, second, refused)],
                             [(2, 3600000, 1), (2, 3600000, 0), (2, 3600000, 0)])
            self.assertFalse(refused["allowed"])
            self.assertGreater(refused["retry_after_ms"], 3590000)
        disabled = RustEngine.from_rates("token_bucket", "disabled", [(5, 1000), (9, 60000)])
        told = disabled.check_limits("a", "/")
        self.assertEqual((told["limit"], told["window_ms"], told["remaining"]), (5, 1000, None))
        self.assertIs(told["policies"], disabled.policies)

    def test_one_rate_is_the_engine_the_constructor_makes(self):
        # No leaky bucket: a level that drains between two engines' checks
        # would tell them apart.
        for algorithm in ("token_bucket", "fixed_window", "sliding_window"):
            for mode in ("active", "shadow", "disabled"):
                with self.subTest(algorithm=algorithm, mode=mode):
                    made = RustEngine(algorithm, mode, 3, 0.05, None, None, "")
                    of_rates = RustEngine.from_rates(algorithm, mode, [(3, 60000)],
                                                     backend_url="")
                    self.assertEqual(of_rates.policies, made.policies)
                    for _ in range(4):
                        expected = made.check_limits("a", "/")
                        result = of_rates.check_limits("a", "/")
                        self.assertEqual(list(result), list(expected))
                        for key in ("allowed", "would_block", "limit", "remaining", "window_ms"):
                            self.assertEqual(result[key], expected[key], key)
        self.assertEqual(RustEngine("leaky_bucket", "active", 4, 0, None, None, "").policies,
                         ((4, None),))

    def test_rates_are_checked_before_any_engine_is_made(self):
        refused = [(TypeError, "5/minute",
                    "rates must be a sequence of (count, window_ms) pairs, not '5/minute'"),
                   (TypeError, [5], "a rate must be a (count, window_ms) pair, not 5"),
                   (TypeError, [(1, 2, 3)],
                    "a rate must be a (count, window_ms) pair, not (1, 2, 3)"),
                   (TypeError, [(False, 1000)],
                    "a rate's count must be an int or float, not False"),
                   (TypeError, [(1, 1000.0)], "a rate's window_ms must be an int, not 1000.0"),
                   (ValueError, [], "a limit needs at least one rate"),
                   (ValueError, [(1, 1000)] * 5, "a limit has at most 4 rates, not 5"),
                   (ValueError, [(-1, 1000)], "a rate's count must be a finite number >= 0"),
                   (ValueError, [(1, 0)], "a rate's window must be 1 ms to 366 days, not 0 ms"),
                   (ValueError, [(1, -5)], "a rate's window must be 1 ms to 366 days, not -5 ms"),
                   (ValueError, [(1, 31622400001)],
                    "a rate's window must be 1 ms to 366 days, not 31622400001 ms")]
        for error, rates, message in refused:
            for make in (lambda: RustEngine.from_rates("token_bucket", "active", rates),
                         lambda: self.zone_engine("token_bucket", rates, name="never-made")):
                with self.subTest(rates=rates), self.assertRaises(error) as caught:
                    make()
                self.assertEqual(str(caught.exception), message)
        self.assertIs(vorn_native.remove_zone("never-made", self.directory), False)
        # Any sequence of pairs; a float count; by keyword; the zone's capacity ignored.
        limiter = RustEngine.from_rates(algorithm="token_bucket", mode="active",
                                        rates=([2.5, 1000], range(3, 5)))
        self.assertEqual(limiter.policies, ((2, 1000), (3, 4)))
        zoned = self.zone_engine("fixed_window", [(4, 500)], capacity="ignored")
        self.assertEqual(zoned.policies, ((4, 500),))
        with self.assertRaisesRegex(TypeError, r"from_rates\(\) missing 1 required positional "
                                               "argument: 'rates'"):
            RustEngine.from_rates("token_bucket", "active")


class RefundAndReset(Engines):
    def test_they_act_on_the_key_checks_count_on(self):
        for limiter in self.both("fixed_window", [(2, 60000)]):
            for _ in range(3):
                refused = limiter.check_limits("10.0.0.1", "/", "user")
            self.assertFalse(refused["allowed"])
            limiter.refund("10.0.0.1")  # not the key: the identity is
            self.assertFalse(limiter.check_limits("10.0.0.1", "/", "user")["allowed"])
            self.assertIsNone(limiter.refund("user"))
            self.assertEqual(limiter.check_limits("x", "/", "user")["remaining"], 0)
            self.assertIsNone(limiter.reset(key="user"))
            self.assertEqual(limiter.check_limits("x", "/", "user")["remaining"], 1)
            with self.assertRaisesRegex(TypeError, "argument 'key': 'int' object cannot be "
                                                   "converted to 'PyString'"):
                limiter.refund(5)
            with self.assertRaisesRegex(TypeError, r"reset\(\) missing 1 required positional "
                                                   "argument: 'key'"):
                limiter.reset()

    def test_a_zone_shares_them_and_a_key_without_state_gets_none(self):
        first = self.zone_engine("sliding_window", [(1, 60000)], name="shared")
        second = self.zone_engine("sliding_window", [(1, 60000)], name="shared")
        first.check_limits("a", "/")
        self.assertFalse(second.check_limits("a", "/")["allowed"])
        second.reset("a")
        self.assertTrue(first.check_limits("a", "/")["allowed"])
        second.refund("a")
        self.assertTrue(first.check_limits("a", "/")["allowed"])
        for engine_ in (first, second):
            engine_.refund("ghost")
            engine_.reset("ghost")
        self.assertEqual(first.zone_stats()["keys"], 1)

    def test_signatures(self):
        for limiter in self.both("token_bucket", [(1, 1000)]):
            self.assertEqual(str(inspect.signature(limiter.check_limits)),
                             "(ip, route, identity=None, *, cost=1)")
            self.assertEqual(str(inspect.signature(limiter.refund)), "(key, cost=1)")
            self.assertEqual(str(inspect.signature(limiter.reset)), "(key)")
            self.assertIn("(limit, window_ms)", type(limiter).policies.__doc__)
        self.assertEqual(str(inspect.signature(RustEngine.from_rates)),
                         "(algorithm, mode, rates, api_key=None, debug=None, "
                         "backend_url='http://localhost:4000')")


if __name__ == "__main__":
    unittest.main()
