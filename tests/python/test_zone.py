"""ZoneEngine: the same answers as RustEngine with the state in a shared zone,
remove_zone and zone_stats, and how zones fail."""
import os
import unittest

from vorn_loader import RustEngine, vorn_native

ZoneEngine = vorn_native.ZoneEngine
ZoneError = vorn_native.ZoneError
ALGORITHMS = ("token_bucket", "sliding_window", "fixed_window", "leaky_bucket", "other")
SHM = "/dev/shm/vorn.%d." % os.geteuid()


class ZoneCase(unittest.TestCase):
    counter = 0

    def zone_name(self):
        ZoneCase.counter += 1
        name = "py%d-%d" % (os.getpid(), ZoneCase.counter)
        self.addCleanup(vorn_native.remove_zone, name)
        return name

    def zone(self, name=None, size=1 << 20, algorithm="token_bucket", mode="active",
             capacity=3.0, refill_rate=0.0):
        return ZoneEngine(name or self.zone_name(), size, algorithm, mode, capacity, refill_rate,
                          None, None, "")


def without_latency(result):
    result = dict(result)
    result["decision"] = dict(result["decision"], latency_ms=None)
    return result


class Parity(ZoneCase):
    def test_every_algorithm_and_mode_answers_as_rust_engine(self):
        # No refill or leak: the two engines read the clock apart, and a few
        # milliseconds of draining must not tell them apart.
        for algorithm in ALGORITHMS:
            for mode in ("active", "shadow", "disabled"):
                local = RustEngine(algorithm, mode, 3.0, 0.0, None, None, "")
                shared = self.zone(algorithm=algorithm, mode=mode, refill_rate=0.0)
                for step in range(8):
                    for ip, identity in (("10.0.0.1", None), ("10.0.0.2", "user"), ("::1", "")):
                        args = (ip, "/r%d" % step, identity)
                        self.assertEqual(without_latency(shared.check(*args)),
                                         without_latency(local.check(*args)),
                                         (algorithm, mode, step, ip))

    def test_engines_naming_one_zone_share_state_and_limits_stay_apart(self):
        name = self.zone_name()
        first, second = self.zone(name), self.zone(name, size=None)
        self.assertTrue(first.check("1.1.1.1", "/")["allowed"])
        self.assertTrue(second.check("1.1.1.1", "/")["allowed"])
        self.assertEqual(first.check("1.1.1.1", "/")["decision"]["remaining"], 0)
        self.assertFalse(second.check("1.1.1.1", "/")["allowed"])
        wider = self.zone(name, capacity=5.0)  # another configuration: a fresh bucket
        self.assertEqual(wider.check("1.1.1.1", "/")["decision"]["remaining"], 4)
        stats = vorn_native.zone_stats(name)
        self.assertEqual((stats["keys"], stats["configs"]), (2, 2))


class ZoneFunctions(ZoneCase):
    def test_stats_and_removal(self):
        name = self.zone_name()
        engine = self.zone(name)
        for ip in ("a", "b", "c"):
            engine.check(ip, "/")
        stats = vorn_native.zone_stats(name)
        self.assertEqual(stats["keys"], 3)
        self.assertEqual(stats["size_bytes"], 1 << 20)
        self.assertGreaterEqual(stats["capacity"], 1000)
        self.assertEqual((stats["evictions"], stats["reclaimed"], stats["configs"]), (0, 0, 1))
        self.assertIs(vorn_native.remove_zone(name), True)
        self.assertIs(vorn_native.remove_zone(name), False)
        self.assertTrue(engine.check("a", "/")["allowed"])  # still mapped, still working
        with self.assertRaisesRegex(ZoneError, "zone '%s': does not exist" % name):
            vorn_native.zone_stats(name)

    def test_bad_names(self):
        for bad in ("", "a/b", "x" * 65, "sp ace", "\u00e9"):
            with self.assertRaises(ValueError, msg=bad):
                vorn_native.remove_zone(bad)
            with self.assertRaises(ValueError, msg=bad):
                vorn_native.zone_stats(bad)
            with self.assertRaises(ValueError, msg=bad):
                ZoneEngine(bad, None, "token_bucket", "active", 1, 1, None, None, "")
        with self.assertRaisesRegex(TypeError, "argument 'name'"):
            vorn_native.remove_zone(b"bytes")
        self.assertTrue(issubclass(ZoneError, OSError))


class ZoneFailures(ZoneCase):
    def plant(self, name, data, mode=0o600):
        path = SHM + name
        with open(os.open(path, os.O_CREAT | os.O_WRONLY | os.O_TRUNC, mode), "wb") as f:
            f.write(data)
        os.chmod(path, mode)

    def test_regions_that_are_refused(self):
        real = self.zone_name()
        self.zone(real, size=1 << 16)
        with open(SHM + real, "rb") as f:
            valid = f.read()
        cases = [
            (b"\0" * 100, "too small: 100 bytes, at least 65536", 0o600),
            (b"X" * 8192, r"not a vorn zone \(bad magic\)", 0o600),
            (valid[:8] + b"\3\0\0\0" + valid[12:], "layout version 3, this library reads 1", 0o600),
            (valid[:20000], "truncated: the header claims 65536 bytes, the region has 20000", 0o600),
            (valid, "accessible to group or others", 0o644),
        ]
        for data, message, mode in cases:
            name = self.zone_name()
            self.plant(name, data, mode)
            with self.assertRaisesRegex(ZoneError, "zone '%s': %s" % (name, message)):
                self.zone(name)

    def test_sizes_and_arguments(self):
        for size, message in ((100, "too small"), (-5, "too small"), (1 << 70, "too large")):
            with self.assertRaisesRegex(ZoneError, message):
                self.zone(size=size)
        with self.assertRaisesRegex(ZoneError, "too small for a sliding window"):
            self.zone(size=1 << 16, algorithm="sliding_window", capacity=1e6)
        with self.assertRaisesRegex(TypeError, "argument 'zone_size': 'float' object cannot be "
                                               "interpreted as an integer"):
            self.zone(size=1.5)
        with self.assertRaisesRegex(TypeError, r"ZoneEngine.__new__\(\) missing 1 required "
                                               "positional argument: 'backend_url'"):
            ZoneEngine("z", None, "token_bucket", "active", 1, 1, None, None)
        with self.assertRaisesRegex(TypeError, r"ZoneEngine.check\(\) missing 1 required "
                                               "positional argument: 'route'"):
            self.zone().check("1.1.1.1")


if __name__ == "__main__":
    unittest.main()
