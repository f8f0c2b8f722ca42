"""One process of the synced fleet: checks keys as fast as it can for a while
and prints what it admitted as JSON (the Node twin is sync_fleet_worker.js).
Usage: sync_fleet_worker.py <redis url> <limit> <keys> <seconds> [<outage file>]
While the outage file exists the admissions are also counted apart; while
<outage file>.pause exists it checks nothing (its syncs go on). With
VORN_FLEET_ZONE (and VORN_FLEET_ZONE_DIR) set, the engine is on that zone, so
that one process of the machine syncs for all."""
import json
import os
import random
import sys
import time

import redis_support  # noqa: F401  (puts the built vorn on sys.path)
import vorn

BATCH = 200
# Longer than a sync of a thousand keys takes on a loaded machine (see the test)
TIMEOUT = 1.0


def main(url, limit, key_count, seconds, outage_file=None):
    engine = vorn.create_engine(limit=limit, redis=url, sync=0.1, redis_timeout=TIMEOUT,
                                zone=os.environ.get("VORN_FLEET_ZONE"),
                                zone_dir=os.environ.get("VORN_FLEET_ZONE_DIR"))
    keys = ["client-%d" % i for i in range(int(key_count))]
    report = {"admitted": 0, "checks": 0, "outageAdmitted": 0, "degradedSeen": False,
              "slowestCheckMs": 0.0, "start": int(time.time() * 1000), "end": 0}
    until = time.monotonic() + float(seconds)
    pause_file = None if outage_file is None else outage_file + ".pause"
    at = random.randrange(len(keys))
    check = engine.check
    while time.monotonic() < until:
        if pause_file is not None and os.path.exists(pause_file):
            time.sleep(0.01)
            continue
        outage = outage_file is not None and os.path.exists(outage_file)
        for _ in range(BATCH):
            at = (at + 1) % len(keys)
            started = time.perf_counter()
            allowed = check(keys[at], "/")["allowed"]
            took = (time.perf_counter() - started) * 1000
            if took > report["slowestCheckMs"]:
                report["slowestCheckMs"] = took
            report["checks"] += 1
            if allowed:
                report["admitted"] += 1
                if outage:
                    report["outageAdmitted"] += 1
        if engine.degraded:
            report["degradedSeen"] = True
    report["end"] = int(time.time() * 1000)
    engine.close()
    print(json.dumps(report))


if __name__ == "__main__":
    main(*sys.argv[1:])
