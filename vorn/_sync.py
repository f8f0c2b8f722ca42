"""One limit across processes and machines, answered in process: the engine of
create_engine(..., redis=..., sync=seconds).

Checks are the native SyncEngine's own methods, decided from local state: each
key's mirror of the shared state, the lease this process holds of it, and a
small credit for keys not synced yet. One daemon thread syncs every `sync`
seconds: it takes the native reports of the keys with something to say, sends
them to Redis in one call of lua/sync.lua (the keys of one engine share a
Cluster hash tag, so one call covers them), and hands the answers back. A sync
that fails (Redis down, or no answer within LATE_TIMEOUTS timeouts) leaves the
engine degraded: each process then limits alone, and what it admitted reaches
Redis at the first sync that succeeds. With a zone, the processes of one
machine share one table of keys in a file beside the zone's, and only the one
elected in it syncs (`_sync_turn()`): the others skip their intervals, so Redis
sees one client per machine. A forked child starts its own thread and holds
nothing of its parent. close() stops the thread after one last push.
"""
import os
import threading
import time
import uuid
import weakref
from typing import Any, List, Optional, Sequence, Tuple

from ._redis_base import MAX_REDIRECTIONS, _no_script, _topology
from ._redis_clients import key_slot, redirection, run_blocking, set_deadline
from ._redis_core import LOG, Limits, Script, script_text

SYNC_ALGORITHMS = ("token_bucket", "fixed_window", "leaky_bucket")
SYNC_REFUSED = "sync works with token_bucket, fixed_window and leaky_bucket"
# An instance counts as live for this many intervals after its last sync.
LIVE_INTERVALS = 3
# Keys per script call, so that one call does not hold Redis for long; the
# calls of one sync still go in one write.
KEYS_PER_CALL = 1000
# A sync waits this many timeouts for its answer before it counts as failed. A
# late answer is still the truth (its script ran): taking it keeps the leases
# and debits it made, where giving up would make each process limit alone and
# send the same admissions again. Meanwhile checks spend only their leases, so
# waiting can undershoot, never overshoot. close()'s last push waits one timeout.
LATE_TIMEOUTS = 20

_script: Optional[Script] = None


def _sync_script() -> Script:
    global _script
    if _script is None:
        _script = Script(script_text("sync"))
    return _script


def _number(value: float) -> str:
    return repr(float(value)) if value != int(value) else str(int(value))


class _Syncer:
    """The background work of one engine, from start(engine) on. Holds the
    engine weakly: an engine dropped without close() ends its thread at the
    next interval."""

    def __init__(self, redis: Any, algorithm: str, rates: Sequence[Tuple[float, int]],
                 prefix: str, timeout: float, interval: float) -> None:
        self._topology, self._password = _topology(redis, timeout, False)
        self._owns_client = isinstance(redis, str)
        self._interval = interval
        self._timeout = max(timeout, interval)
        limits = Limits(algorithm, 0.0, 0.0, prefix, rates)
        shape = limits.key_prefix[len(prefix):-1]
        # One hash tag for every key of this limit: one script call, one slot.
        self._key_base = prefix + "sync{" + shape + "}:"
        self._instances_key = self._key_base + "instances"
        self._calls_key = self._key_base + "calls"
        self._head = (limits.kind, str(len(rates))) + limits.rate_args
        self._life_ms = str(max(1, int(interval * 1000 * LIVE_INTERVALS)))
        self._refreshes = 0  # slot map reads so far
        self._closed = False
        self._lock = threading.Lock()  # one sync at a time

    @property
    def scope(self) -> str:
        """Where this limit syncs, as both hosts write it: engines of one
        machine share a table of keys only when they sync to the same place."""
        return self._key_base + " " + self._topology.describe

    def start(self, engine: Any) -> None:
        self._engine = weakref.ref(engine)
        self._start()
        syncer = weakref.ref(self)
        os.register_at_fork(after_in_child=lambda: _restart(syncer))

    def _start(self) -> None:
        self._id = uuid.uuid4().hex
        self._calls_made = 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._loop, name="vorn-sync", daemon=True)
        self._thread.start()

    def forked(self) -> None:
        """In a forked child: a new instance, with nothing of the parent's."""
        self._lock = threading.Lock()
        engine = self._engine()
        if engine is None or self._closed:
            return
        engine._sync_forked()
        self._start()

    def _loop(self) -> None:
        wait = 0.0
        while not self._stop.wait(wait):
            started = time.monotonic()
            if not self.sync(False):
                return
            wait = max(0.0, self._interval - (time.monotonic() - started))

    def sync(self, closing: bool) -> bool:
        """One sync; False once the engine is gone."""
        engine = self._engine()
        if engine is None:
            return False
        with self._lock:
            # Another process of the machine syncs the shared keys this
            # interval. close()'s last push always runs: its reports hold what
            # this process has to give back itself.
            if not closing and not engine._sync_turn():
                return True
            reports = engine._sync_reports(closing)
            try:
                replies = self._call(self._calls(reports),
                                     self._timeout * (1 if closing else LATE_TIMEOUTS))
                now, live = int(replies[-1][0]), int(replies[-1][1])
                answers = [answer for reply in replies for answer in reply[2:]]
            except Exception as error:  # noqa: B902 (whatever fails, the next sync tries again)
                was_degraded = engine.degraded
                engine._sync_failed()
                if not was_degraded:
                    text = type(error).__name__ + ": " + str(error)
                    if self._password:
                        text = text.replace(self._password, "***")
                    LOG.warning("vorn: sync with Redis at %s failed (%s); each process limits "
                                "alone until it is back", self._topology.describe, text)
                return True
            was_degraded = engine.degraded
            engine._sync_apply(now, live, answers)
            if was_degraded:
                LOG.warning("vorn: sync with Redis at %s answers again; what was admitted "
                            "meanwhile is counted there", self._topology.describe)
        return True

    def _state_key(self, digest: str) -> str:
        """The Redis key of the client key a native report names by its digest."""
        return self._key_base + digest

    def _calls(self, reports: Sequence[Tuple[Any, ...]]) -> List[Tuple[Any, ...]]:
        """The script calls of one sync: at least one (it registers this
        instance), each of at most KEYS_PER_CALL keys, all sent in one write."""
        calls = []
        for first in range(0, max(len(reports), 1), KEYS_PER_CALL):
            part = reports[first:first + KEYS_PER_CALL]
            keys = [self._instances_key, self._calls_key] + \
                [self._state_key(report[0]) for report in part]
            self._calls_made += 1
            args: List[str] = list(self._head) + [self._id, self._life_ms,
                                                  str(self._calls_made)]
            for _, extra, unused, want, reset, lease_time in part:
                args += [_number(extra), _number(unused), _number(want), str(reset),
                         str(lease_time)]
            calls.append((len(keys), *keys, *args))
        return calls

    def _call(self, calls: List[Tuple[Any, ...]],
              timeout: Optional[float] = None) -> List[Any]:
        """The replies of every call, waited for `timeout` seconds (the sync
        timeout when not given). A call refused unrun (NOSCRIPT, MOVED, ASK,
        TRYAGAIN) is sent again alone, so that none is counted twice."""
        script = _sync_script()
        topology = self._topology
        set_deadline(time.monotonic() + (self._timeout if timeout is None else timeout))
        try:
            if topology.cluster and not topology.loaded:
                self._refresh()
            where = topology.where(self._instances_key)
            answered: List[Any] = [None] * len(calls)
            pending = list(range(len(calls)))
            load = asking = False
            for _ in range(MAX_REDIRECTIONS):
                commands: List[Tuple[Any, ...]] = []
                if load:
                    commands.append(("SCRIPT", "LOAD", script.text))
                for index in pending:
                    if asking:
                        commands.append(("ASKING",))
                    commands.append(("EVALSHA", script.sha) + calls[index])
                replies = run_blocking(topology.client(where), commands)
                replies = [reply for reply, command in zip(replies, commands)
                           if command[0] == "EVALSHA"]
                failed = None
                for index, reply in zip(pending, replies):
                    if isinstance(reply, BaseException):
                        failed = failed or reply
                    else:
                        answered[index] = reply
                if failed is None:
                    return answered
                pending = [index for index in pending if answered[index] is None]
                load = asking = False
                if _no_script(failed):
                    load = True
                    continue
                if topology.cluster and str(failed).startswith("TRYAGAIN"):
                    time.sleep(0.01)  # a slot half moved: its keys are together soon
                    continue
                moved = redirection(failed)
                if moved is None or not topology.cluster:
                    raise failed
                if moved[0] == "MOVED":
                    topology.moved(key_slot(self._instances_key.encode("utf-8")), moved[1])
                where, asking = moved[1], moved[0] == "ASK"
            raise RuntimeError("still redirected after %d tries" % MAX_REDIRECTIONS)
        except BaseException:
            # A node lost, or the cluster down: the slot may have a new primary.
            topology.loaded = False
            raise
        finally:
            set_deadline(None)

    def _refresh(self) -> None:
        """Reads the slot map, from each node in turn, starting one further on
        each time: a node that hangs until the deadline is not asked first again."""
        addresses = self._topology.addresses()
        start = self._refreshes % max(len(addresses), 1)
        self._refreshes += 1
        for address in addresses[start:] + addresses[:start]:
            try:
                reply = run_blocking(self._topology.client(address), [("CLUSTER", "SLOTS")])[0]
            except Exception:  # noqa: B902 (the next node may answer)
                continue
            if self._topology.read_slots(reply):
                return

    def close(self) -> None:
        if self._closed:
            return
        self._closed = True
        self._stop.set()
        if self._thread is not threading.current_thread():
            self._thread.join(self._timeout + self._interval)
        self.sync(True)
        self.close_clients()

    def close_clients(self) -> None:
        for client in self._topology.close(self._owns_client):
            client.close()


def _restart(syncer: "weakref.ref[_Syncer]") -> None:
    live = syncer()
    if live is not None:
        live.forked()


def bucket_rates(algorithm: str, capacity: float, refill_rate: float
                 ) -> List[Tuple[float, int]]:
    """The one rate of an engine given as capacity and refill_rate."""
    if algorithm == "fixed_window":
        return [(capacity, 60000)]
    if not refill_rate > 0:
        raise ValueError("create_engine(): sync needs a refill_rate > 0 or a limit")
    return [(capacity, max(1, int(round(capacity / refill_rate * 1000))))]


def create_synced_engine(redis: Any, algorithm: str, mode: str,
                         rates: Sequence[Tuple[float, int]], api_key: Optional[str],
                         debug: Optional[str], backend_url: str, *, sync: Any,
                         max_overshoot: Any, prefix: str, timeout: float,
                         zone: Optional[str] = None, zone_dir: Optional[str] = None,
                         zone_size: Optional[int] = None) -> Any:
    if algorithm not in SYNC_ALGORITHMS:
        raise ValueError("create_engine(): " + SYNC_REFUSED + ", not " + repr(algorithm))
    if isinstance(sync, bool) or not isinstance(sync, (int, float)) or not 0 < sync < 86400:
        raise ValueError("create_engine(): sync must be a number of seconds > 0, not "
                         + repr(sync))
    if isinstance(max_overshoot, bool) or not isinstance(max_overshoot, (int, float)) \
            or not 0 <= max_overshoot <= 1:
        raise ValueError("create_engine(): max_overshoot must be a number from 0 to 1, not "
                         + repr(max_overshoot))
    syncer = _Syncer(redis, algorithm, rates, prefix, timeout, float(sync))
    # Without a zone the engine syncs alone.
    on_zone = {} if zone is None else {"zone": zone, "zone_dir": zone_dir,
                                       "zone_scope": syncer.scope, "zone_size": zone_size}
    try:
        engine = _engine_class()(algorithm, mode, rates, api_key, debug, backend_url,
                                 max_overshoot=float(max_overshoot),
                                 sync_ms=max(1, int(round(sync * 1000))), **on_zone)
    except BaseException:
        syncer.close_clients()
        raise
    engine._syncer = syncer
    syncer.start(engine)
    return engine


_engine: Any = None


def _engine_class() -> Any:
    """SyncedEngine, made on first use: its base is the native class."""
    global _engine
    if _engine is None:
        from . import _native  # noqa: F401 (its ImportError names the platform)
        from vorn_native import SyncEngine

        class SyncedEngine(SyncEngine):  # type: ignore[misc,valid-type]
            """A native engine of one limit shared through Redis. check,
            check_limits, refund, reset, stats and policies are the native
            engine's; `degraded` is True while the last sync failed."""

            __slots__ = ("_syncer", "__weakref__")

            def close(self) -> None:
                """Stops the syncing after one last push (bounded by the timeout)."""
                self._syncer.close()

        SyncedEngine.__module__ = "vorn"
        SyncedEngine.__qualname__ = "SyncedEngine"
        _engine = SyncedEngine
    return _engine
