"""One process of the shared-limit test: a synced engine on the given Redis.
It syncs once on a key of its own (so that it counts among the live
instances), says "ready", waits for "go" on stdin, checks one shared key as
fast as it can for the given seconds, and prints what it admitted and when it
started and stopped (time.time())."""
import sys
import time

import redis_support  # noqa: F401 (puts the built vorn on sys.path)

import vorn


def main(url, limit, seconds):
    engine = vorn.create_engine(limit=limit, redis=url, sync=0.1)
    engine.check("warm-up", "/", str(time.time()))
    time.sleep(0.25)
    print("ready", flush=True)
    sys.stdin.readline()
    check = engine.check
    admitted = 0
    started = time.time()
    stop = started + seconds
    while time.time() < stop:
        for _ in range(200):
            admitted += check("10.0.0.1", "/", "shared")["allowed"]
    ended = time.time()
    engine.close()
    print(admitted, started, ended, flush=True)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2], float(sys.argv[3]))
