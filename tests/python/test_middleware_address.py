"""Client keys of the middlewares: canonical addresses and the trusted-proxy walk.

The cases live in tests/middleware_addresses.json, shared with the Node suite,
so that both packages give one client the same key.
"""
import json
import pathlib
import random
import shutil
import subprocess
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
                    case["trusted"], case.get("forwardedHeader", "X-Forwarded-For"),
                    case.get("ipv6Prefix", 56))
                header = case.get("header")
                if "headerParts" in case:
                    header = "".join(text * count for text, count in case["headerParts"])
                self.assertEqual(resolver.resolve(case["peer"], header), case["key"])

    def test_ipv6_clients_are_keyed_by_their_network(self):
        for prefix, peer, key in CASES["ipv6"]:
            with self.subTest(prefix=prefix, peer=peer):
                resolver = (ClientAddressResolver() if prefix is None
                            else ClientAddressResolver(ipv6_prefix=prefix))
                self.assertEqual(resolver.resolve(peer), key)
        for prefix in CASES["badIpv6Prefixes"]:
            with self.subTest(prefix=prefix):
                with self.assertRaises((TypeError, ValueError)):
                    ClientAddressResolver(ipv6_prefix=prefix)

    def test_bad_configuration_is_refused_at_construction(self):
        bad = [([network], "X-Forwarded-For") for network in CASES["badNetworks"]]
        for proxies, header in bad + [([], " ")]:
            with self.subTest(proxies=proxies, header=header):
                with self.assertRaises(ValueError):
                    ClientAddressResolver(proxies, header)
        with self.assertRaises(TypeError):  # one text would be read as a list of characters
            ClientAddressResolver("10.0.0.1")


# Pieces of hostile forwarding headers: separators, quotes, escapes, blanks,
# addresses trusted and not, zones, mapped and garbled addresses.
PIECES = [",", ";", "=", '"', "\\", " ", "for", "For", "by", "x", "for=", 'for="', "10.0.0.2",
          "203.0.113.9", "[2001:db8::1]:80", "2001:db8::1%eth0", "fe80::1%eth0", "::ffff:10.0.0.3",
          "_hidden", "unknown", "1.2.3", "\u00e9", "\t", "\x1f", "\u00a0",
          "\ufeff"]


ADDRESSES = ["10.0.0.2", "10.9.9.9", "203.0.113.9", "198.51.100.7", "[2001:db8::1]:80",
             "2001:db8::2", "::ffff:10.0.0.3", "[fe80::1%eth0]:1"]


def hostile_cases(count, seed):
    rng = random.Random(seed)
    cases = []
    for _ in range(count):
        if rng.random() < 0.5:
            header = "".join(rng.choice(PIECES) for _ in range(rng.randint(0, 24)))
        else:  # a well-formed chain, then a few pieces dropped in anywhere
            hops = [rng.choice(ADDRESSES) for _ in range(rng.randint(1, 20))]
            header = ", ".join(rng.choice(['for={}', 'for="{}"', 'by=x;for="{}";proto=http',
                                           '{}']).format(hop) for hop in hops)
            for _ in range(rng.randint(0, 2)):
                at = rng.randint(0, len(header))
                header = header[:at] + rng.choice(PIECES) + header[at:]
        if rng.random() < 0.1:
            header = header * rng.randint(50, 300)  # past the hop and character bounds
        cases.append({"trusted": rng.choice([["10.0.0.0/8"], ["10.0.0.0/8", "::/0"],
                                             ["::ffff:10.0.0.0/104", "2001:db8::/32"]]),
                      "forwardedHeader": rng.choice(["Forwarded", "X-Forwarded-For"]),
                      "peer": rng.choice(["10.0.0.1", "::ffff:10.0.0.1", "192.0.2.1"]),
                      "header": header})
    return cases


class HostAgreementTest(unittest.TestCase):
    @unittest.skipIf(shutil.which("node") is None, "needs node")
    def test_both_hosts_give_hostile_headers_the_same_key(self):
        cases = hostile_cases(3000, seed=17)
        script = ("const { ClientAddressResolver } = require(process.argv[1]);"
                  "const cases = JSON.parse(require('fs').readFileSync(0, 'utf8'));"
                  "process.stdout.write(JSON.stringify(cases.map((c) => new ClientAddressResolver("
                  "c.trusted, c.forwardedHeader).resolve(c.peer, c.header))));")
        node = subprocess.run(["node", "-e", script, str(REPO / "js" / "address.js")],
                              input=json.dumps(cases), capture_output=True, text=True, timeout=60,
                              check=True)
        for case, node_key in zip(cases, json.loads(node.stdout)):
            resolver = ClientAddressResolver(case["trusted"], case["forwardedHeader"])
            self.assertEqual(resolver.resolve(case["peer"], case["header"]), node_key, case)


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
