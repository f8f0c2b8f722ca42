"""A short tour of vorn from Python: one engine per algorithm, a burst of
requests from one client, and what the engine answered to each."""
import os
import sys

sys.path.insert(0, os.environ.get("VORN_PYTHON_PATH", os.path.join(os.path.dirname(__file__), "..", "build", "python")))

import vorn_native  # noqa: E402


def timeline(engine, requests, ip="203.0.113.7"):
    marks, admitted = [], 0
    for i in range(requests):
        result = engine.check(ip, "/api/items")
        marks.append("#" if not result["would_block"] else ("~" if result["allowed"] else "."))
        admitted += not result["would_block"]
    return "".join(marks), admitted, result


def main():
    print("Python %d.%d, vorn_native from %s" % (sys.version_info[:2] + (vorn_native.__file__,)))
    print("  # admitted   . refused   ~ let through in shadow mode, would have been refused")
    runs = [
        ("token_bucket", "active", 5, 1),
        ("sliding_window", "active", 5, 0),
        ("fixed_window", "active", 5, 0),
        ("leaky_bucket", "active", 5, 1),
        ("token_bucket", "shadow", 5, 1),
    ]
    for algorithm, mode, capacity, refill in runs:
        engine = vorn_native.RustEngine(algorithm, mode, capacity, refill, None, None, "http://127.0.0.1:4000")
        marks, admitted, last = timeline(engine, 12)
        print("  %-15s %-7s %s  %2d/12 admitted  last: %s" % (algorithm, mode, marks, admitted, last["decision"]["decision"]))


if __name__ == "__main__":
    main()
