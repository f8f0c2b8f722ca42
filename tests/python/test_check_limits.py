"""RustEngine.check_limits: check's result plus the figures clients are told."""
import unittest

from vorn_loader import engine

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


if __name__ == "__main__":
    unittest.main()
