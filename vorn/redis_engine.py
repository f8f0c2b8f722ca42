"""Engines that keep every client's count in Redis, so that all processes and
machines pointed at one Redis share one limit per client.

Each check is one atomic round trip: the limiter's Lua script (the lua/ files,
shared with the Node package) runs on the client's key with EVALSHA and takes
the time from the Redis server. When Redis cannot be reached, is slower than the
timeout or answers with an error, the engine answers as `on_error` says ("local":
from an in-process native engine with the same configuration; "allow"; "deny"),
logs one warning, and goes back to Redis by itself once a background probe finds
it answering again. No check ever waits for a reconnection.

A limit of several rates (`rates`, as `RustEngine.from_rates` takes them) is
decided in one call of lua/limits.lua on one key, so a request is counted by all
of its rates or by none; so are checks with a cost other than 1, and refunds.

`RedisEngine` uses redis-py's blocking client (WSGI); `AsyncRedisEngine` uses
`redis.asyncio` (ASGI). Both return the same dict as `vorn_native.RustEngine` and
take the RustEngine's seven arguments after `redis` (a URL or a client), then the
keywords `prefix`, `timeout` (seconds), `on_error`, `probe_interval` (seconds),
`rates` (when given, capacity and refill_rate are unused) and, for tests,
`clock`: a function giving milliseconds since the epoch that the scripts then
use instead of the Redis server's time.
"""
import asyncio
import inspect
import itertools
import threading
import time
from typing import Any, Callable, Dict, List, Optional, Sequence, Set, Tuple

from . import _redis_urls
from ._redis_clients import (Topology, _deadline, client_from_url, key_slot, node_kwargs,
                             redirection, run_async, run_blocking, set_deadline)
from ._redis_core import (DEFAULT_PREFIX, DEFAULT_PROBE_INTERVAL, DEFAULT_TIMEOUT, EngineCore,
                          Limits, Script, UnexpectedReply, checked_cost, key_digest, key_number,
                          script_number, script_text, whole_count)

__all__ = ["AsyncRedisEngine", "Limits", "RedisEngine", "checked_cost", "key_digest",
           "key_number", "script_number", "script_text", "whole_count"]

# What a call that failed gives back (a Redis nil reply is None).
FAILED = object()
# Redirections and TRYAGAIN replies one call follows before it gives up.
MAX_REDIRECTIONS = 5
# What the connections of a cluster given as a client keep of its settings.
_NOT_PER_NODE = ("host", "port", "db", "connection_pool", "connection_class", "parser_class",
                 "retry", "retry_on_timeout", "retry_on_error", "single_connection_client",
                 "unix_socket_path")


def _no_script(reply: Any) -> bool:
    from redis.exceptions import NoScriptError

    # redis-py drops the NOSCRIPT word from the message of the error it makes.
    return isinstance(reply, NoScriptError) or (
        isinstance(reply, BaseException) and str(reply).startswith("NOSCRIPT"))


def _describe(client: Any) -> Tuple[str, Optional[str]]:
    """Where a client points, for log lines (never the password), and its password."""
    kwargs = getattr(getattr(client, "connection_pool", None), "connection_kwargs", {}) or {}
    service = getattr(getattr(client, "connection_pool", None), "service_name", None)
    if service is not None:
        return "sentinel service %s/%s" % (service, kwargs.get("db", 0)), kwargs.get("password")
    if "path" in kwargs:
        where = "unix:" + str(kwargs["path"])
    else:
        where = "%s:%s/%s" % (kwargs.get("host", "localhost"), kwargs.get("port", 6379),
                              kwargs.get("db", 0))
    return where, kwargs.get("password")


def _topology(redis: Any, timeout: float, asyncio_client: bool) -> Tuple[Topology, Optional[str]]:
    """The servers of a URL or a client object, and the password to mask in logs."""
    if isinstance(redis, str):
        url = _redis_urls.parse(redis)
        if url.kind == "cluster":
            return Topology(describe=url.describe(), seeds=url.hosts,
                            kwargs=node_kwargs(url, timeout),
                            asyncio_client=asyncio_client), url.password
        return Topology(client_from_url(url, timeout, asyncio_client),
                        url.describe()), url.password
    manager = getattr(redis, "nodes_manager", None)
    if manager is not None:  # a RedisCluster: its nodes, reached as single servers
        if asyncio_client:
            import redis.asyncio as redis_py
        else:
            import redis as redis_py  # type: ignore[no-redef]
        known = inspect.signature(redis_py.Redis.__init__).parameters
        kwargs = {name: value for name, value in manager.connection_kwargs.items()
                  if name in known and name not in _NOT_PER_NODE}
        seeds = [(node.host, int(node.port)) for node in
                 itertools.chain(manager.nodes_cache.values(), manager.startup_nodes.values())]
        return Topology(describe="cluster", seeds=list(dict.fromkeys(seeds)), kwargs=kwargs,
                        asyncio_client=asyncio_client), kwargs.get("password")
    where, password = _describe(redis)
    return Topology(redis, where), password


class _RedisEngineBase:
    """What the blocking and the asyncio Redis engines share: the configuration,
    the servers (from a URL, or a client object given) and the scripts; `_start`
    sets up what a subclass keeps besides."""

    _asyncio = False

    def __init__(self, redis: Any, algorithm: str = "token_bucket", mode: str = "active",
                 capacity: float = 100.0, refill_rate: float = 10.0,
                 api_key: Optional[str] = None, debug: Optional[str] = None,
                 backend_url: str = "http://localhost:4000", *, prefix: str = DEFAULT_PREFIX,
                 timeout: float = DEFAULT_TIMEOUT, on_error: str = "local",
                 probe_interval: float = DEFAULT_PROBE_INTERVAL,
                 clock: Optional[Callable[[], int]] = None,
                 rates: Optional[Sequence[Tuple[float, int]]] = None) -> None:
        self._core = EngineCore(algorithm, mode, capacity, refill_rate, api_key, debug,
                                 backend_url, prefix, timeout, on_error, probe_interval, clock,
                                 rates)
        self._topology, self._core.password = _topology(redis, timeout, self._asyncio)
        self._client = redis if not isinstance(redis, str) else self._topology.single
        self._owns_client = isinstance(redis, str)
        self._where = self._topology.describe
        self._start()

    @property
    def degraded(self) -> bool:
        """True while checks (of some keys, on a cluster) are answered without Redis."""
        return self._core.degraded

    @property
    def client(self) -> Any:
        return self._client

    @property
    def policies(self) -> Tuple[Tuple[int, Optional[int]], ...]:
        """Every rate's (limit, window_ms), in order, as RustEngine.policies."""
        return self._core.policies

    def _start(self) -> None:
        pass

    def _commands(self, script: Script, args: Tuple[Any, ...], load: bool,
                  asking: bool) -> List[Tuple[Any, ...]]:
        """One call's commands: the script loaded first after a NOSCRIPT (so
        only the call that did not run is sent again), ASKING after an ASK."""
        commands: List[Tuple[Any, ...]] = [("SCRIPT", "LOAD", script.text)] if load else []
        if asking:
            commands.append(("ASKING",))
        commands.append(("EVALSHA", script.sha) + tuple(args) if script is not None
                        else tuple(args))
        return commands

    def _next_try(self, reply: BaseException, where: str, key: str,
                  script: Optional[Script]) -> Optional[Tuple[str, bool, bool]]:
        """After an error reply: (where, load, asking) of the next try, when the
        call did not run and can be sent again; None when the reply is the failure."""
        text = str(reply)
        if _no_script(reply) and script is not None:
            return where, True, False
        moved = redirection(reply)
        if moved is not None and self._topology.cluster:
            if moved[0] == "MOVED":
                self._topology.moved(key_slot(key.encode("utf-8")), moved[1])
            return moved[1], False, moved[0] == "ASK"
        if text.startswith("TRYAGAIN") and self._topology.cluster:
            return where, False, False
        return None

    def _probe_key(self, where: str) -> Optional[str]:
        """A probe key that lives on `where`; None when it holds no slot any more."""
        core = self._core
        if not self._topology.cluster:
            return core.limits.probe_key
        if not self._topology.slots_of(where):
            return None
        for tag in itertools.count():
            key = "%s{%d}" % (core.limits.probe_key, tag)
            if self._topology.where(key) == where:
                return key
        return None  # unreachable


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
            return core.local_check(ip, route, identity, told, cost)
        if cost != 1 or type(cost) is not int:
            cost = core.cost(cost)
        started = time.monotonic()
        script, args = core.check_call(ip, identity, told, cost)
        reply = self._call(args[1], script, args, started)
        if reply is not FAILED:
            try:
                return core.from_reply(route, reply, started, told, script)
            except UnexpectedReply as error:
                self._failed(error, self._topology.where(args[1]))
        return core.without_redis(ip, route, identity, started, told, cost)

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
        for client in self._topology.close() if self._owns_client else ():
            client.close()


class AsyncRedisEngine(_RedisEngineBase):
    """A rate-limiting engine whose per-client state lives in Redis (`redis.asyncio`).

    `await check(ip, route, identity=None)` returns the same dict as
    `vorn_native.RustEngine.check`; `check_limits`, `refund` and `reset` are
    RustEngine's too, awaited. Use it from one event loop. Each call stops at
    the timeout, counted from its start. While a server fails, one task on that
    loop probes it every `probe_interval` seconds; `await close()` stops it and
    closes the clients built here.
    """

    _asyncio = True

    def _start(self) -> None:
        self._probes: Set["asyncio.Task[None]"] = set()
        # Calls waiting for the next pipeline of a single Redis: (script, EVALSHA
        # arguments, future of the reply); a script of None sends the arguments
        # as a command of their own.
        self._batch: List[Tuple[Optional[Script], Tuple[Any, ...], "asyncio.Future[Any]"]] = []
        # Pipelines in flight; the loop itself keeps only weak references to tasks.
        self._sending: Set["asyncio.Task[None]"] = set()

    async def check(self, ip: str, route: str,
                    identity: Optional[str] = None) -> Dict[str, Any]:
        return await self._check(ip, route, identity, False)

    async def check_limits(self, ip: str, route: str, identity: Optional[str] = None, *,
                           cost: float = 1) -> Dict[str, Any]:
        """check's result followed by the limit figures, as RustEngine.check_limits;
        the request weighs `cost` (0: a look that counts nothing)."""
        return await self._check(ip, route, identity, True, cost)

    async def refund(self, key: str, cost: float = 1) -> None:
        """Gives `cost` back to `key` in every rate; a key Redis holds nothing for
        stays so."""
        core = self._core
        full_key = core.full_key(key)
        amount = core.cost(cost)
        if amount == 0:
            return
        if await self._call(full_key, core.several,
                            core.refund_args(full_key, amount)) is FAILED:
            core.local.refund(key, amount)

    async def reset(self, key: str) -> None:
        """Forgets `key` in every rate, for every engine of this limit on this Redis."""
        core = self._core
        full_key = core.full_key(key)
        core.local.reset(key)
        await self._call(full_key, None, ("DEL", full_key))

    async def _check(self, ip: str, route: str, identity: Optional[str],
                     told: bool, cost: Any = 1) -> Dict[str, Any]:
        core = self._core
        if core.mode == "disabled":
            return core.local_check(ip, route, identity, told, cost)
        if cost != 1 or type(cost) is not int:
            cost = core.cost(cost)
        started = time.monotonic()
        script, args = core.check_call(ip, identity, told, cost)
        reply = await self._call(args[1], script, args)
        if reply is not FAILED:
            try:
                return core.from_reply(route, reply, started, told, script)
            except UnexpectedReply as error:
                self._failed(error, self._topology.where(args[1]))
        return core.without_redis(ip, route, identity, started, told, cost)

    async def _call(self, key: str, script: Optional[Script], args: Tuple[Any, ...]) -> Any:
        """The reply of one call on the server of `key`, within the timeout; FAILED
        (the server then marked failed) when it failed in any way."""
        topology = self._topology
        where = topology.where(key)
        if self._core.is_down(where):
            return FAILED
        try:
            if not topology.cluster:
                reply = await self._send(script, args)
                if isinstance(reply, BaseException):
                    raise reply
                return reply
            return await asyncio.wait_for(self._run(where, key, script, args),
                                          self._core.timeout)
        except Exception as error:  # noqa: B902 (whatever breaks, the policy answers)
            self._failed(error, where)
            return FAILED

    async def _run(self, where: str, key: str, script: Optional[Script],
                   args: Tuple[Any, ...]) -> Any:
        if not self._topology.loaded:
            await self._refresh()
            where = self._topology.where(key)
        load = asking = False
        for _ in range(MAX_REDIRECTIONS):
            reply = (await run_async(self._topology.client(where),
                                     self._commands(script, args, load, asking)))[-1]
            if not isinstance(reply, BaseException):
                return reply
            again = self._next_try(reply, where, key, script)
            if again is None:
                raise reply
            where, load, asking = again
        raise UnexpectedReply("still redirected after %d tries" % MAX_REDIRECTIONS)

    async def _refresh(self) -> bool:
        for address in self._topology.addresses():
            try:
                reply = (await run_async(self._topology.client(address),
                                         [("CLUSTER", "SLOTS")]))[0]
            except Exception:  # noqa: B902 (the next node may answer)
                continue
            if self._topology.read_slots(reply):
                return True
        return False

    def _failed(self, error: BaseException, where: str) -> None:
        if self._core.enter_degraded(error, where):
            task = asyncio.get_running_loop().create_task(self._probe(where))
            self._probes.add(task)
            task.add_done_callback(self._probes.discard)

    def _send(self, script: Optional[Script], args: Tuple[Any, ...]) -> "asyncio.Future[Any]":
        # Calls started while a pipeline is being written share the next one:
        # still one round trip per call, and far fewer of them.
        loop = asyncio.get_running_loop()
        future = loop.create_future()
        self._batch.append((script, args, future))
        if len(self._batch) == 1:
            task = loop.create_task(self._send_batch())
            self._sending.add(task)
            task.add_done_callback(self._sending.discard)
        return future

    async def _send_batch(self) -> None:
        batch, self._batch = self._batch, []
        try:
            replies = await asyncio.wait_for(self._batch_replies(batch), self._core.timeout)
        except BaseException as error:  # noqa: B902 (every waiting call gets the failure)
            for _, _, future in batch:
                if not future.done():
                    future.set_exception(error)
            if not isinstance(error, Exception):
                raise
            return
        for (_, _, future), reply in zip(batch, replies):
            if not future.done():
                future.set_result(reply)

    async def _batch_replies(self, batch: List[Tuple[Optional[Script], Tuple[Any, ...], Any]]
                             ) -> List[Any]:
        client = self._topology.single
        calls = [(script, args) for script, args, _ in batch]
        replies = await run_async(client, [self._commands(script, args, False, False)[0]
                                           for script, args in calls])
        # A restarted or flushed Redis ran none of these: load their scripts and
        # send them again (only them, so nothing is counted twice).
        again = [n for n, reply in enumerate(replies)
                 if _no_script(reply) and calls[n][0] is not None]
        if again:
            scripts = {id(calls[n][0]): calls[n][0] for n in again}.values()
            loads = [("SCRIPT", "LOAD", script.text) for script in scripts]
            resent = await run_async(client, loads + [
                self._commands(calls[n][0], calls[n][1], False, False)[0] for n in again])
            for n, reply in zip(again, resent[len(loads):]):
                replies[n] = reply
        return replies

    async def _probe(self, where: str) -> None:
        core = self._core
        while not core._closed:
            if self._topology.cluster:
                try:
                    await asyncio.wait_for(self._refresh(), max(core.timeout, 1.0))
                except Exception:  # noqa: B902
                    pass
            key = self._probe_key(where)
            if key is None:
                core.leave_degraded(where, "holds no slot any more")
                return
            try:
                script, args = core.probe_call(key)
                if self._topology.cluster:
                    reply = await asyncio.wait_for(self._run(where, key, script, args),
                                                   core.timeout)
                else:
                    reply = await self._send(script, args)
                    if isinstance(reply, BaseException):
                        raise reply
                core.from_reply("", reply, 0.0, False, script)
            except Exception:  # noqa: B902
                await asyncio.sleep(core.probe_interval)
                continue
            if not core._closed:
                core.leave_degraded(where)
            return

    async def close(self) -> None:
        """Stops the probes; closes the clients the engine built."""
        self._core._closed = True
        for task in list(self._probes):
            task.cancel()
        for client in self._topology.close() if self._owns_client else ():
            await client.close()
