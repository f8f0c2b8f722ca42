"""Redis URLs: every form both hosts accept reads to the same parts, and every
malformed one is refused with the reason (tests/redis_urls.json, shared with
tests/node/redis_urls.test.js); the password never appears in a message."""
import json
import os
import sys
import unittest

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
if REPO not in sys.path:
    sys.path.insert(0, REPO)

from vorn import _redis_urls  # noqa: E402

with open(os.path.join(REPO, "tests", "redis_urls.json"), encoding="utf-8") as table:
    CASES = json.load(table)


class RedisUrlTest(unittest.TestCase):
    def test_each_form_reads_to_its_parts(self):
        for url, expected in CASES["parsed"]:
            parsed = _redis_urls.parse(url).as_dict()
            self.assertEqual({name: parsed[name] for name in expected}, expected, url)

    def test_each_malformed_url_is_refused_with_its_reason(self):
        for url, reason in CASES["refused"]:
            with self.assertRaises(ValueError, msg=url) as caught:
                _redis_urls.parse(url)
            self.assertIn(reason, str(caught.exception), url)

    def test_messages_and_descriptions_hide_the_password(self):
        with self.assertRaises(ValueError) as caught:
            _redis_urls.parse("redis://:hunter2@h/x")
        self.assertNotIn("hunter2", str(caught.exception))
        described = _redis_urls.parse("redis+sentinel://:hunter2@s1/main/2").describe()
        self.assertEqual(described, "sentinel s1:26379/main/2")


if __name__ == "__main__":
    unittest.main()
