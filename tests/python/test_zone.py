"""ZoneEngine: the same answers as RustEngine with the state in a shared zone,
the zone functions, and how an engine answers and logs while its zone cannot
be used."""
import logging
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest

from vorn_loader import LIBRARY_DIR, RustEngine, vorn_native

ZoneEngine = vorn_native.ZoneEngine
ZoneError = vorn_native.ZoneError
ALGORITHMS = ("token_bucket", "sliding_window", "fixed_window", "leaky_bucket", "other")
STATS_KEYS = ["keys", "capacity", "evictions", "reclaimed", "recoveries", "repairs",
              "replacements", "size_bytes", "configs", "path"]


class ZoneCase(unittest.TestCase):
    counter = 0

    def zone_dir(self):
        """A directory of the test's own, closed to others as zone_dir must be."""
        directory = tempfile.mkdtemp(prefix="vorn-zones-")
        self.addCleanup(shutil.rmtree, directory, True)
        return directory

    def zone_name(self, zone_dir=None):
        ZoneCase.counter += 1
        name = "py%d-%d" % (os.getpid(), ZoneCase.counter)
        self.addCleanup(vorn_native.remove_zone, name, zone_dir)
        return name

    def zone(self, name=None, size=1 << 20, algorithm="token_bucket", mode="active",
             capacity=3.0, refill_rate=0.0, zone_dir=None, on_error="local"):
        return ZoneEngine(name or self.zone_name(zone_dir), size, algorithm, mode, capacity,
                          refill_rate, None, None, "", zone_dir, on_error)


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
    def test_stats_and_removal_in_a_directory_of_ones_own(self):
        directory = self.zone_dir()
        name = self.zone_name(directory)
        engine = self.zone(name, zone_dir=directory)
        for ip in ("a", "b", "c"):
            engine.check(ip, "/")
        stats = vorn_native.zone_stats(name, directory)
        self.assertEqual(list(stats), STATS_KEYS)
        self.assertEqual(stats, engine.zone_stats())
        self.assertEqual((stats["keys"], stats["size_bytes"], stats["configs"]), (3, 1 << 20, 1))
        self.assertEqual(os.path.dirname(stats["path"]), directory)
        self.assertGreaterEqual(stats["capacity"], 1000)
        # The same name elsewhere is another zone.
        with self.assertRaisesRegex(ZoneError, "zone '%s'" % name):
            vorn_native.zone_stats(name, self.zone_dir())
        self.assertIs(vorn_native.remove_zone(name, directory), True)
        self.assertIs(vorn_native.remove_zone(name, zone_dir=directory), False)
        with self.assertRaisesRegex(ZoneError, "zone '%s': does not exist" % name):
            vorn_native.zone_stats(name, directory)
        self.assertTrue(engine.check("a", "/")["allowed"])  # still mapped, still working

    def test_bad_names_and_places(self):
        for bad in ("", "a/b", "x" * 65, "sp ace", "\u00e9"):
            with self.assertRaises(ValueError, msg=bad):
                vorn_native.remove_zone(bad)
            with self.assertRaises(ValueError, msg=bad):
                vorn_native.zone_stats(bad)
            with self.assertRaises(ValueError, msg=bad):
                ZoneEngine(bad, None, "token_bucket", "active", 1, 1, None, None, "")
        with self.assertRaisesRegex(TypeError, "argument 'name'"):
            vorn_native.remove_zone(b"bytes")
        with self.assertRaisesRegex(TypeError, "argument 'zone_dir'"):
            vorn_native.zone_stats("z", 5)
        self.assertTrue(issubclass(ZoneError, OSError))
        shared = self.zone_dir()
        os.chmod(shared, 0o777)
        for call in (lambda: self.zone("z", zone_dir=shared),
                     lambda: vorn_native.zone_stats("z", shared),
                     lambda: vorn_native.remove_zone("z", shared)):
            with self.assertRaisesRegex(ZoneError, shared):
                call()

    def test_sizes_the_zone_refuses_and_sliding_windows_that_cannot_fit(self):
        for size, message in ((100, "too small"), (1 << 70, "too large")):
            with self.assertRaisesRegex(ZoneError, message):
                self.zone(size=size)
        with self.assertRaisesRegex(ZoneError, "too small for a sliding window"):
            self.zone(size=1 << 17, algorithm="sliding_window", capacity=1e6)
        with self.assertRaisesRegex(TypeError, r"ZoneEngine.__new__\(\) missing 1 required "
                                               "positional argument: 'backend_url'"):
            ZoneEngine("z", None, "token_bucket", "active", 1, 1, None, None)
        with self.assertRaisesRegex(TypeError, r"ZoneEngine.check\(\) missing 1 required "
                                               "positional argument: 'route'"):
            self.zone().check("1.1.1.1")


class Degraded(ZoneCase):
    """An engine whose zone file is cut off under it answers by its policy."""

    def broken(self, on_error, capacity=1.0):
        directory = self.zone_dir()
        engine = self.zone(zone_dir=directory, on_error=on_error, capacity=capacity)
        self.assertTrue(engine.check("a", "/")["allowed"])
        self.assertIs(engine.degraded, False)
        self.assertIsNone(engine.degraded_reason)
        os.truncate(engine.zone_stats()["path"], 0)
        return engine

    def test_each_policy_answers_while_degraded_and_the_change_is_logged(self):
        # (policy, allowed, remaining) of the checks after the cut; "local" is a
        # fresh in-process bucket of the same capacity.
        cases = [("local", [True, False], [0, 0]), ("allow", [True, True], [None, None]),
                 ("deny", [False, False], [0, 0])]
        for on_error, allowed, remaining in cases:
            with self.subTest(on_error):
                engine = self.broken(on_error)
                with self.assertLogs("vorn.zone", "WARNING") as logged:
                    results = [engine.check_limits("a", "/") for _ in allowed]
                self.assertEqual([r["allowed"] for r in results], allowed)
                self.assertEqual([r["remaining"] for r in results], remaining)
                self.assertIs(engine.degraded, True)
                self.assertIn("truncated", engine.degraded_reason)
                self.assertIsNone(engine.zone_stats())
                self.assertEqual(len(logged.records), 1)
                self.assertIn("cannot be used", logged.records[0].getMessage())

    def test_a_logger_that_fails_never_fails_the_check(self):
        engine = self.broken("allow")
        logger = logging.getLogger("vorn.zone")
        seen = []

        def fail(*args, **kwargs):
            raise RuntimeError("handler down")

        logger.warning = fail
        self.addCleanup(delattr, logger, "warning")
        hook = sys.unraisablehook
        sys.unraisablehook = seen.append
        self.addCleanup(setattr, sys, "unraisablehook", hook)
        self.assertTrue(engine.check("a", "/")["allowed"])
        self.assertEqual([type(s.exc_value) for s in seen], [RuntimeError])
        self.assertIs(seen[0].object, engine)

    def test_a_damaged_zone_in_the_way_is_replaced_and_that_is_logged_at_once(self):
        directory = self.zone_dir()
        name = self.zone_name(directory)
        path = self.zone(name, zone_dir=directory).zone_stats()["path"]
        vorn_native.remove_zone(name, directory)
        with open(path, "wb") as planted:
            planted.write(b"X" * 8192)
        os.chmod(path, 0o600)
        with self.assertLogs("vorn.zone", "WARNING") as logged:
            engine = self.zone(name, zone_dir=directory)
        self.assertIn("replaced by a fresh one", logged.output[0])
        self.assertIs(engine.degraded, False)
        self.assertEqual(engine.zone_stats()["replacements"], 1)


# Checks one key without pause: argv is the library's directory, the zone and its directory.
LOOPER = r"""
import ctypes, sys
ctypes.CDLL(None).prctl(1, 9)  # PR_SET_PDEATHSIG, SIGKILL: never outlive a hung parent stopped
sys.path.insert(0, sys.argv[1])
import vorn_native
check = vorn_native.ZoneEngine(sys.argv[2], None, "token_bucket", "active", 1e9, 0.0, None,
                               None, "", sys.argv[3]).check
check("k", "/")
print("checking", flush=True)
while True:
    check("k", "/"); check("k", "/"); check("k", "/"); check("k", "/")
"""

# Stops the looper until it is caught holding its key's lock, which a thread's
# check of that key must then wait for. This thread watching that check sleep
# on the lock's futex, in the zone's mapping, proves the check let go of the
# GIL. A second thread's check on the same engine then waits behind the first
# (on the engine's own lock), and must not hold the GIL either while it does:
# else the first could never take it back, and the process would hang.
SCENARIO = r"""
import signal, subprocess, sys, threading, os
library, name, directory, looper = sys.argv[1:]
sys.path.insert(0, library)
import vorn_native
engine = vorn_native.ZoneEngine(name, None, "token_bucket", "active", 1e9, 0.0, None, None, "",
                                directory)
path = engine.zone_stats()["path"]
child = subprocess.Popen([sys.executable, "-c", looper, library, name, directory],
                         stdout=subprocess.PIPE)
assert child.stdout.readline() == b"checking\n"
with open("/proc/self/maps") as maps:
    start, end = next(line.split()[0].split("-") for line in maps if line.rstrip().endswith(path))
zone = range(int(start, 16), int(end, 16))

def sleeping(thread, on_zone):
    try:
        with open("/proc/self/task/%d/syscall" % thread.native_id) as syscall:
            fields = syscall.read().split()
    except OSError:  # the thread is gone
        return False
    # futex(FUTEX_WAIT): a lock's, not the GIL's condition (FUTEX_WAIT_BITSET).
    if fields[0] != "202" or int(fields[2], 16) & 0x7F != 0:
        return False
    return (int(fields[1], 16) in zone) == on_zone

def checking(key):
    thread = threading.Thread(target=engine.check, args=(key, "/"))
    thread.start()
    return thread

outcome = "never caught"
for _ in range(50000):
    os.kill(child.pid, signal.SIGSTOP)
    os.waitpid(child.pid, os.WUNTRACED)
    first = checking("k")
    caught = False
    while first.is_alive() and not caught:
        caught = sleeping(first, True)
    if caught:
        second = checking("other")
        for _ in range(1000000):
            if sleeping(second, False):
                break
    os.kill(child.pid, signal.SIGCONT)
    first.join()
    if caught:
        second.join()
    if caught or engine.degraded:
        outcome = "degraded" if engine.degraded else "waited"
        break
child.kill()
print(outcome)
"""


@unittest.skipUnless(os.path.isdir("/proc/self/task"), "needs /proc")
class WaitingForALock(ZoneCase):
    def test_other_threads_run_while_checks_wait_for_a_stopped_process(self):
        directory = self.zone_dir()
        name = self.zone_name(directory)
        try:
            # The timeout only ends a hung process; no answer depends on time.
            run = subprocess.run([sys.executable, "-c", SCENARIO, str(LIBRARY_DIR), name,
                                  directory, LOOPER], stdout=subprocess.PIPE, timeout=60)
        except subprocess.TimeoutExpired:
            self.fail("hung: a check waiting on the engine's lock held the GIL that the check "
                      "before it needed back")
        outcome = run.stdout.decode().strip()
        if outcome == "never caught":
            self.skipTest("the looper was never caught holding the lock")
        self.assertEqual(outcome, "waited", "a check waited out the stopped process holding "
                                            "the GIL")


if __name__ == "__main__":
    unittest.main()
