"""The rate-limit fields of results of one and several rates
(tests/limit_headers.json, shared with the Node suite), by response_headers and
by the middlewares' ResponseFields alike."""
import json
import pathlib
import sys
import unittest
from unittest import mock

REPO = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO))

from vorn import _headers  # noqa: E402
from vorn._headers import DEFAULT_POLICY_NAME, ResponseFields, response_headers  # noqa: E402

TABLE = json.loads((REPO / "tests" / "limit_headers.json").read_text(encoding="utf-8"))
CASES = TABLE["cases"]


def as_python(result):
    """The result as a native engine gives it: policies a tuple of pairs."""
    result = dict(result)
    if "policies" in result:
        result["policies"] = tuple(tuple(policy) for policy in result["policies"])
    return result


class LimitHeadersTest(unittest.TestCase):
    @mock.patch.object(_headers, "_unix_ms", lambda: TABLE["now_ms"])
    def test_every_case_by_every_maker(self):
        for case in CASES:
            name = case.get("name", DEFAULT_POLICY_NAME)
            result = as_python(case["result"])
            for style, fields in case["fields"].items():
                expected = [tuple(field) for field in fields]
                made = ResponseFields(style, name).fields
                as_bytes = ResponseFields(style, name, as_bytes=True).fields
                with self.subTest(case=case["about"], style=style):
                    self.assertEqual(response_headers(result, style, name), expected)
                    # Twice: the second answer comes from the kept fields.
                    for _ in range(2):
                        self.assertEqual(list(made(result)), expected)
                        self.assertEqual(list(as_bytes(result)),
                                         [(k.lower().encode(), v.encode()) for k, v in expected])

    def test_kept_fields_follow_the_policies(self):
        # The same figures under other rates must not answer with the first rates' field.
        made = ResponseFields("draft").fields
        first, second = as_python(CASES[2]["result"]), as_python(CASES[2]["result"])
        second["policies"] = ((10, 1000), (500, 86400000))
        third = {k: v for k, v in first.items() if k != "policies"}
        for result in (first, second, third, [[10, 1000], [500, 86400000]]):
            if isinstance(result, list):
                result = dict(first, policies=result)  # lists, as another engine may give
            with self.subTest(result=result):
                self.assertEqual(list(made(result)), response_headers(result, "draft"))
        self.assertEqual(made(third)[0][1], '"default";q=10;w=1')


if __name__ == "__main__":
    unittest.main()
