"""What RustEngine.check returns, mode by mode, and how it keys clients."""
import gc
import sys
import threading
import tracemalloc
import unittest

from vorn_loader import RustEngine, engine

OUTER_KEYS = ["allowed", "would_block", "reason", "decision"]
INNER_KEYS = ["decision", "reason", "algorithm", "route", "remaining", "latency_ms"]


class ResultShape(unittest.TestCase):
    def test_active_mode_allows_then_blocks(self):
        limiter = engine(capacity=1, api_key="key")
        first, second = limiter.check("a", "/x"), limiter.check("a", "/y")
        for result in (first, second):
            self.assertEqual(list(result), OUTER_KEYS)
            self.assertEqual(list(result["decision"]), INNER_KEYS)
            self.assertIs(type(result["decision"]["latency_ms"]), int)
            self.assertGreaterEqual(result["decision"]["latency_ms"], 0)
        self.assertEqual(
            {k: first[k] for k in OUTER_KEYS[:3]},
            {"allowed": True, "would_block": False, "reason": "within_limit"})
        self.assertIs(second["allowed"], False)
        self.assertIs(second["would_block"], True)
        self.assertEqual(second["reason"], "token_exhausted")
        self.assertEqual(second["decision"]["decision"], "block")
        self.assertEqual(second["decision"]["route"], "/y")
        self.assertEqual(second["decision"]["remaining"], 0)

    def test_shadow_mode_lets_refused_requests_through(self):
        limiter = engine(mode="shadow", capacity=1)
        limiter.check("a", "/")
        result = limiter.check("a", "/")
        self.assertEqual(list(result), OUTER_KEYS)
        self.assertIs(result["allowed"], True)
        self.assertIs(result["would_block"], True)
        self.assertEqual(result["decision"]["decision"], "would_block")
        self.assertEqual(result["decision"]["reason"], "token_exhausted")

    def test_disabled_mode_has_no_reason_key(self):
        result = engine(algorithm="foo", mode="disabled", capacity=0).check("a", "/r")
        self.assertEqual(list(result), ["allowed", "would_block", "decision"])
        self.assertIs(result["allowed"], True)
        self.assertIs(result["would_block"], False)
        self.assertEqual(list(result["decision"]), INNER_KEYS)
        self.assertEqual(result["decision"]["decision"], "allow")
        self.assertEqual(result["decision"]["reason"], "within_limit")
        self.assertEqual(result["decision"]["algorithm"], "foo")
        self.assertIsNone(result["decision"]["remaining"])


class ClientKeys(unittest.TestCase):
    def test_identity_none_and_absent_fall_back_to_ip(self):
        limiter = engine(capacity=1)
        self.assertTrue(limiter.check("10.0.0.1", "/")["allowed"])
        self.assertFalse(limiter.check("10.0.0.1", "/other", None)["allowed"])
        self.assertFalse(limiter.check("10.0.0.1", "/", identity=None)["allowed"])

    def test_empty_identity_is_a_key_of_its_own(self):
        limiter = engine(capacity=1)
        self.assertTrue(limiter.check("10.0.0.1", "/")["allowed"])
        self.assertTrue(limiter.check("10.0.0.1", "/", "")["allowed"])
        self.assertFalse(limiter.check("10.0.0.2", "/", identity="")["allowed"])
        self.assertTrue(limiter.check("10.0.0.2", "/", identity="user")["allowed"])

    def test_threads_share_one_budget(self):
        limiter = engine(capacity=5.9, refill_rate=0)
        admitted = []
        lock = threading.Lock()
        start = threading.Barrier(8)

        def worker():
            start.wait()
            count = sum(limiter.check("shared", "/")["allowed"] for _ in range(50))
            with lock:
                admitted.append(count)

        threads = [threading.Thread(target=worker) for _ in range(8)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        self.assertEqual(len(admitted), 8)
        self.assertEqual(sum(admitted), 5)


class References(unittest.TestCase):
    def test_instances_give_back_their_class_reference(self):
        before = sys.getrefcount(RustEngine)
        for _ in range(1000):
            engine().check("a", "/")
        self.assertEqual(sys.getrefcount(RustEngine), before)

    def test_calls_and_failures_leave_nothing_behind(self):
        class FloatFails:
            def __float__(self):
                error = TypeError("inner")
                error.__cause__ = KeyError("root")
                raise error

        limiter = engine(capacity=1e12, refill_rate=1e9)
        failing_calls = [
            lambda: limiter.check(b"x", "/"),
            lambda: limiter.check("a"),
            lambda: limiter.check("\ud800", "/"),
            lambda: limiter.check("a", "/", nope=1),
            lambda: engine(refill_rate=FloatFails()),
            lambda: engine(backend_url=None),
        ]

        def work():
            for _ in range(500):
                limiter.check("a", "/")
                limiter.check("a", "/", identity="")
                engine(mode="disabled").check("a", "/")
                for call in failing_calls:
                    try:
                        call()
                    except Exception:
                        pass

        work()
        tracemalloc.start()
        try:
            # Raised exceptions sit in cycles with their frames until the cycle
            # collector runs; count only what survives it.
            work()
            gc.collect()
            first = tracemalloc.get_traced_memory()[0]
            work()
            gc.collect()
            growth = tracemalloc.get_traced_memory()[0] - first
        finally:
            tracemalloc.stop()
        self.assertLess(growth, 32 * 1024)


if __name__ == "__main__":
    unittest.main()
