"""Client keys of the middlewares: canonical addresses and the trusted-proxy walk.

The cases live in tests/middleware_addresses.json, shared with the Node suite,
so that both packages give one client the same key.
"""
import json
import pathlib
import sys
import unittest

REPO = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO))

from vorn._core import identity_key  # noqa: E402
from vorn.address import ClientAddressResolver, canonical_address  # noqa: E402

CASES = json.loads((REPO / "tests" / "middleware_addresses.json").read_text(encoding="utf-8"))


class CanonicalAddressTest(unittest.TestCase):
    def test_shared_table(self):
        for index, (text, expected) in enumerate(CASES["canonical"]):
            with self.subTest(index=index, text=text):
                self.assertEqual(canonical_address(text), expected)

    def test_every_spelling_of_one_address_gives_one_key(self):
        spellings = ["2001:db8::1", "2001:DB8::1", "2001:db8:0:0:0:0:0:1",
                     "2001:0db8:0000:0000:0000:0000:0000:0001", "[2001:db8::1]:80"]
        self.assertEqual({canonical_address(s) for s in spellings}, {"2001:db8::1"})


class ResolverTest(unittest.TestCase):
    def test_shared_table(self):
        for case in CASES["resolve"]:
            with self.subTest(why=case["why"]):
                resolver = ClientAddressResolver(
                    case["trusted"], case.get("forwardedHeader", "X-Forwarded-For"))
                header = case.get("header")
                if "headerParts" in case:
                    header = "".join(text * count for text, count in case["headerParts"])
                self.assertEqual(resolver.resolve(case["peer"], header), case["key"])

    def test_bad_configuration_is_refused_at_construction(self):
        bad = [([network], "X-Forwarded-For") for network in CASES["badNetworks"]]
        for proxies, header in bad + [([], " ")]:
            with self.subTest(proxies=proxies, header=header):
                with self.assertRaises(ValueError):
                    ClientAddressResolver(proxies, header)
        with self.assertRaises(TypeError):  # one text would be read as a list of characters
            ClientAddressResolver("10.0.0.1")


class IdentityKeyTest(unittest.TestCase):
    def test_shared_table(self):
        for text, count, key in CASES["identity"]:
            identity = text * count
            with self.subTest(text=text, count=count):
                expected = "id:" + identity if key == "id:<identity>" else key
                self.assertEqual(identity_key(identity), expected)

    def test_anything_but_a_str_or_none_is_an_error(self):
        self.assertIsNone(identity_key(None))
        for odd in (42, b"alice", ["alice"]):
            with self.subTest(odd=odd), self.assertRaises(TypeError):
                identity_key(odd)


if __name__ == "__main__":
    unittest.main()
