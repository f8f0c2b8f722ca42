"""The shortcuts inside check: results copied from per-engine templates, the
route argument reused, arguments bound from the vectorcall form."""
import unittest

from vorn_loader import RustEngine, engine


class TemplatesStayPrivate(unittest.TestCase):
    def test_mutating_a_result_never_reaches_the_next_one(self):
        limiter = engine(capacity=5)
        first = limiter.check("a", "/x")
        first["allowed"] = "changed"
        first["extra"] = 1
        del first["reason"]
        first["decision"]["algorithm"] = "changed"
        first["decision"]["route"] = "changed"
        first["decision"].clear()
        second = limiter.check("a", "/y")
        self.assertEqual(second, {
            "allowed": True, "would_block": False, "reason": "within_limit",
            "decision": {"decision": "allow", "reason": "within_limit",
                         "algorithm": "token_bucket", "route": "/y", "remaining": 3,
                         "latency_ms": second["decision"]["latency_ms"]}})
        self.assertIsNot(first["decision"], second["decision"])

    def test_refusals_and_disabled_mode_overwrite_every_default(self):
        shadow = engine(algorithm="sliding_window", mode="shadow", capacity=1)
        shadow.check("a", "/")
        refused = shadow.check("a", "/")
        self.assertEqual((refused["allowed"], refused["would_block"], refused["reason"]),
                         (True, True, "limit_exceeded"))
        self.assertEqual(refused["decision"]["decision"], "would_block")
        self.assertEqual(refused["decision"]["algorithm"], "sliding_window")
        disabled = engine(algorithm="Custom", mode="disabled").check("a", "/")
        self.assertEqual(list(disabled), ["allowed", "would_block", "decision"])
        self.assertEqual(disabled["decision"]["remaining"], None)
        self.assertEqual(disabled["decision"]["algorithm"], "Custom")

    def test_two_engines_keep_their_own_algorithm_text(self):
        one, two = engine(algorithm="fixed_window"), engine(algorithm="leaky_bucket")
        for _ in range(3):
            self.assertEqual(one.check("a", "/")["decision"]["algorithm"], "fixed_window")
            self.assertEqual(two.check("a", "/")["decision"]["algorithm"], "leaky_bucket")


class RouteAndArguments(unittest.TestCase):
    def test_route_comes_back_as_an_exact_str_of_the_same_text(self):
        class Route(str):
            pass

        limiter = engine()
        for route in ["/plain", Route("/subclass"), "/caf\u00e9/\U0001F600", "/with\0nul"]:
            given = limiter.check("a", route)["decision"]["route"]
            self.assertIs(type(given), str)
            self.assertEqual(given, str(route))

    def test_keywords_and_positions_bind_alike(self):
        limiter = engine(capacity=100)
        calls = [limiter.check("k1", "/"), limiter.check("k1", route="/"),
                 limiter.check(ip="k1", route="/"), limiter.check("k1", "/", None),
                 limiter.check("k1", "/", identity=None)]
        self.assertEqual([c["decision"]["remaining"] for c in calls], [99, 98, 97, 96, 95])
        self.assertEqual(limiter.check("x", "/", "k1")["decision"]["remaining"], 94)

    def test_misuse_gets_the_general_messages(self):
        limiter = engine()
        cases = [((), {}, "RustEngine.check() missing 2 required positional arguments: 'ip' and 'route'"),
                 (("a",), {}, "RustEngine.check() missing 1 required positional argument: 'route'"),
                 (("a", "/", None, 4), {}, "RustEngine.check() takes from 2 to 3 positional arguments but 4 were given"),
                 (("a",), {"ip": "b", "route": "/"}, "RustEngine.check() got multiple values for argument 'ip'"),
                 (("a", 1), {}, "argument 'route': 'int' object cannot be converted to 'PyString'")]
        for args, kwargs, message in cases:
            with self.subTest(args=args, kwargs=kwargs):
                with self.assertRaises(TypeError) as raised:
                    limiter.check(*args, **kwargs)
                self.assertEqual(str(raised.exception), message)
        with self.assertRaises(UnicodeEncodeError):
            limiter.check("\ud800", "/")


if __name__ == "__main__":
    unittest.main()
