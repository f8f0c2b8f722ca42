"""The vorn package's zone layer: create_engine picks the engine class by
`zone`, and remove_zone / zone_stats reach the native module."""
import os
import sys
import unittest

import vorn_loader
from vorn_loader import vorn_native

sys.path.insert(0, str(vorn_loader.REPO))

import vorn  # noqa: E402


class ZonePackageTest(unittest.TestCase):
    def setUp(self):
        self.zone = "vorn-test-%d-package" % os.getpid()
        vorn.remove_zone(self.zone)
        self.addCleanup(vorn.remove_zone, self.zone)

    def test_engines_created_on_one_zone_share_clients(self):
        first = vorn.create_engine(capacity=2, refill_rate=0.0, zone=self.zone)
        second = vorn.create_engine(capacity=2, refill_rate=0.0, zone=self.zone)
        self.assertIs(type(first), vorn_native.ZoneEngine)
        in_process = vorn.create_engine(capacity=2, refill_rate=0.0)
        self.assertIs(type(in_process), vorn_native.RustEngine)
        answers = [engine.check("192.0.2.1", "/items")["allowed"]
                   for engine in (first, first, second, in_process)]
        self.assertEqual(answers, [True, True, False, True])
        refused = second.check("192.0.2.1", "/items")
        self.assertEqual(set(refused), set(in_process.check("192.0.2.1", "/items")))
        self.assertEqual(vorn.zone_stats(self.zone)["keys"], 1)

    def test_zone_size_is_used_when_the_zone_is_created(self):
        vorn.create_engine(zone=self.zone, zone_size=1 << 20)
        stats = vorn.zone_stats(self.zone)
        self.assertEqual(stats["size_bytes"], 1 << 20)
        with self.assertRaises(TypeError):
            vorn.create_engine(zone_size=1 << 20)

    def test_remove_zone_and_zone_stats_of_a_missing_zone(self):
        vorn.create_engine(zone=self.zone)
        self.assertIs(vorn.remove_zone(self.zone), True)
        self.assertIs(vorn.remove_zone(self.zone), False)
        with self.assertRaises(vorn.ZoneError):
            vorn.zone_stats(self.zone)
        self.assertTrue(issubclass(vorn.ZoneError, OSError))

    def test_exported_names_resolve(self):
        for name in vorn.__all__:
            self.assertIsNotNone(getattr(vorn, name), name)


if __name__ == "__main__":
    unittest.main()
