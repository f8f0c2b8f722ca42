"""Engines that keep every client's count in Redis, so that all processes and
machines pointed at one Redis (a server, a Redis Cluster, or the primary that
Sentinel names) share one limit per client.

Each check is one atomic round trip: the limiter's Lua script (the lua/ files,
shared with the Node package) runs on the client's key with EVALSHA and takes
the time from the Redis server. No check takes longer than the timeout, counted
from its start, whatever the server does. When Redis cannot be reached, is
slower than the timeout, or answers with anything but the script's answer, the
engine answers as `on_error` says ("local": from an in-process native engine
with the same configuration; "allow"; "deny"), logs one warning, and goes back
to Redis by itself once a background probe finds it answering again. On a
cluster each primary fails and comes back on its own.

A limit of several rates (`rates`, as `RustEngine.from_rates` takes them) is
decided in one call of lua/limits.lua on one key, so a request is counted by all
of its rates or by none; so are checks with a cost other than 1, and refunds.

`RedisEngine` uses redis-py's blocking client (WSGI); `AsyncRedisEngine` uses
`redis.asyncio` (ASGI). Both return the same dict as `vorn_native.RustEngine` and
take the RustEngine's seven arguments after `redis` (a URL as vorn/_redis_urls.py
reads it, or a redis-py client: Redis, RedisCluster, Sentinel.master_for), then
the keywords `prefix`, `timeout` (seconds), `on_error`, `probe_interval`
(seconds), `rates` (when given, capacity and refill_rate are unused) and, for
tests, `clock`: a function giving milliseconds since the epoch that the scripts
then use instead of the Redis server's time.
"""
import threading
import time
from typing import Any, Dict, Optional, Tuple

from ._redis_async import AsyncRedisEngine
from ._redis_base import FAILED, MAX_REDIRECTIONS, _RedisEngineBase
from ._redis_clients import _deadline, run_blocking, set_deadline
from ._redis_core import (Limits, Script, UnexpectedReply, checked_cost, key_digest, key_number,
                          script_number, script_text, whole_count)

__all__ = ["AsyncRedisEngine", "Limits", "RedisEngine", "checked_cost", "key_digest",
           "key_number", "script_number", "script_text", "whole_count"]


class RedisEngine(_RedisEngineBase):
    """A rate-limiting engine whose per-client state lives in Redis (blocking client).

    `check(ip, route, identity=None)` returns the same dict as
    `vorn_native.RustEngine.check`; `check_limits`, `refund` and `reset` are
    RustEngine's too. Thread-safe: redis-py's client keeps a pool of
    connections. Each call stops at the timeout, counted from its start, however
    the server answers. While a server fails, one daemon thread probes it every
    `probe_interval` seconds; `close()` stops it and closes the clients built here.
    """

    def check(self, ip: str, route: str, identity: Optional[str] = None) -> Dict[str, Any]:
        return self._check(ip, route, identity, False)

    def check_limits(self, ip: str, route: str, identity: Optional[str] = None, *,
                     cost: float = 1) -> Dict[str, Any]:
        """check's result followed by the limit figures, as RustEngine.check_limits;
        the request weighs `cost` (0: a look that counts nothing)."""
        return self._check(ip, route, identity, True, cost)

    def refund(self, key: str, cost: float = 1) -> None:
        """Gives `cost` back to `key` (the identity or address checks key on) in
        every rate; a key Redis holds nothing for stays so."""
        core = self._core
        full_key = core.full_key(key)
        amount = core.cost(cost)
        if amount == 0:
            return
        if self._call(full_key, core.several, core.refund_args(full_key, amount)) is FAILED:
            core.local.refund(key, amount)

    def reset(self, key: str) -> None:
        """Forgets `key` in every rate, for every engine of this limit on this Redis."""
        core = self._core
        full_key = core.full_key(key)
        core.local.reset(key)
        self._call(full_key, None, ("DEL", full_key))

    def _check(self, ip: str, route: str, identity: Optional[str], told: bool,
               cost: Any = 1) -> Dict[str, Any]:
        core = self._core
        if core.mode == "disabled":
            return core.counted(core.local_check(ip, route, identity, told, cost), None)
        if cost != 1 or type(cost) is not int:
            cost = core.cost(cost)
        started = time.monotonic()
        script, args = core.check_call(ip, identity, told, cost)
        reply = self._call(args[1], script, args, started)
        if reply is not FAILED:
            try:
                return core.counted(core.from_reply(route, reply, started, told, script),
                                    started)
            except UnexpectedReply as error:
                self._failed(error, self._topology.where(args[1]))
        return core.counted(core.without_redis(ip, route, identity, started, told, cost), None,
                            by_policy=True)

    def _call(self, key: str, script: Optional[Script], args: Tuple[Any, ...],
              started: Optional[float] = None) -> Any:
        """The reply of one call on the server of `key`, within the timeout; FAILED
        (the server then marked failed) when it failed in any way."""
        topology = self._topology
        where = topology.describe if topology.single is not None else topology.where(key)
        core = self._core
        if where in core._down:
            return FAILED
        _deadline.at = (time.monotonic() if started is None else started) + core.timeout
        try:
            if topology.cluster and not topology.loaded:
                self._refresh()
                where = topology.where(key)
            return self._run(where, key, script, args)
        except Exception as error:  # noqa: B902 (whatever breaks, the policy answers)
            self._failed(error, where)
            return FAILED
        finally:
            _deadline.at = None

    def _run(self, where: str, key: str, script: Optional[Script],
             args: Tuple[Any, ...]) -> Any:
        load = asking = False
        for _ in range(MAX_REDIRECTIONS):
            reply = run_blocking(self._topology.client(where),
                                 self._commands(script, args, load, asking))[-1]
            if not isinstance(reply, BaseException):
                return reply
            again = self._next_try(reply, where, key, script)
            if again is None:
                raise reply
            where, load, asking = again
        raise UnexpectedReply("still redirected after %d tries" % MAX_REDIRECTIONS)

    def _refresh(self) -> bool:
        """Reads the cluster's slot map from the first node that gives it."""
        for address in self._topology.addresses():
            try:
                reply = run_blocking(self._topology.client(address), [("CLUSTER", "SLOTS")])[0]
            except Exception:  # noqa: B902 (the next node may answer)
                continue
            if self._topology.read_slots(reply):
                return True
        return False

    def _failed(self, error: BaseException, where: str) -> None:
        if self._core.enter_degraded(error, where):
            threading.Thread(target=self._probe, args=(where,), name="vorn-redis-probe",
                             daemon=True).start()

    def _probe(self, where: str) -> None:
        # The first try comes at once: a server that failed one call may well
        # answer the next (a first connection, a failover already done).
        core = self._core
        while not core._closed:
            if self._topology.cluster:
                set_deadline(time.monotonic() + max(core.timeout, 1.0))
                try:
                    self._refresh()
                finally:
                    set_deadline(None)
            key = self._probe_key(where)
            if key is None:
                core.leave_degraded(where, "holds no slot any more")
                return
            set_deadline(time.monotonic() + core.timeout)
            try:
                script, args = core.probe_call(key)
                core.from_reply("", self._run(where, key, script, args), 0.0, False, script)
            except Exception:  # noqa: B902
                time.sleep(core.probe_interval)
                continue
            finally:
                set_deadline(None)
            if not core._closed:
                core.leave_degraded(where)
            return

    def close(self) -> None:
        """Stops the probes; closes the clients the engine built."""
        self._core._closed = True
        for client in self._topology.close(self._owns_client):
            client.close()
