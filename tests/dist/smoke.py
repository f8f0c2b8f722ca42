"""The installed package's answers on this machine's arch, for scripts/arm64_check.sh
and scripts/fresh_machine_check.sh to compare across arches.
  python smoke.py answers          one JSON line per case of smoke_cases.json
  python smoke.py share ZONE N DIR   N checks of one client in ZONE (limit 1000/day)
                                   once DIR/go exists; prints how many were admitted
"""
import json
import os
import sys
import threading
import time

import vorn

HERE = os.path.dirname(os.path.abspath(__file__))


def answers():
    with open(os.path.join(HERE, "smoke_cases.json"), encoding="utf-8") as source:
        table = json.load(source)
    zone = "vorn-smoke-python-%d" % os.getpid()
    for algorithm in table["algorithms"]:
        for mode in table["modes"]:
            for store in table["stores"]:
                for index, case in enumerate(table["cases"]):
                    engine = vorn.create_engine(algorithm, mode, limit=case["limit"],
                                                zone=zone if store == "zone" else None)
                    steps = []
                    for cost in case["costs"]:
                        r = engine.check_limits("10.0.%d.1" % index, "/", cost=cost)
                        steps.append([r.get(name) for name in
                                      ("allowed", "would_block", "reason", "remaining", "limit")])
                    print(json.dumps({"algorithm": algorithm, "mode": mode, "store": store,
                                      "limit": case["limit"], "steps": steps},
                                     separators=(",", ":")))
                    if store == "zone":
                        vorn.remove_zone(zone)


def share(zone, checks, directory):
    # qemu-user runs a process's atomic instructions as plain loads and stores
    # until the process starts a second thread, which a zone that other
    # processes share cannot survive; so one is started (and ends) first.
    threading.Thread(target=lambda: None).start()
    engine = vorn.create_engine("fixed_window", limit="1000/day", zone=zone)
    open(os.path.join(directory, "ready-python-%d" % os.getpid()), "w").close()
    deadline = time.monotonic() + 120
    while not os.path.exists(os.path.join(directory, "go")):
        if time.monotonic() > deadline:
            raise SystemExit("no go within two minutes")
        time.sleep(0.001)
    print(sum(engine.check_limits("10.9.9.9", "/")["allowed"] for _ in range(checks)))


if __name__ == "__main__":
    if sys.argv[1:2] == ["answers"]:
        answers()
    elif sys.argv[1:2] == ["share"] and len(sys.argv) == 5:
        share(sys.argv[2], int(sys.argv[3]), sys.argv[4])
    else:
        raise SystemExit(__doc__)
