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
import threading
import time
from typing import Any, Callable, Dict, List, Optional, Sequence, Set, Tuple

from ._redis_core import (DEFAULT_PREFIX, DEFAULT_PROBE_INTERVAL, DEFAULT_TIMEOUT, EngineCore,
                          Limits, Script, checked_cost, key_number, script_number, script_text,
                          whole_count)

__all__ = ["AsyncRedisEngine", "Limits", "RedisEngine", "checked_cost", "key_number",
           "script_number", "script_text", "whole_count"]


def _describe(client: Any) -> Tuple[str, Optional[str]]:
    """Where a client points, for log lines (never the password), and its password."""
    kwargs = getattr(getattr(client, "connection_pool", None), "connection_kwargs", {}) or {}
    if "path" in kwargs:
        where = "unix:" + str(kwargs["path"])
    else:
        where = "%s:%s/%s" % (kwargs.get("host", "localhost"), kwargs.get("port", 6379),
                              kwargs.get("db", 0))
    return where, kwargs.get("password")


def _client_from_url(factory: Callable[..., Any], url: str, timeout: float) -> Any:
    try:
        return factory(url, socket_timeout=timeout, socket_connect_timeout=timeout,
                       retry_on_timeout=False)
    except ValueError as error:
        # The URL itself is never repeated: it may carry a password.
        raise ValueError("vorn: the Redis URL is not valid (redis://[[user]:password@]"
                         "host[:port][/db], rediss://... or unix://path): "
                         + _without_url(str(error), url)) from None


def _without_url(text: str, url: str) -> str:
    return text.replace(url, "<url>") if url else text


def _redis_errors() -> Tuple[type, ...]:
    from redis.exceptions import RedisError

    return (RedisError, OSError, asyncio.TimeoutError)


class _RedisEngineBase:
    """What the blocking and the asyncio Redis engines share: the configuration,
    the client (built from a URL by the subclass's `_client_from`, or given) and
    the scripts; `_start` sets up what a subclass keeps besides."""

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
        if isinstance(redis, str):
            self._client = self._client_from(redis, timeout)
            self._owns_client = True
        else:
            self._client = redis
            self._owns_client = False
        self._where, self._core.password = _describe(self._client)
        self._errors = _redis_errors()
        self._start()

    @property
    def degraded(self) -> bool:
        """True while checks are answered without Redis."""
        return self._core.degraded

    @property
    def client(self) -> Any:
        return self._client

    @property
    def policies(self) -> Tuple[Tuple[int, Optional[int]], ...]:
        """Every rate's (limit, window_ms), in order, as RustEngine.policies."""
        return self._core.policies

    @staticmethod
    def _client_from(url: str, timeout: float) -> Any:
        raise NotImplementedError

    def _start(self) -> None:
        pass


class RedisEngine(_RedisEngineBase):
    """A rate-limiting engine whose per-client state lives in Redis (blocking client).

    `check(ip, route, identity=None)` returns the same dict as
    `vorn_native.RustEngine.check`; `check_limits`, `refund` and `reset` are
    RustEngine's too. Thread-safe: redis-py's client keeps a pool of
    connections. While Redis fails, one daemon thread probes it every
    `probe_interval` seconds; `close()` stops it and closes a client built here.
    """

    @staticmethod
    def _client_from(url: str, timeout: float) -> Any:
        import redis as redis_py

        return _client_from_url(redis_py.Redis.from_url, url, timeout)

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
        if not core.degraded:
            try:
                self._evalsha(core.several, core.refund_args(full_key, amount))
                return
            except self._errors as error:
                self._failed(error)
        core.local.refund(key, amount)

    def reset(self, key: str) -> None:
        """Forgets `key` in every rate, for every engine of this limit on this Redis."""
        core = self._core
        full_key = core.full_key(key)
        core.local.reset(key)
        if not core.degraded:
            try:
                self._client.execute_command("DEL", full_key)
            except self._errors as error:
                self._failed(error)

    def _check(self, ip: str, route: str, identity: Optional[str], told: bool,
               cost: Any = 1) -> Dict[str, Any]:
        core = self._core
        if core.mode == "disabled":
            return core.local_check(ip, route, identity, told, cost)
        if cost != 1 or type(cost) is not int:
            cost = core.cost(cost)
        started = time.monotonic()
        script, args = core.check_call(ip, identity, told, cost)
        if not core.degraded:
            try:
                return core.from_reply(route, self._evalsha(script, args), started, told, script)
            except self._errors as error:
                self._failed(error)
        return core.without_redis(ip, route, identity, started, told, cost)

    def _failed(self, error: BaseException) -> None:
        if self._core.enter_degraded(error, self._where):
            threading.Thread(target=self._probe, name="vorn-redis-probe", daemon=True).start()

    def _evalsha(self, script: Script, args: Tuple[Any, ...]) -> Any:
        from redis.exceptions import NoScriptError

        try:
            return self._client.execute_command("EVALSHA", script.sha, *args)
        except NoScriptError:  # a restarted or flushed Redis
            self._client.script_load(script.text)
            return self._client.execute_command("EVALSHA", script.sha, *args)

    def _probe(self) -> None:
        core = self._core
        while not core._closed:
            time.sleep(core.probe_interval)
            try:
                self._evalsha(*core.probe_call())
            except self._errors:
                continue
            if not core._closed:
                core.leave_degraded(self._where)
            return

    def close(self) -> None:
        """Stops the probe; closes the client when the engine built it from a URL."""
        self._core._closed = True
        if self._owns_client:
            self._client.close()


class AsyncRedisEngine(_RedisEngineBase):
    """A rate-limiting engine whose per-client state lives in Redis (`redis.asyncio`).

    `await check(ip, route, identity=None)` returns the same dict as
    `vorn_native.RustEngine.check`; `check_limits`, `refund` and `reset` are
    RustEngine's too, awaited. Use it from one event loop. While Redis fails,
    one task on that loop probes it every `probe_interval` seconds; `await
    close()` stops it and closes a client built here.
    """

    @staticmethod
    def _client_from(url: str, timeout: float) -> Any:
        import redis.asyncio as redis_asyncio

        return _client_from_url(redis_asyncio.Redis.from_url, url, timeout)

    def _start(self) -> None:
        self._probe_task: Optional["asyncio.Task[None]"] = None
        # Calls waiting for the next pipeline: (script, EVALSHA arguments, future of
        # the reply); a script of None sends the arguments as a command of their own.
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
        if not core.degraded:
            try:
                await self._send(core.several, core.refund_args(full_key, amount))
                return
            except self._errors as error:
                self._failed(error)
        core.local.refund(key, amount)

    async def reset(self, key: str) -> None:
        """Forgets `key` in every rate, for every engine of this limit on this Redis."""
        core = self._core
        full_key = core.full_key(key)
        core.local.reset(key)
        if not core.degraded:
            try:
                await self._send(None, ("DEL", full_key))
            except self._errors as error:
                self._failed(error)

    async def _check(self, ip: str, route: str, identity: Optional[str],
                     told: bool, cost: Any = 1) -> Dict[str, Any]:
        core = self._core
        if core.mode == "disabled":
            return core.local_check(ip, route, identity, told, cost)
        if cost != 1 or type(cost) is not int:
            cost = core.cost(cost)
        started = time.monotonic()
        script, args = core.check_call(ip, identity, told, cost)
        if not core.degraded:
            try:
                return core.from_reply(route, await self._send(script, args), started, told,
                                       script)
            except self._errors as error:
                self._failed(error)
        return core.without_redis(ip, route, identity, started, told, cost)

    def _failed(self, error: BaseException) -> None:
        if self._core.enter_degraded(error, self._where):
            self._probe_task = asyncio.get_running_loop().create_task(self._probe())

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
        from redis.exceptions import NoScriptError

        batch, self._batch = self._batch, []
        try:
            replies = await self._pipeline(batch)
            # A restarted or flushed Redis ran none of these: load their scripts and
            # send them again (only them, so nothing is counted twice).
            again = [n for n, reply in enumerate(replies) if isinstance(reply, NoScriptError)]
            if again:
                for script in {id(batch[n][0]): batch[n][0] for n in again}.values():
                    await self._client.script_load(script.text)
                for n, reply in zip(again, await self._pipeline([batch[n] for n in again])):
                    replies[n] = reply
        except BaseException as error:  # noqa: B902 (every waiting call gets the failure)
            for _, _, future in batch:
                if not future.done():
                    future.set_exception(error)
            if not isinstance(error, Exception):
                raise
            return
        for (_, _, future), reply in zip(batch, replies):
            if future.done():
                continue
            if isinstance(reply, Exception):
                future.set_exception(reply)
            else:
                future.set_result(reply)

    async def _pipeline(self, batch: List[Tuple[Optional[Script], Tuple[Any, ...], Any]]
                        ) -> List[Any]:
        pipe = self._client.pipeline(transaction=False)
        for script, args, _ in batch:
            if script is None:
                pipe.execute_command(*args)
            else:
                pipe.execute_command("EVALSHA", script.sha, *args)
        return list(await pipe.execute(raise_on_error=False))

    async def _probe(self) -> None:
        core = self._core
        while not core._closed:
            await asyncio.sleep(core.probe_interval)
            try:
                await self._send(*core.probe_call())
            except self._errors:
                continue
            if not core._closed:
                core.leave_degraded(self._where)
            return

    async def close(self) -> None:
        """Stops the probe; closes the client when the engine built it from a URL."""
        self._core._closed = True
        if self._probe_task is not None:
            self._probe_task.cancel()
        if self._owns_client:
            await self._client.close()
