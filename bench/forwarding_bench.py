#!/usr/bin/env python3
"""What one request's forwarding header costs the middleware's key resolution,
in both hosts: ordinary headers and 64 KB hostile ones (garbage, commas, an
unterminated quote, long chains of trusted hops). Prints one line per case with
the median over rounds of the microseconds per resolve.

Usage: bench/forwarding_bench.py [rounds]   (needs node on PATH for the Node rows)
"""
import json
import pathlib
import shutil
import statistics
import subprocess
import sys
import time

REPO = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO))
from vorn.address import ClientAddressResolver  # noqa: E402

SIZE = 65536
CASES = [
    ("Forwarded", "two elements", "for=203.0.113.9, for=10.0.0.2"),
    ("X-Forwarded-For", "two hops", "203.0.113.9, 10.0.0.2"),
    ("Forwarded", "64 KB token", "for=" + "a" * SIZE),
    ("Forwarded", "64 KB of commas", "," * SIZE),
    ("Forwarded", "64 KB unterminated quote", 'for="' + "x" * SIZE),
    ("Forwarded", "64 KB of trusted elements", ", ".join(["for=10.0.0.2"] * (SIZE // 14))),
    ("X-Forwarded-For", "64 KB of trusted hops", ", ".join(["10.0.0.2"] * (SIZE // 10))),
]
NODE = r"""
const { ClientAddressResolver } = require(process.argv[1]);
const [cases, rounds] = JSON.parse(require('fs').readFileSync(0, 'utf8'));
const out = cases.map(([header, , text]) => {
  const resolver = new ClientAddressResolver(['10.0.0.0/8'], header);
  const times = [];
  for (let r = 0; r < rounds; r++) {
    const n = 2000;
    const start = process.hrtime.bigint();
    for (let i = 0; i < n; i++) resolver.resolve('10.0.0.1', text);
    times.push(Number(process.hrtime.bigint() - start) / n / 1000);
  }
  times.sort((a, b) => a - b);
  return times[Math.floor(times.length / 2)];
});
process.stdout.write(JSON.stringify(out));
"""


def python_medians(rounds):
    medians = []
    for header, _, text in CASES:
        resolver = ClientAddressResolver(["10.0.0.0/8"], header)
        times = []
        for _ in range(rounds):
            n = 300
            start = time.perf_counter()
            for _ in range(n):
                resolver.resolve("10.0.0.1", text)
            times.append((time.perf_counter() - start) / n * 1e6)
        medians.append(statistics.median(times))
    return medians


def main(rounds):
    python = python_medians(rounds)
    node = [None] * len(CASES)
    if shutil.which("node"):
        done = subprocess.run(["node", "-e", NODE, str(REPO / "js" / "address.js")],
                              input=json.dumps([CASES, rounds]), capture_output=True, text=True,
                              check=True)
        node = json.loads(done.stdout)
    print(f"{'header':16} {'case':28} {'Python us':>10} {'Node us':>10}")
    for (header, name, _), py_us, node_us in zip(CASES, python, node):
        node_text = f"{node_us:10.2f}" if node_us is not None else f"{'-':>10}"
        print(f"{header:16} {name:28} {py_us:10.2f} {node_text}")


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 9)
