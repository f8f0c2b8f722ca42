"""The middlewares' short ways agree with their general ones: the common address
spellings read without ipaddress, the peer keys a resolver remembers, and the
draft fields made by ResponseFields."""
import pathlib
import sys
import threading
import unittest

REPO = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO))

from vorn import _headers, address  # noqa: E402
from vorn._headers import HEADER_STYLES, ResponseFields, response_headers  # noqa: E402
from vorn.address import ClientAddressResolver  # noqa: E402

TEXTS = ["10.0.0.1", "0.0.0.0", "255.255.255.255", "1.2.3.4", "010.0.0.1", "10.0.0.01",
         "256.1.1.1", "1.2.3", "1.2.3.4.5", "1.2.3.4 ", " 1.2.3.4", "1.2.3.4:80", "1.2.3.4%eth0",
         "::ffff:1.2.3.4", "::FFFF:1.2.3.4", "::fFfF:1.2.3.4", "::ffff:0102:0304",
         "::ffff:01.2.3.4", "::ffff:010.0.0.1", "::ffff:1.2.3.04", "::ffff:1.2.3.4%eth0", "[::ffff:1.2.3.4]:443", "::ffff:256.1.1.1",
         "0::ffff:1.2.3.4", "::ffff:0:1.2.3.4", "::1.2.3.4", "2001:db8::1", "2001:DB8:1:2::5",
         "fe80::1%eth0", "\uff11.2.3.4", "1.2.3.\u0664", "\u0661.2.3.4", "1.2.3.4\n",
         "1" * 200, "1.2.3.4" + " " * 200, "", "unknown"]


def general_key(text, prefix=address.DEFAULT_IPV6_PREFIX):
    """What the general parser makes of a peer text, remembering nothing."""
    parsed = address._parse(text) if text else None
    if parsed is None:
        return text if text else address.UNKNOWN_CLIENT
    return address._client_key(parsed[0], parsed[1], prefix)


class AddressShortWayTest(unittest.TestCase):
    def test_agrees_with_the_general_parser_first_time_and_remembered(self):
        resolver = ClientAddressResolver()
        for text in TEXTS:
            with self.subTest(text=text):
                expected = general_key(text)
                self.assertEqual(resolver.resolve(text), expected)
                self.assertEqual(resolver.resolve(text), expected)

    def test_remembered_keys_stay_with_their_resolver(self):
        wide, narrow = ClientAddressResolver(), ClientAddressResolver(ipv6_prefix=64)
        self.assertEqual(wide.resolve("2001:db8:1:2::5"), "2001:db8:1::/56")
        self.assertEqual(narrow.resolve("2001:db8:1:2::5"), "2001:db8:1:2::/64")
        plain = ClientAddressResolver()
        behind = ClientAddressResolver(["10.0.0.0/8"])
        self.assertEqual(plain.resolve("10.0.0.1", "203.0.113.9"), "10.0.0.1")
        self.assertEqual(behind.resolve("10.0.0.1", "203.0.113.9"), "203.0.113.9")
        self.assertEqual(plain.resolve("10.0.0.1", "203.0.113.9"), "10.0.0.1")

    def test_a_trusted_peer_has_its_header_walked_every_time(self):
        resolver = ClientAddressResolver(["10.0.0.0/8"])
        for header, key in [("203.0.113.9", "203.0.113.9"), ("198.51.100.7", "198.51.100.7"),
                            (None, "10.0.0.1"), ("garbage", "10.0.0.1"),
                            ("192.0.2.1, 10.0.0.2", "192.0.2.1")]:
            with self.subTest(header=header):
                self.assertEqual(resolver.resolve("10.0.0.1", header), key)
        # An untrusted peer is never a way around it, remembered or not.
        for _ in range(2):
            self.assertEqual(resolver.resolve("192.0.2.1", "203.0.113.9"), "192.0.2.1")

    def test_memory_is_bounded_and_shared_safely_between_threads(self):
        resolver = ClientAddressResolver()
        peers = ["10.%d.%d.%d" % (n >> 16, (n >> 8) & 255, n & 255) for n in range(6000)]
        wrong = []

        def resolve_all(offset):
            for i in range(len(peers)):
                peer = peers[(i + offset) % len(peers)]
                if resolver.resolve(peer) != peer:
                    wrong.append(peer)

        threads = [threading.Thread(target=resolve_all, args=(k * 1500,)) for k in range(4)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        self.assertEqual(wrong, [])
        self.assertLessEqual(len(resolver._known), address.MAX_REMEMBERED_PEERS)


class ResponseFieldsTest(unittest.TestCase):
    RESULTS = [
        {"allowed": True, "would_block": False, "limit": 100, "remaining": 99,
         "reset_after_ms": 100, "window_ms": 10000},
        {"allowed": True, "would_block": False, "limit": 100, "remaining": 0,
         "reset_after_ms": 10001, "window_ms": 10000},
        {"allowed": True, "would_block": False, "limit": 100, "remaining": 5,
         "reset_after_ms": 0, "window_ms": 999},
        {"allowed": True, "would_block": False, "limit": 100.0, "remaining": 5,
         "reset_after_ms": 100, "window_ms": 10000},
        {"allowed": True, "would_block": False, "limit": 7, "remaining": 5,
         "reset_after_ms": None, "window_ms": None},
        {"allowed": False, "would_block": True, "limit": 100, "remaining": 0,
         "retry_after_ms": 1500, "reset_after_ms": 10000, "window_ms": 10000},
        {"allowed": True, "would_block": True, "limit": 1, "remaining": 0,
         "retry_after_ms": None, "reset_after_ms": 60001, "window_ms": 60000},
        {"allowed": True, "would_block": False, "limit": 5, "remaining": None},
        {"allowed": False, "would_block": True},
        {"allowed": True},
    ]

    def test_same_fields_as_response_headers(self):
        for style in HEADER_STYLES:
            for name in ("default", 'say "hi" %d \\', "api"):
                made = ResponseFields(style, name).fields
                as_bytes = ResponseFields(style, name, as_bytes=True).fields
                # Twice each, in turns, so a kept policy field meets changing figures.
                for result in self.RESULTS + self.RESULTS:
                    with self.subTest(style=style, name=name, result=result):
                        expected = response_headers(result, style, name)
                        self.assertEqual(list(made(result)), expected)
                        self.assertEqual(list(as_bytes(result)),
                                         [(k.lower().encode("latin-1"), v.encode("latin-1"))
                                          for k, v in expected])

    def test_kept_fields_are_bounded_and_match_their_figures(self):
        made = ResponseFields("draft")
        for remaining in range(_headers.MAX_KEPT_FIELDS + 10):
            result = dict(self.RESULTS[0], remaining=remaining)
            self.assertEqual(list(made.fields(result)), response_headers(result, "draft"))
        self.assertLessEqual(len(made._made), _headers.MAX_KEPT_FIELDS)
        # A float figure equal to a kept int one is still written as a float.
        result = dict(self.RESULTS[0], remaining=5.0)
        self.assertEqual(list(made.fields(result)), response_headers(result, "draft"))

    def test_one_policy_fields_agree_with_the_general_ones(self):
        # One policy's results: its limit and window throughout, figures that
        # repeat, refusals and shadow refusals between admissions.
        results = []
        for remaining, reset_ms in [(9, 1000), (8, 1000), (9, 1000), (0, 59999), (9, 1000)]:
            results.append({"allowed": True, "would_block": False, "limit": 10,
                            "remaining": remaining, "reset_after_ms": reset_ms,
                            "window_ms": 60000})
            results.append({"allowed": remaining != 0, "would_block": True, "limit": 10,
                            "remaining": 0, "retry_after_ms": 1000,
                            "reset_after_ms": reset_ms, "window_ms": 60000})
        results.append(dict(results[0], remaining=9.0))
        for style in HEADER_STYLES:
            for as_bytes in (False, True):
                made = ResponseFields(style, "api", as_bytes=as_bytes)
                one_policy = made.of_one_policy()
                for result in results + results:
                    with self.subTest(style=style, as_bytes=as_bytes, result=result):
                        self.assertEqual(list(one_policy(result)), list(made.fields(result)))

    def test_a_name_latin1_cannot_carry_fails_as_before(self):
        made = ResponseFields("draft", "\u20ac", as_bytes=True).fields
        with self.assertRaises(UnicodeEncodeError):
            made(self.RESULTS[0])
        self.assertEqual(list(ResponseFields("draft", "\u20ac").fields(self.RESULTS[0])),
                         response_headers(self.RESULTS[0], "draft", "\u20ac"))


if __name__ == "__main__":
    unittest.main()
