"""The asyncio Redis engine; vorn.redis_engine documents both engines."""
import asyncio
import time
from typing import Any, Dict, List, Optional, Set, Tuple

from ._redis_base import FAILED, MAX_REDIRECTIONS, _no_script, _RedisEngineBase
from ._redis_clients import redirection, run_async
from ._redis_core import Script, UnexpectedReply


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
        # Per server, the calls waiting for its next pipeline: (script, EVALSHA
        # arguments, future of the reply); a script of None sends the arguments
        # as a command of their own.
        self._batches: Dict[str, List[Tuple[Optional[Script], Tuple[Any, ...],
                                            "asyncio.Future[Any]"]]] = {}
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
            return core.counted(core.local_check(ip, route, identity, told, cost), None)
        if cost != 1 or type(cost) is not int:
            cost = core.cost(cost)
        started = time.monotonic()
        script, args = core.check_call(ip, identity, told, cost)
        reply = await self._call(args[1], script, args)
        if reply is not FAILED:
            try:
                return core.counted(core.from_reply(route, reply, started, told, script),
                                    started)
            except UnexpectedReply as error:
                self._failed(error, self._topology.where(args[1]))
        return core.counted(core.without_redis(ip, route, identity, started, told, cost), None,
                            by_policy=True)

    async def _call(self, key: str, script: Optional[Script], args: Tuple[Any, ...]) -> Any:
        """The reply of one call on the server of `key`, within the timeout; FAILED
        (the server then marked failed) when it failed in any way."""
        topology = self._topology
        if topology.cluster and not topology.loaded:
            try:
                await asyncio.wait_for(self._refresh(), self._core.timeout)
            except Exception:  # noqa: B902 (the call below fails as it may)
                pass
        where = topology.where(key)
        if where in self._core._down:
            return FAILED
        try:
            reply = await self._send(script, args, where)
            if isinstance(reply, BaseException):
                raise reply
            return reply
        except Exception as error:  # noqa: B902 (whatever breaks, the policy answers)
            self._failed(error, where)
            return FAILED

    async def _run(self, where: str, key: str, script: Optional[Script],
                   args: Tuple[Any, ...], reply: Any = None) -> Any:
        """One call's reply, following a cluster's redirections; `reply` is the
        one already read from `where`, if any."""
        load = asking = False
        for _ in range(MAX_REDIRECTIONS):
            if reply is None:
                reply = (await run_async(self._topology.client(where),
                                         self._commands(script, args, load, asking)))[-1]
            if not isinstance(reply, BaseException):
                return reply
            again = self._next_try(reply, where, key, script)
            if again is None:
                raise reply
            where, load, asking = again
            reply = None
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

    def _send(self, script: Optional[Script], args: Tuple[Any, ...],
              where: str) -> "asyncio.Future[Any]":
        # Calls to one server started while a pipeline is being written share the
        # next one: still one round trip per call, and far fewer of them.
        loop = asyncio.get_running_loop()
        future = loop.create_future()
        batch = self._batches.setdefault(where, [])
        batch.append((script, args, future))
        if len(batch) == 1:
            task = loop.create_task(self._send_batch(where))
            self._sending.add(task)
            task.add_done_callback(self._sending.discard)
        return future

    async def _send_batch(self, where: str) -> None:
        batch = self._batches.pop(where)
        try:
            replies = await asyncio.wait_for(self._batch_replies(batch, where),
                                             self._core.timeout)
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

    async def _batch_replies(self, batch: List[Tuple[Optional[Script], Tuple[Any, ...], Any]],
                             where: str) -> List[Any]:
        client = self._topology.client(where)
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
        if self._topology.cluster:
            # A redirected call did not run: it follows the redirection alone.
            for n, reply in enumerate(replies):
                if isinstance(reply, BaseException) and (redirection(reply) or str(
                        reply).startswith("TRYAGAIN")):
                    script, args = calls[n]
                    try:
                        replies[n] = await self._run(where, args[1], script, args, reply)
                    except Exception as error:  # noqa: B902 (that call's own failure)
                        replies[n] = error
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
                reply = await self._send(script, args, where)
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
        # A connection whose call was cut short at the timeout may fail to close
        # cleanly; that is no reason to leave the others open.
        await asyncio.gather(*(client.close() for client in
                               self._topology.close(self._owns_client)), return_exceptions=True)
