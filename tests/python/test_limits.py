"""vorn.limits: the limit texts of tests/limit_texts.txt, which the Node parser
reads the same way, and window seconds."""
import json
import pathlib
import sys
import unittest

REPO = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO))

from vorn import limits  # noqa: E402


def read_table():
    """(grammar, [(line number, text, rates or None, reason or None)])."""
    grammar, cases = None, []
    lines = (REPO / "tests" / "limit_texts.txt").read_text(encoding="utf-8").splitlines()
    for number, line in enumerate(lines, 1):
        if not line or line.startswith("#"):
            continue
        if line.startswith("grammar "):
            grammar = line[len("grammar "):]
            continue
        at = line.rindex(" => ")
        text, expected = json.loads(line[:at]), line[at + 4:]
        if expected.startswith("error "):
            cases.append((number, text, None, expected[len("error "):]))
        else:
            cases.append((number, text, [tuple(rate) for rate in json.loads(expected)], None))
    return grammar, cases


class LimitTextTest(unittest.TestCase):
    def test_every_text_of_the_table(self):
        grammar, cases = read_table()
        self.assertEqual(limits.GRAMMAR, grammar)
        self.assertGreater(len(cases), 50)
        for number, text, rates, reason in cases:
            with self.subTest(line=number, text=text):
                if rates is not None:
                    parsed = limits.parse_limit(text)
                    self.assertEqual(parsed, rates)
                    self.assertTrue(all(type(n) is int for rate in parsed for n in rate))
                    continue
                with self.assertRaises(ValueError) as caught:
                    limits.parse_limit(text)
                expected = "limit " + json.dumps(text, ensure_ascii=False) + ": " + reason
                self.assertEqual(str(caught.exception), expected + "; " + grammar)

    def test_a_limit_that_is_not_text_is_a_type_error(self):
        for value in (None, 10, b"10/s", ["10/s"]):
            with self.subTest(value=value), self.assertRaisesRegex(TypeError, "must be a str"):
                limits.parse_limit(value)

    def test_a_long_text_fails_fast_with_its_reason(self):
        with self.assertRaisesRegex(ValueError, "a count is at most 2"):
            limits.parse_limit("1" * 100_000 + "/s")
        with self.assertRaisesRegex(ValueError, "cannot read"):
            limits.parse_limit("1" * 100_000 + "x")


class WindowSecondsTest(unittest.TestCase):
    def test_seconds_round_to_the_nearest_millisecond_within_bounds(self):
        cases = [(1, 1000), (0.25, 250), (1.0004, 1000), (1.0006, 1001), (0.0005, 1),
                 (0.001, 1), (31_622_400, 31_622_400_000), (31_622_400.0004, 31_622_400_000)]
        for seconds, expected in cases:
            with self.subTest(seconds=seconds):
                self.assertEqual(limits.window_ms_of(seconds), expected)
        for seconds in (0, 0.0004, -1, 31_622_400.001, float("nan"), float("inf"), 10 ** 400):
            with self.subTest(seconds=seconds), self.assertRaisesRegex(ValueError, "366 days"):
                limits.window_ms_of(seconds)
        for seconds in (True, "60", None):
            with self.subTest(seconds=seconds), self.assertRaises(TypeError):
                limits.window_ms_of(seconds)


if __name__ == "__main__":
    unittest.main()
