#!/usr/bin/python3
"""Prints the one table of scripts/bench.sh from the JSON files the benchmarks wrote.

Usage: report.py RESULTS_DIR   (holding core.json, python.json, python_middleware.json, node.json,
node_newest.json: rows of the same Node benchmark under the newest long-term Node, and the
Redis rows' redis_python.json, redis_node.json)
"""
import json
import pathlib
import platform
import subprocess
import sys

ALGORITHMS = ["token bucket", "sliding window", "fixed window", "leaky bucket"]


def load(directory, name):
    path = directory / name
    return json.loads(path.read_text()) if path.exists() else None


def verdict(value, target):
    if value is None or target is None:
        return "", ""
    if target < 0:  # a floor, passed negated so that one comparison serves
        return f">= {-target:g}", "PASS" if value <= target else "MISS"
    return f"<= {target:g}", "PASS" if value <= target else "MISS"


def core_rows(core):
    medians = {b["run_name"]: b for b in core["benchmarks"]
               if b.get("aggregate_name") == "median"}
    for index, algorithm in enumerate(ALGORITHMS):
        for keys, label in ((4096, "hot key (4,096 keys)"), (1_000_000, "cold key (1,000,000 keys)")):
            bench = medians.get(f"BM_EngineCheck/{index}/{keys}")
            if bench:
                target = 150 if (index, keys) == (0, 4096) else None
                yield ("C++", f"engine check, {algorithm}, {label}", f"{bench['cpu_time']:.0f} ns",
                       bench["cpu_time"], target)
    for index, algorithm in enumerate(ALGORITHMS):
        bench = medians.get(f"BM_EngineVerdict/{index}/0")
        if bench:
            yield ("C++", f"engine check_verdict, {algorithm}, hot key (4,096 keys)",
                   f"{bench['cpu_time']:.0f} ns", bench["cpu_time"], 70)
    plain = medians.get("BM_RatesCheck/0")
    for index, label, target in ((1, '"10/second"', 1.1), (2, '"10/second; 1000/hour"', 1.6)):
        bench = medians.get(f"BM_RatesCheck/{index}")
        if plain and bench:
            ratio = bench["cpu_time"] / plain["cpu_time"]
            yield ("C++", f"engine check_verdict, token bucket, {label} / hot-key check, 4,096 keys",
                   f"{bench['cpu_time']:.0f} ns / {plain['cpu_time']:.0f} ns = {ratio:.2f}",
                   ratio, target)
    for index in range(5):
        bench = medians.get(f"BM_Floor/{index}")
        if bench:
            yield ("C++", f"floor: {bench.get('label', index)}", f"{bench['cpu_time']:.1f} ns",
                   None, None)
    norefill = medians.get("BM_EngineCheckReturning/0")
    refill = medians.get("BM_EngineCheckReturning/1")
    if norefill and refill:
        yield ("C++", "engine check, token bucket, 4,096 keys, no refill",
               f"{norefill['cpu_time']:.0f} ns", None, None)
        ratio = refill["cpu_time"] / norefill["cpu_time"]
        yield ("C++", "engine check, token bucket, 4,096 keys, refill between visits",
               f"{refill['cpu_time']:.0f} ns  refill / no refill = {ratio:.2f}", ratio, 1.1)
    existing = medians.get("BM_ExistingKey/0")
    new_key = medians.get("BM_NewKeyWithRoom")
    if existing and new_key:
        ratio = new_key["cpu_time"] / existing["cpu_time"]
        yield ("C++", "token bucket check, new key into a table with room (about 4,096 keys held)",
               f"{new_key['cpu_time']:.0f} ns  this / existing key ({existing['cpu_time']:.0f} ns)"
               f" = {ratio:.2f}", ratio, 3.0)
    yield from limit_rows(medians)
    for index, algorithm in enumerate(ALGORITHMS):
        bench = medians.get(f"BM_BytesPerKey/{index}/iterations:1")
        if bench:
            target = 120 if index == 1 else 80
            yield ("C++", f"resident bytes per key, {algorithm} (1,000,000 IPv4 keys)",
                   f"{bench['bytes_per_key']:.1f} B", bench["bytes_per_key"], target)
    two_rates = medians.get("BM_BytesPerKeyTwoRates/iterations:1")
    if two_rates:
        yield ("C++", "resident bytes per key, token bucket of two rates (1,000,000 IPv4 keys)",
               f"{two_rates['bytes_per_key']:.1f} B", None, None)


def limit_rows(medians, bench_name="BM_LimitCheck", where=""):
    """A limit of rates against the engine of capacity and refill rate, hot keys."""
    for index, algorithm in enumerate(ALGORITHMS):
        plain = medians.get(f"{bench_name}/{index}/0")
        one = medians.get(f"{bench_name}/{index}/1")
        two = medians.get(f"{bench_name}/{index}/2")
        costed = medians.get(f"{bench_name}/{index}/3")
        if not (plain and one and two and costed):
            continue
        for bench, base, label, target in (
                (one, plain, "one rate / capacity and refill", 1.03),
                (two, one, "two rates / one rate", 1.6),
                (costed, one, "cost 2 / cost 1", 1.03)):
            ratio = bench["cpu_time"] / base["cpu_time"]
            yield ("C++", f"limit check{where}, {algorithm}, {label}",
                   f"{bench['cpu_time']:.0f} ns / {base['cpu_time']:.0f} ns = {ratio:.2f}",
                   ratio, target)


def zone_rows(core, zone):
    """The engine in a zone against the in-process engine of the same run."""
    local = {b["run_name"]: b for b in core["benchmarks"] if b.get("aggregate_name") == "median"}
    shared = {b["run_name"]: b for b in zone["benchmarks"] if b.get("aggregate_name") == "median"}
    for index, algorithm in enumerate(ALGORITHMS):
        pairs = ((f"BM_EngineCheck/{index}/4096", f"BM_ZoneEngineCheck/{index}/4096",
                  "engine check in a zone, {}, hot key (4,096 keys)"),
                 (f"BM_EngineCheck/{index}/1000000", f"BM_ZoneEngineCheck/{index}/1000000",
                  "engine check in a zone, {}, cold key (1,000,000 keys)"),
                 (f"BM_NewKey/{index}", f"BM_ZoneNewKey/{index}/1",
                  "limiter check in a zone, {}, new key (zone in service)"),
                 (f"BM_NewKey/{index}", f"BM_ZoneNewKey/{index}/0",
                  "limiter check in a zone, {}, new key (new zone: first touch of its pages)"))
        for local_name, zone_name, label in pairs:
            if local_name in local and zone_name in shared:
                ratio = shared[zone_name]["cpu_time"] / local[local_name]["cpu_time"]
                hot_or_new = "hot" in label or "in service" in label
                yield ("C++", label.format(algorithm),
                       f"{shared[zone_name]['cpu_time']:.0f} ns  this / in-process = {ratio:.2f}",
                       ratio, 1.5 if hot_or_new else None)
    for index, algorithm in enumerate(ALGORITHMS):
        for keys, base, label in ((4096, 0, "hot key (4,096 keys)"),
                                  (1000000, 2, "cold key (1,000,000 keys)")):
            zone_name, local_name = f"BM_ZoneEngineVerdict/{index}/{keys}", f"BM_EngineVerdict/{index}/{base}"
            if local_name in local and zone_name in shared:
                ratio = shared[zone_name]["cpu_time"] / local[local_name]["cpu_time"]
                target = 1.25 if keys == 4096 else (2 if index == 1 else None)
                yield ("C++", f"engine check_verdict in a zone, {algorithm}, {label}",
                       f"{shared[zone_name]['cpu_time']:.0f} ns  this / in-process = {ratio:.2f}",
                       ratio, target)
    floor = shared.get("BM_ZoneFloor")
    if floor:
        yield ("C++", "floor: a zone shard's cross-process lock", f"{floor['cpu_time']:.1f} ns",
               None, None)
    yield from limit_rows(shared, "BM_ZoneLimitCheck", " in a zone")


def zone_memory_rows(memory):
    for bench in memory["benchmarks"]:
        if bench["name"].startswith("BM_ZoneBytesPerKey"):
            rates = ", two rates" if bench.get("label", "").endswith("two rates") else ""
            yield ("C++", f"resident bytes per key in a zone of "
                   f"{bench['zone_MiB']:.0f} MiB (1,000,000 IPv4 token-bucket keys{rates}, "
                   f"{bench['evictions']:,.0f} evicted)", f"{bench['bytes_per_key']:.1f} B",
                   None, None)
        if bench["name"].startswith("BM_ZoneTwoProcesses"):
            yield ("C++", "zone checks per second, two processes on distinct keys "
                   f"({bench['two_processes_per_s'] / 1e6:.2f} M) / one process "
                   f"({bench['one_process_per_s'] / 1e6:.2f} M); the same with in-process "
                   f"engines: {bench.get('in_process_ratio', 0):.2f}", f"{bench['ratio']:.2f}",
                   -bench["ratio"], -1.6)


def reclaim_rows(memory):
    for bench in memory["benchmarks"]:
        if not bench["name"].startswith("BM_OneOffClientsResident/"):
            continue
        clients = int(bench["name"].split("/")[2])
        reclaiming = bench["name"].split("/")[1] == "1"
        what = (f"process resident memory after {clients:,} one-off clients, "
                f"{'reclaiming' if reclaiming else 'keeping every key'} "
                f"({bench['keys_held']:,.0f} keys held)")
        yield ("C++", what, f"{bench['process_MiB']:.1f} MiB", bench["process_MiB"],
               64 if reclaiming else None)


PYTHON_ROWS = [
    ("check", "RustEngine.check", None),
    ("check_limits", "RustEngine.check_limits (within 10% of check: ratio >= 0.91)", None),
    ("zone_check", "ZoneEngine.check (state in a shared-memory zone)", None),
    ("dict_bucket", "plain-Python dict token bucket", 0.9),
    ("limits_fixed", "limits FixedWindowRateLimiter.hit", 0.3),
    ("limits_moving", "limits MovingWindowRateLimiter.hit", None),
    ("floor", "native floor (c): plain limited-API method", 1.3),
    ("floor_vectorcall", "native floor with check's own shortcuts (info)", None),
    ("floor_nothing", "bare crossing: a vectorcall method doing nothing (info)", None),
]

NODE_ROWS = [
    ("checkRequest", "checkRequest, admitted", None),
    ("zone_checkRequest", "VornZoneNode checkRequest (state in a shared-memory zone)", None),
    ("checkRequest_refused", "checkRequest, refused", None),
    ("checkLimits", "checkLimits, admitted (within 10%: ratio >= 0.91)", None),
    ("middleware", "middleware (req, res, next), admitted", None),
    ("middleware_refused", "middleware (req, res, next), refused with 429", None),
    ("rlf_allow", "rate-limiter-flexible consume, admitted (awaited)", 0.7),
    ("rlf_refuse", "rate-limiter-flexible consume, refused (awaited)", 0.3),
    ("erl_increment", "express-rate-limit MemoryStore.increment (awaited)", None),
    ("limiter_bucket", "limiter TokenBucket per key", None),
    ("map_bucket", "plain-JS Map token bucket", 3.0),
    ("napi_floor", "Node-API floor (e): 3 arguments, 5-property object", None),
    ("napi_nothing", "bare crossing: a Node-API method doing nothing (info)", None),
]


PYTHON_RETURNING = ("check", "check_4096_norefill", "check_4096_refill", [
    ("dict_bucket_4096", "plain-Python dict token bucket, 4,096 keys", 0.5),
    ("limits_fixed_4096", "limits FixedWindowRateLimiter.hit, 4,096 keys", 0.25),
])

NODE_RETURNING = ("checkRequest", "checkRequest_4096_norefill", "checkRequest_4096_refill", [
    ("rlf_allow_4096", "rate-limiter-flexible consume, admitted, 4,096 keys", 0.8),
    ("map_bucket_4096", "plain-JS Map token bucket, 4,096 keys", 1.8),
])


def returning_rows(host, result, rows):
    """The 4,096-key rows: both refill configurations, each against the peers."""
    subject, norefill, refill, peers = rows
    ns, ratio = result["ns"], result["ratio"]
    if norefill not in ns or refill not in ns:
        return
    yield (host, f"{subject}, 4,096 keys, no refill", f"{ns[norefill]:.0f} ns", None, None)
    between = ratio.get(f"{refill}/{norefill}")
    yield (host, f"{subject}, 4,096 keys, refill between visits",
           f"{ns[refill]:.0f} ns  refill / no refill = {between:.2f}", between, 1.1)
    for key, label, target in peers:
        if key not in ns:
            continue
        worse = max(ratio[f"{norefill}/{key}"], ratio[f"{refill}/{key}"])
        yield (host, label, f"{ns[key]:.0f} ns  no refill / this = {ratio[f'{norefill}/{key}']:.2f},"
               f" refill / this = {ratio[f'{refill}/{key}']:.2f}", worse, target)


def host_rows(host, result, rows, subject):
    for key, label, target in rows:
        if key not in result["ns"]:
            continue
        ratio = result["ratio"].get(key)
        if key.startswith("zone_") and ratio:
            # The zone against the in-process figure: at most 1.2 times it.
            inverse = 1 / ratio
            yield (host, label, f"{result['ns'][key]:.0f} ns  this / {subject} = {inverse:.2f}",
                   inverse, 1.2)
            continue
        ratio_text = f"{subject} / this = {ratio:.2f}" if ratio is not None else ""
        yield (host, label, f"{result['ns'][key]:.0f} ns  {ratio_text}".rstrip(), ratio, target)


# Each of our rows is held to the peer row of the same algorithm; the token bucket,
# which neither peer offers on Redis, is shown against their fixed window.
REDIS_PYTHON_ROWS = [
    ("vorn_async", "Redis: AsyncRedisEngine.check, token bucket, 64 asyncio tasks", None),
    ("vorn_async_fixed", "Redis: AsyncRedisEngine.check, fixed window, 64 asyncio tasks", 1.0),
    ("vorn_async_sliding", "Redis: AsyncRedisEngine.check, sliding window, 64 asyncio tasks",
     1.0),
    ("vorn_threads", "Redis: RedisEngine.check, token bucket, 64 threads", None),
    ("vorn_sliding_threads", "Redis: RedisEngine.check, sliding window, 64 threads", None),
    ("limits_fixed_threads", "Redis: limits FixedWindowRateLimiter.hit, 64 threads", None),
    ("limits_moving_threads", "Redis: limits MovingWindowRateLimiter.hit, 64 threads", None),
]
REDIS_PEERS = {"vorn_async": "limits fixed", "vorn_async_fixed": "limits fixed",
               "vorn_threads": "limits fixed",
               "vorn_async_sliding": "limits moving", "vorn_sliding_threads": "limits moving",
               "vorn_token_bucket": "flexible", "vorn_fixed_window": "flexible"}
REDIS_NODE_ROWS = [
    ("vorn_token_bucket", "Redis: RedisEngine.checkRequest, token bucket, 64 in flight", None),
    ("vorn_fixed_window", "Redis: RedisEngine.checkRequest, fixed window, 64 in flight", 1.0),
    ("rlf_redis", "Redis: rate-limiter-flexible RateLimiterRedis.consume, 64 in flight", None),
]


def redis_rows(host, result, rows):
    """Checks per second against one redis-server; the ratio is of time per check."""
    for key, label, target in rows:
        if key not in result["rate"]:
            continue
        ratio = result["ratio"].get(key)
        ratio_text = f"  this / {REDIS_PEERS[key]} = {ratio:.2f}" if ratio is not None else ""
        yield (host, label, f"{result['rate'][key]:,.0f} checks/s{ratio_text}", ratio, target)
    for limiter, figures in result.get("memory", {}).items():
        yield (host, f"Redis memory per client key, {limiter.replace('_', ' ')} "
               f"({figures['keys']:,} keys, INFO used_memory)",
               f"{figures['bytes_per_key']:.0f} B ({figures['bytes_per_key']:.0f} MB per "
               "million clients)", None, None)


def redis_rate_rows(host, result):
    """Time per check of a Redis limit of two rates against one (checks per second)."""
    for name, ratio in sorted(result.get("ratio", {}).items()):
        target = 1.3 if name.endswith("/ one_rate_cost1") else None
        yield (host, f"Redis limit: {name}", f"{ratio:.2f}", ratio, target)
    for shape, memory in sorted(result.get("memory", {}).items()):
        yield (host, f"Redis bytes per key, token bucket, {shape.replace('_', ' ')}",
               f"{memory['bytes_per_key']:.0f} B (MEMORY USAGE of one: {memory['memory_usage']} B)",
               None, None)


def redis_cluster_rows(result):
    """Checks per second on a cluster of three primaries, and the ratio to one Redis."""
    for name, rate in sorted(result.get("rate", {}).items()):
        if not name.endswith("_cluster"):
            continue
        engine = name[:-len("_cluster")]
        ratio = result.get("ratio", {}).get(engine)
        host = f"Node {result['node']}" if engine.startswith("node") \
            else f"Python {result['python']}"
        ratio_text = f"  cluster / one Redis = {ratio:.2f}" if ratio is not None else ""
        yield (host, f"Redis Cluster: {engine.replace('_', ' ')}, 64 in flight",
               f"{rate:,.0f} checks/s{ratio_text}", None, None)


def node_http_rows(host, result):
    """The wrapped node:http handler on fresh request and response objects."""
    ns = result["ns"]
    if "http_bare" not in ns or "checkLimits" not in ns:
        return
    if "http_fields" in ns:
        yield (host, "a bare node:http answer setting the same two fields itself: their cost",
               f"{ns['http_fields'] - ns['http_bare']:.0f} ns", None, None)
    for form, label in (("ipv4", "dotted IPv4"), ("mapped", "IPv4-mapped IPv6"),
                        ("ipv6", "IPv6")):
        key = f"middleware_http_{form}"
        if key in ns:
            own = ns[key] - ns["http_bare"]
            yield (host, f"middleware around a node:http handler, {label} client: what it adds "
                   "to an answer",
                   f"{own:.0f} ns  over checkLimits: {own - ns['checkLimits']:+.0f} ns", None, None)


# (variant, label, bare server, peer it must beat)
HTTP_ROWS = [
    ("plain", "node:http, bare", None, None),
    ("vorn", "node:http + vorn (limit.wrap)", "plain", "rate-limiter-flexible"),
    ("vorn, no fields", "node:http + vorn (limit.wrap), headers: null", "plain",
     "rate-limiter-flexible"),
    ("rate-limiter-flexible", "node:http + rate-limiter-flexible consume in the handler", "plain",
     None),
    ("hello", "node:http, Node's introductory example (sets Content-Type)", None, None),
    ("hello+vorn", "the same + vorn (limit.wrap)", "hello", None),
    ("express", "Express, bare", None, None),
    ("express+vorn", "Express + vorn middleware", "express", "express+express-rate-limit"),
    ("express+express-rate-limit", "Express + express-rate-limit", "express", None),
]


def http_rows(result):
    """wrk against trivial servers: requests per second, and the ratio to the bare server."""
    host = f"Node {result['node']}"
    rps, ratio, cpu = result["rps"], result["ratio"], result["cpu_us"]
    for variant, label, bare, peer in HTTP_ROWS:
        if variant not in rps:
            continue
        figure = f"{rps[variant]:,.0f} requests/s ({cpu[variant]:.1f} us CPU a request)"
        if bare is None:
            yield (host, f"wrk: {label}", figure, None, None)
            continue
        figure += f"  this / bare = {ratio[variant]:.3f}"
        target = {"vorn": -0.95, "hello+vorn": -0.98}.get(variant)
        yield (host, f"wrk: {label}", figure, -ratio[variant] if target else None, target)
        if peer in ratio:
            over = ratio[variant] / ratio[peer]
            yield (host, f"wrk: {label}, against {peer}", f"this / {peer} = {over:.3f}",
                   -over, -1.0)


MIDDLEWARE_FORMS = [("ipv4", "dotted IPv4"), ("mapped", "IPv4-mapped IPv6 (::ffff:)"),
                    ("ipv6", "plain IPv6")]


def middleware_rows(host, result):
    """What the WSGI and ASGI middlewares add over check, and Flask with vorn against
    Flask with flask-limiter (bench/middleware_bench.py)."""
    ns, added = result["ns"], result["added_ns"]
    for kind, name in (("wsgi", "WSGIMiddleware"), ("asgi", "ASGIMiddleware")):
        for form, label in MIDDLEWARE_FORMS:
            key = kind + "_" + form
            yield (host, f"{name} added over check, {label}, 64 clients",
                   f"{added[key]:.0f} ns  (check {ns['check_' + form]:.0f} ns)", added[key], 1000)
    if "wsgi_ipv4_unremembered" in added:
        yield (host, "WSGIMiddleware added over check, dotted IPv4, 8,192 clients (none "
               "remembered)", f"{added['wsgi_ipv4_unremembered']:.0f} ns", None, None)
    flask = result.get("flask")
    if flask:
        yield (host, "Flask app: added by vorn.WSGIMiddleware / added by flask-limiter",
               f"{flask['vorn_added_ns']:.0f} ns / {flask['limiter_added_ns']:.0f} ns"
               f" = {flask['ratio']:.3f}", flask["ratio"], 0.1)


def cpu_model():
    try:
        for line in subprocess.run(["lscpu"], capture_output=True, text=True).stdout.splitlines():
            if line.startswith("Model name:"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def main():
    directory = pathlib.Path(sys.argv[1])
    rows = []
    core = load(directory, "core.json")
    if core:
        rows += core_rows(core)
    memory = load(directory, "core_memory.json")
    if memory:
        rows += reclaim_rows(memory)
    zone = load(directory, "zone.json")
    if core and zone:
        rows += zone_rows(core, zone)
    zone_memory = load(directory, "zone_memory.json")
    if zone_memory:
        rows += zone_memory_rows(zone_memory)
    python = load(directory, "python.json")
    if python:
        rows += host_rows(f"Python {python['python']}", python, PYTHON_ROWS, "check")
        rows += returning_rows(f"Python {python['python']}", python, PYTHON_RETURNING)
    python_middleware = load(directory, "python_middleware.json")
    if python_middleware:
        rows += middleware_rows(f"Python {python_middleware['python']}", python_middleware)
    node = load(directory, "node.json")
    if node:
        rows += host_rows(f"Node {node['node']}", node, NODE_ROWS, "checkRequest")
        rows += returning_rows(f"Node {node['node']}", node, NODE_RETURNING)
        rows += node_http_rows(f"Node {node['node']}", node)
    http = load(directory, "http.json")
    if http:
        rows += http_rows(http)

    newest = load(directory, "node_newest.json")
    if newest:
        rows += host_rows(f"Node {newest['node']}", newest, NODE_ROWS, "checkRequest")

    redis_python = load(directory, "redis_python.json")
    if redis_python:
        rows += redis_rows(f"Python {redis_python['python']}", redis_python, REDIS_PYTHON_ROWS)
    redis_node = load(directory, "redis_node.json")
    if redis_node:
        rows += redis_rows(f"Node {redis_node['node']}", redis_node, REDIS_NODE_ROWS)

    for name, host_key in (("redis_rates_python.json", "python"), ("redis_rates_node.json", "node")):
        rates = load(directory, name)
        if rates:
            rows += redis_rate_rows(f"{host_key.capitalize()} {rates[host_key]}", rates)

    cluster = load(directory, "redis_cluster.json")
    if cluster:
        rows += redis_cluster_rows(cluster)

    print(f"Machine: {cpu_model()}, {__import__('os').cpu_count()} cores. "
          "Medians over repeated rounds; ratios from the same run.")
    print()
    print("| host | measure | median | target | |")
    print("|---|---|---|---|---|")
    for host, label, figure, value, target in rows:
        target_text, result = verdict(value, target)
        print(f"| {host} | {label} | {figure} | {target_text} | {result} |")


if __name__ == "__main__":
    main()
