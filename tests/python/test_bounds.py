"""What no input may make unbounded: the telemetry queue's memory."""
import unittest

from vorn_loader import engine


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096


class TelemetryBoundTest(unittest.TestCase):
    def test_long_routes_are_bounded_in_bytes_not_only_in_events(self):
        limited = engine(api_key="k", capacity=1e9)
        route = "/" + "r" * 60000
        for _ in range(400):  # fills the queue
            limited.check("a", route)
        before = resident_bytes()
        for _ in range(4000):
            limited.check("a", route)
        # Unbounded, these events would hold about 480 MiB.
        self.assertLess(resident_bytes() - before, 64 << 20)


if __name__ == "__main__":
    unittest.main()
