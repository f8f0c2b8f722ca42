"""Limits of several rates, costs, refunds and resets on the Redis engines
against a real redis-server: the shared table of rate cases, the native
engine's results and errors, the keys, and the fallback while Redis fails."""
import asyncio
import logging
import random
import unittest

from rate_cases import AHEAD_BASE_MS, read_rate_cases, told
from redis_support import CASES_BASE_MS, HAVE_REDIS_SERVER, RedisServer, read_cases

import vorn_native
from vorn import redis_engine
from vorn.redis_engine import key_digest

TWO_RATES = [(3, 60_000), (5, 3_600_000)]
ALGORITHMS = ("token_bucket", "leaky_bucket", "fixed_window", "sliding_window")


def check_step(test, step, result, policies, where):
    test.assertEqual(told(result, policies), step.expected, where)
    test.assertEqual(result["allowed"], step.expected[0] == "within_limit", where)


@unittest.skipUnless(HAVE_REDIS_SERVER, "redis-server is not installed")
class RedisLimitsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = RedisServer().start()

    @classmethod
    def tearDownClass(cls):
        cls.server.kill()

    def setUp(self):
        self.client = self.server.client()
        self.client.flushall()
        self.addCleanup(self.client.close)

    def engine(self, algorithm, rates=None, **options):
        return redis_engine.RedisEngine(self.client, algorithm, rates=rates, **options)

    def test_blocking_engine_answers_the_rate_table(self):
        for number, case in enumerate(read_rate_cases()):
            now = [0]
            engine = self.engine(case.algorithm, case.rates, prefix="b%d:" % number,
                                 clock=lambda: now[0])
            for step in case.steps:
                now[0] = AHEAD_BASE_MS + step.at
                where = "%s, line %d" % (case.algorithm, step.line)
                if step.operation == "check":
                    result = engine.check_limits("ip", "/", step.key, cost=step.cost)
                    check_step(self, step, result, engine.policies, where)
                elif step.operation == "refund":
                    self.assertIsNone(engine.refund(step.key, step.cost), where)
                else:
                    self.assertIsNone(engine.reset(step.key), where)
            self.assertFalse(engine.degraded)

    def test_asyncio_engine_answers_the_rate_table(self):
        async def run():
            for number, case in enumerate(read_rate_cases()):
                now = [0]
                engine = redis_engine.AsyncRedisEngine(self.server.url, case.algorithm,
                                                       rates=case.rates, prefix="a%d:" % number,
                                                       timeout=2.0, clock=lambda: now[0])
                for step in case.steps:
                    now[0] = AHEAD_BASE_MS + step.at
                    where = "%s, line %d" % (case.algorithm, step.line)
                    if step.operation == "check":
                        result = await engine.check_limits("ip", "/", step.key, cost=step.cost)
                        check_step(self, step, result, engine.policies, where)
                    elif step.operation == "refund":
                        self.assertIsNone(await engine.refund(step.key, step.cost), where)
                    else:
                        self.assertIsNone(await engine.reset(step.key), where)
                self.assertFalse(engine.degraded)
                await engine.close()

        asyncio.run(run())

    def test_a_batch_of_loaded_and_unloaded_scripts_counts_each_check_once(self):
        # Only the checks whose script Redis lacked are sent again: the others ran.
        async def run():
            engine = redis_engine.AsyncRedisEngine(self.server.url, "token_bucket", capacity=3,
                                                   refill_rate=0, timeout=2.0)
            self.assertTrue((await engine.check("warm", "/"))["allowed"])  # loads one script
            self.client.script_flush()
            await engine.check("warm", "/")  # loads it again; the limits script stays unloaded
            results = await asyncio.gather(engine.check("ip", "/"), engine.check("ip", "/"),
                                           engine.check_limits("ip", "/", cost=2))
            look = await engine.check_limits("ip", "/", cost=0)
            await engine.close()
            return [result["allowed"] for result in results], look["remaining"]

        self.assertEqual(asyncio.run(run()), ([True, True, False], 1))

    def test_one_rate_limits_script_gives_the_one_rate_table(self):
        # lua/limits.lua keeps the one-rate scripts' state and answers, so both
        # kinds of engines can share a key: the one-rate table holds it to them.
        script = self.client.register_script(redis_engine.script_text("limits"))
        for number, (algorithm, capacity, rate, steps) in enumerate(read_cases()):
            limits = redis_engine.Limits(algorithm, capacity, rate, "one%d:" % number)
            for at, key, reason, remaining, message in steps:
                reply = script(keys=[limits.key_prefix + key],
                               args=[limits.kind, CASES_BASE_MS + at, 1, "check",
                                     *limits.rate_args]).decode()
                admitted, left, _, _, _, text = reply.split(" ", 5)
                where = "%s %r %r at %d" % (algorithm, capacity, rate, at)
                self.assertEqual((admitted == "1", int(left), text),
                                 (reason == "within_limit", remaining, message), where)

    def test_costs_and_checks_of_one_rate_share_the_key(self):
        for algorithm in ALGORITHMS:
            engine = redis_engine.RedisEngine(self.client, algorithm, capacity=5, refill_rate=0,
                                              prefix=algorithm + ":")
            remaining = [engine.check("k", "/")["decision"]["remaining"],
                         engine.check_limits("k", "/", cost=2)["remaining"],
                         engine.check("k", "/")["decision"]["remaining"],
                         engine.check_limits("k", "/", cost=2)["allowed"],
                         engine.check_limits("k", "/", cost=0)["remaining"],
                         engine.check("k", "/")["decision"]["remaining"],
                         engine.check("k", "/")["allowed"]]
            self.assertEqual(remaining, [4, 2, 1, False, 1, 0, False], algorithm)

    def test_results_and_errors_equal_the_native_engines(self):
        for algorithm in ALGORITHMS:
            # A bucket's level moves with the clock: quarters keep every verdict
            # and count clear of the millisecond the two engines might read apart.
            costs = [1, 0.25, 0, 2, 1, 0, 3] if algorithm.endswith("bucket") \
                else [1, 2, 0, 1, 3, 1, 0]
            for mode in ("active", "shadow", "disabled"):
                native = vorn_native.RustEngine.from_rates(algorithm, mode, TWO_RATES)
                shared = self.engine(algorithm, TWO_RATES, mode=mode,
                                     prefix="%s:%s:" % (algorithm, mode))
                self.assertEqual(shared.policies, native.policies)
                for cost in costs:
                    ours = shared.check_limits("10.0.0.1", "/a", cost=cost)
                    theirs = native.check_limits("10.0.0.1", "/a", cost=cost)
                    where = (algorithm, mode, cost)
                    self.assertEqual(list(ours), list(theirs), where)
                    for field in ("allowed", "would_block", "reason", "limit", "remaining",
                                  "window_ms", "policies"):
                        self.assertEqual(ours.get(field), theirs.get(field), (where, field))
                    self.assertEqual(
                        {k: v for k, v in ours["decision"].items() if k != "latency_ms"},
                        {k: v for k, v in theirs["decision"].items() if k != "latency_ms"},
                        where)
                bad_costs = [-1, float("nan"), float("inf"), 10 ** 400, "2", None, True]
                if algorithm.endswith("window"):
                    bad_costs.append(1.5)
                for bad in bad_costs:
                    errors = []
                    for engine in (native, shared):
                        for call in (lambda: engine.check_limits("10.0.0.2", "/", cost=bad),
                                     lambda: engine.refund("10.0.0.1", bad)):
                            with self.assertRaises((TypeError, ValueError)) as raised:
                                call()
                            errors.append((type(raised.exception), str(raised.exception)))
                    self.assertEqual(errors[:2], errors[2:], (algorithm, mode, bad))
        # Nothing refused was counted, and no key was made for it.
        self.assertEqual(self.client.keys("*" + key_digest("10.0.0.2")), [])

    def test_random_sequences_answer_as_the_native_engine(self):
        # Long windows and whole costs: a millisecond between the two engines'
        # clocks changes no verdict and no count (a token bucket only gains a
        # hair of a token), so every answer but the waits must be the same.
        chance = random.Random(20240601)
        for algorithm in ("token_bucket", "fixed_window", "sliding_window"):
            rates = [(3, 3_600_000), (5, 7_200_000), (8, 86_400_000)][:chance.choice((2, 3))]
            native = vorn_native.RustEngine.from_rates(algorithm, "active", rates)
            shared = self.engine(algorithm, rates, prefix="fuzz:")
            for step in range(300):
                key = chance.choice(("a", "b", "c"))
                operation = chance.choices(("check", "refund", "reset"), (12, 4, 1))[0]
                where = (algorithm, rates, step, operation, key)
                if operation == "check":
                    cost = chance.choice((0, 1, 1, 1, 2, 3, 4, 9))
                    ours = shared.check_limits(key, "/", cost=cost)
                    theirs = native.check_limits(key, "/", cost=cost)
                    self.assertEqual(
                        [ours.get(f) for f in ("allowed", "reason", "remaining", "limit",
                                               "window_ms")],
                        [theirs.get(f) for f in ("allowed", "reason", "remaining", "limit",
                                                 "window_ms")], (where, cost))
                elif operation == "refund":
                    amount = chance.choice((0, 1, 2, 5))
                    shared.refund(key, amount)
                    native.refund(key, amount)
                else:
                    shared.reset(key)
                    native.reset(key)

    def test_keys_name_the_limit_and_expire(self):
        def key_of(engine):
            engine.check_limits("10.0.0.1", "/", cost=2)
            (key,) = self.client.keys("*" + key_digest("10.0.0.1"))
            self.client.flushall()
            return key.decode()

        self.assertEqual(key_of(self.engine("fixed_window", TWO_RATES)),
                         "vorn:fw:3/60000;5/3600000:" + key_digest("10.0.0.1"))
        # One rate: the one-rate engine's key, so both read the same state.
        self.assertEqual(key_of(self.engine("token_bucket", [(10, 1000)])),
                         key_of(self.engine("token_bucket", capacity=10, refill_rate=10)))
        # Other rates, other keys.
        first = self.engine("sliding_window", TWO_RATES, prefix="p:")
        other = self.engine("sliding_window", [(3, 60_000)], prefix="p:")
        for _ in range(3):
            first.check("10.0.0.3", "/")
        self.assertFalse(first.check("10.0.0.3", "/")["allowed"])
        self.assertTrue(other.check("10.0.0.3", "/")["allowed"])
        # A key lives until its longest rate is whole again, not longer.
        self.engine("fixed_window", TWO_RATES).check("10.0.0.4", "/")
        self.engine("sliding_window", TWO_RATES).check("10.0.0.4", "/")
        self.engine("token_bucket", [(2, 1000), (4, 10_000)]).check_limits("10.0.0.4", "/",
                                                                           cost=2)
        for key, longest in (("vorn:fw:3/60000;5/3600000:", 3_600_000),
                             ("vorn:sw:3/60000;5/3600000:", 3_600_001),
                             ("vorn:tb:2/1000;4/10000:", 5_001)):
            ttl = self.client.pttl(key + key_digest("10.0.0.4"))
            self.assertTrue(longest - 1000 < ttl <= longest, (key, ttl))

    def test_refund_creates_nothing_and_reset_forgets_every_rate(self):
        for algorithm in ALGORITHMS:
            # On a clock that stands still: a bucket full to the brim would
            # otherwise admit again a millisecond later.
            engine = self.engine(algorithm, TWO_RATES, prefix=algorithm + ":",
                                 clock=lambda: AHEAD_BASE_MS)
            engine.refund("ghost", 2)
            self.assertEqual(self.client.keys(algorithm + ":*"), [])
            for _ in range(3):
                engine.check("k", "/")
            self.assertFalse(engine.check("k", "/")["allowed"])
            engine.refund("k", 1)
            self.assertEqual(engine.check_limits("k", "/")["remaining"], 0, algorithm)
            engine.reset("k")
            self.assertEqual(self.client.keys(algorithm + ":*"), [])
            self.assertEqual(engine.check_limits("k", "/", cost=3)["remaining"], 0, algorithm)

    def test_the_local_engine_answers_with_the_same_rates_while_redis_fails(self):
        server = RedisServer().start()
        engine = redis_engine.RedisEngine(server.url, "fixed_window", rates=TWO_RATES,
                                          timeout=0.2, probe_interval=0.05)
        self.addCleanup(engine.close)
        self.assertEqual(engine.check_limits("k", "/", cost=2)["remaining"], 1)
        server.kill()
        native = vorn_native.RustEngine.from_rates("fixed_window", "active", TWO_RATES)
        with self.assertLogs("vorn.redis", logging.WARNING):
            answers = [engine.check_limits("k", "/", cost=2)]
            engine.refund("k", 2)
            answers.append(engine.check_limits("k", "/", cost=3))
            engine.reset("k")
            answers.append(engine.check_limits("k", "/", cost=1))
        expected = [native.check_limits("k", "/", cost=2)]
        native.refund("k", 2)
        expected.append(native.check_limits("k", "/", cost=3))
        native.reset("k")
        expected.append(native.check_limits("k", "/", cost=1))
        for ours, theirs in zip(answers, expected):
            self.assertEqual((ours["allowed"], ours["remaining"], ours["policies"]),
                             (theirs["allowed"], theirs["remaining"], theirs["policies"]))
        self.assertTrue(engine.degraded)


if __name__ == "__main__":
    unittest.main()
