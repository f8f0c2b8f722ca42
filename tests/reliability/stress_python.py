#!/usr/bin/env python3
"""Thread stress from Python: 8 threads check shared engines of every algorithm
while other engines are created and dropped on the same threads, with the
interpreter switching threads as often as it can. The totals admitted per
client must be exactly what the limiter allows; nothing may crash.

Usage: stress_python.py [checks_per_thread]   (VORN_PYTHON_PATH names the build)
"""
import os
import pathlib
import sys
import threading

sys.path.insert(0, os.environ.get(
    "VORN_PYTHON_PATH", str(pathlib.Path(__file__).resolve().parents[2] / "build" / "python")))
import vorn_native  # noqa: E402

RustEngine = vorn_native.RustEngine
THREADS = 8
CLIENTS = 12
# Refill rate 0 and windows far longer than the run: a fixed lifetime allowance.
CASES = [("token_bucket", "active", 25.5, 25), ("sliding_window", "shadow", 20, 20),
         ("fixed_window", "active", 15, 15), ("leaky_bucket", "shadow", 9.5, 10)]


def main(checks_per_thread):
    sys.setswitchinterval(1e-6)
    engines = [(RustEngine(a, m, c, 0.0, "key", None, ""), a, m, allowance)
               for a, m, c, allowance in CASES]
    admitted = [[0] * CLIENTS for _ in engines]
    passed = [0] * len(engines)
    lock = threading.Lock()
    errors = []
    start = threading.Barrier(THREADS)

    def worker(t):
        try:
            start.wait()
            local = [[0] * CLIENTS for _ in engines]
            local_passed = [0] * len(engines)
            for i in range(checks_per_thread):
                e = (i + t) % len(engines)
                client = (i // len(engines) + t) % CLIENTS
                identity = f"user-{client}" if client % 2 else None
                result = engines[e][0].check(f"10.0.0.{client}", f"/route/{i % 3}", identity)
                local[e][client] += not result["would_block"]
                local_passed[e] += result["allowed"]
                if i % 50 == 0:
                    # An engine of this thread's own, built and dropped mid-run.
                    own = RustEngine("fixed_window", "active", 2, 0.0, None, None, "")
                    got = [own.check("x", "/")["allowed"] for _ in range(4)]
                    assert got == [True, True, False, False], got
                    del own
            with lock:
                for e, row in enumerate(local):
                    for client, count in enumerate(row):
                        admitted[e][client] += count
                    passed[e] += local_passed[e]
        except BaseException as error:  # noqa: B036 - report anything, PanicException included
            errors.append(repr(error))

    threads = [threading.Thread(target=worker, args=(t,)) for t in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not errors, errors
    for e, (_, algorithm, mode, allowance) in enumerate(engines):
        # Odd clients are keyed by identity, even ones by IP: both use one key each.
        for client in range(CLIENTS):
            assert admitted[e][client] == allowance, (algorithm, client, admitted[e][client])
        if mode == "shadow":
            assert passed[e] == sum(1 for t in range(THREADS) for i in range(checks_per_thread)
                                    if (i + t) % len(engines) == e), (algorithm, passed[e])
    print(f"python stress: {THREADS} threads x {checks_per_thread} checks, totals exact")


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 5000)
