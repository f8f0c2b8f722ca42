"""Prometheus metrics of vorn's engines, through prometheus_client.

`register(registry=None)` adds vorn's collector to `registry` (default:
prometheus_client's global REGISTRY). It reads the engines' counters when
scraped; a check pays only for its counting. The metrics:

- `vorn_requests_total{limit, result}`: checks by the limit's name (what the
  framework integrations and middlewares name it: a route, a rule, "default")
  and result: `allowed`, `refused`, `shadow_refused` or `disabled`.
- `vorn_store_fallback_total{store}`: checks the failure policy answered, the
  store ("zone" or "redis") being unusable; `vorn_store_degraded{store}`: 1 while
  an engine of this process answers so.
- `vorn_redis_check_seconds`: a histogram of the Redis round trips.
- `vorn_zone_keys{zone}`, `vorn_zone_capacity_keys{zone}`,
  `vorn_zone_evictions_total{zone}`, `vorn_zone_repairs_total{zone}`, for each zone
  an engine of this process is on.

Engines on a zone count in the zone: a scrape of any process of the machine
tells every process's counts of those engines. Counts of in-process and Redis
engines are the scraped process's own. Under gunicorn, either put the limits on
a zone or use prometheus_client's multiprocess mode (PROMETHEUS_MULTIPROC_DIR):
there `register()` copies this process's counts into prometheus_client's own
metrics once a second (and after a fork starts again in the child), and the
scrape's MultiProcessCollector adds every worker's up.
"""
import os
import threading
import time
from typing import Any, Dict, Iterable, List, Optional, Tuple

from . import _counts

RESULTS = ("allowed", "refused", "shadow_refused", "disabled")
SYNC_SECONDS = 1.0

_Counts = Dict[str, List[int]]


def _native() -> Any:
    from . import _native as native  # noqa: F401  (the platform check)
    import vorn_native
    return vorn_native


def _add(into: _Counts, name: str, counts: List[int]) -> None:
    kept = into.setdefault(name, [0] * len(_counts.OUTCOMES))
    for at, value in enumerate(counts):
        kept[at] += value


def _as_list(counts: Dict[str, int]) -> List[int]:
    return [counts[outcome] for outcome in _counts.OUTCOMES]


def gather(per_process: bool = False) -> Dict[str, Any]:
    """The figures the metrics tell, as plain values: {"requests": {name: counts},
    "fallback": {store: n}, "degraded": {store: bool}, "zones": {zone: stats},
    "round_trips": (buckets, seconds)}. With `per_process`, engines on a zone
    count only this process's checks, as the multiprocess mode needs."""
    native = _native()
    requests: _Counts = {}
    fallback = {"zone": 0, "redis": 0}
    degraded = {"zone": False, "redis": False}
    zones: Dict[Tuple[str, Optional[str]], None] = {}
    for name, zone, zone_dir, counts, is_degraded in native.process_counts():
        if name == _counts.HIDDEN_NAME:
            continue  # counted by the engine it serves
        values = _as_list(counts)
        if zone is None:
            _add(requests, name, values)
            continue
        zones[(zone, zone_dir)] = None
        degraded["zone"] = degraded["zone"] or is_degraded
        if per_process:
            _add(requests, name, values)
            fallback["zone"] += values[_counts.FALLBACK]
    zone_stats: Dict[str, Any] = {}
    for zone, zone_dir in zones:
        try:
            zone_stats[zone] = native.zone_stats(zone, zone_dir)
            machine = native.zone_counts(zone, zone_dir)
        except (OSError, ValueError):
            continue  # a zone gone or unusable now: its engines answer by policy
        if not per_process:
            for name, counts in machine.items():
                if name == _counts.HIDDEN_NAME:
                    continue
                values = _as_list(counts)
                _add(requests, name, values)
                fallback["zone"] += values[_counts.FALLBACK]
    for name, store, values in _counts.counts():
        _add(requests, name, values)
        fallback[store] = fallback.get(store, 0) + values[_counts.FALLBACK]
    for store, is_degraded in _counts.degraded_stores().items():
        degraded[store] = degraded.get(store, False) or is_degraded
    return {"requests": requests, "fallback": fallback, "degraded": degraded,
            "zones": zone_stats, "round_trips": _counts.round_trips()}


class Collector:
    """vorn's metrics for a prometheus_client registry, read when scraped."""

    def __init__(self, per_process: bool = False) -> None:
        self.per_process = per_process

    def describe(self) -> Iterable[Any]:
        return []  # made at each scrape: the labels come from the engines

    def collect(self) -> Iterable[Any]:
        from prometheus_client.core import (CounterMetricFamily, GaugeMetricFamily,
                                            HistogramMetricFamily)
        figures = gather(self.per_process)
        requests = CounterMetricFamily("vorn_requests", "Checks by limit and result.",
                                       labels=["limit", "result"])
        for name, counts in sorted(figures["requests"].items()):
            for at, result in enumerate(RESULTS):
                requests.add_metric([name, result], counts[at])
        yield requests
        fallback = CounterMetricFamily(
            "vorn_store_fallback", "Checks the failure policy answered, the store unusable.",
            labels=["store"])
        degraded = GaugeMetricFamily(
            "vorn_store_degraded", "1 while an engine answers by its failure policy.",
            labels=["store"])
        for store in sorted(figures["fallback"]):
            fallback.add_metric([store], figures["fallback"][store])
            degraded.add_metric([store], 1 if figures["degraded"].get(store) else 0)
        yield fallback
        yield degraded
        buckets, seconds = figures["round_trips"]
        cumulative, total = [], 0
        for bound, count in zip(_counts.ROUND_TRIP_BUCKETS + (float("inf"),), buckets):
            total += count
            cumulative.append((_bound_text(bound), total))
        yield HistogramMetricFamily("vorn_redis_check_seconds", "Redis round trips of checks.",
                                    buckets=cumulative, sum_value=seconds)
        yield from _zone_families(figures["zones"], GaugeMetricFamily, CounterMetricFamily)


def _bound_text(bound: float) -> str:
    return "+Inf" if bound == float("inf") else repr(bound)


_ZONE_FIGURES = (
    ("vorn_zone_keys", "Client states a zone holds.", "keys", False),
    ("vorn_zone_capacity_keys", "Client states a zone can hold.", "capacity", False),
    ("vorn_zone_evictions", "States dropped to make room.", "evictions", True),
    ("vorn_zone_repairs", "Shards and states found damaged and started fresh.", "repairs", True),
)


def _zone_families(zones: Dict[str, Any], gauge: Any, counter: Any) -> Iterable[Any]:
    for metric, text, field, is_counter in _ZONE_FIGURES:
        family = (counter if is_counter else gauge)(metric, text, labels=["zone"])
        for zone in sorted(zones):
            family.add_metric([zone], zones[zone][field])
        yield family


class _MultiprocessCopy:
    """Copies this process's figures into prometheus_client's multiprocess
    metrics, which write them to PROMETHEUS_MULTIPROC_DIR for the scrape's
    MultiProcessCollector to add up, once every SYNC_SECONDS in a daemon thread."""

    def __init__(self, registry: Any) -> None:
        from prometheus_client import Counter, Gauge, Histogram
        self.requests = Counter("vorn_requests", "Checks by limit and result.",
                                ["limit", "result"], registry=registry)
        self.fallback = Counter("vorn_store_fallback",
                                "Checks the failure policy answered, the store unusable.",
                                ["store"], registry=registry)
        self.degraded = Gauge("vorn_store_degraded",
                              "1 while an engine answers by its failure policy.", ["store"],
                              registry=registry, multiprocess_mode="livemax")
        self.zones = {field: Gauge(metric, text, ["zone"], registry=registry,
                                   multiprocess_mode="livemax")
                      for metric, text, field, _ in _ZONE_FIGURES}
        self.round_trips = Histogram("vorn_redis_check_seconds", "Redis round trips of checks.",
                                     registry=registry, buckets=_counts.ROUND_TRIP_BUCKETS)
        _counts.round_trip_hooks.append(self.round_trips.observe)
        self._lock = threading.Lock()
        self._copied: Dict[Tuple[str, ...], int] = {}
        self._take_copied()
        self._start()
        if hasattr(os, "register_at_fork"):
            os.register_at_fork(after_in_child=self._after_fork)

    def _take_copied(self) -> None:
        # What counts exist now were made before: only later checks are this copy's.
        self._copied = dict(self._figures(gather(per_process=True)))

    @staticmethod
    def _figures(figures: Dict[str, Any]) -> Iterable[Tuple[Tuple[str, ...], int]]:
        for name, counts in figures["requests"].items():
            for at, result in enumerate(RESULTS):
                yield ("requests", name, result), counts[at]
        for store, count in figures["fallback"].items():
            yield ("fallback", store), count

    def copy(self) -> None:
        """Adds what was counted since the last copy; sets the gauges."""
        with self._lock:
            figures = gather(per_process=True)
            for key, value in self._figures(figures):
                added = value - self._copied.get(key, 0)
                if added > 0:
                    metric = self.requests if key[0] == "requests" else self.fallback
                    metric.labels(*key[1:]).inc(added)
                self._copied[key] = value
            for store, is_degraded in figures["degraded"].items():
                self.degraded.labels(store).set(1 if is_degraded else 0)
            for field, gauge in self.zones.items():
                for zone, stats in figures["zones"].items():
                    gauge.labels(zone).set(stats[field])

    def _run(self) -> None:
        while True:
            time.sleep(SYNC_SECONDS)
            try:
                self.copy()
            except Exception:  # noqa: BLE001  a scrape must not lose the thread
                pass

    def _start(self) -> None:
        threading.Thread(target=self._run, name="vorn-metrics", daemon=True).start()

    def _after_fork(self) -> None:
        self._lock = threading.Lock()
        self._take_copied()
        self._start()


def register(registry: Any = None, *, per_process: Optional[bool] = None) -> Any:
    """Registers vorn's metrics with `registry` (prometheus_client's REGISTRY when
    None) and returns what was registered. In prometheus_client's multiprocess mode
    (PROMETHEUS_MULTIPROC_DIR set) the counts go into its multiprocess metrics,
    this process's own, copied once a second; `per_process=True` asks for this
    process's own counts otherwise too (engines on a zone then tell only theirs)."""
    import prometheus_client
    if registry is None:
        registry = prometheus_client.REGISTRY
    if _multiprocess():
        return _MultiprocessCopy(registry)
    collector = Collector(per_process=bool(per_process))
    registry.register(collector)
    return collector


def _multiprocess() -> bool:
    return bool(os.environ.get("PROMETHEUS_MULTIPROC_DIR")
                or os.environ.get("prometheus_multiproc_dir"))
