"""What the blocking and the asyncio Redis engines (vorn.redis_engine) share: the
servers a URL or a client object names, the commands of one call (after a
NOSCRIPT, an ASK), what a redirection means, and the probe key of a server."""
import inspect
import itertools
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

from . import _counts, _redis_urls
from ._redis_clients import Topology, client_from_url, key_slot, node_kwargs, redirection
from ._redis_core import (DEFAULT_PREFIX, DEFAULT_PROBE_INTERVAL, DEFAULT_TIMEOUT, EngineCore,
                          Script)

# What a call that failed gives back (a Redis nil reply is None).
FAILED = object()
# Redirections and TRYAGAIN replies one call follows before it gives up.
MAX_REDIRECTIONS = 5
# What the connections of a cluster given as a client keep of its settings.
_NOT_PER_NODE = ("host", "port", "db", "connection_pool", "connection_class", "parser_class",
                 "retry", "retry_on_timeout", "retry_on_error", "single_connection_client",
                 "unix_socket_path")


def _no_script(reply: Any) -> bool:
    if not isinstance(reply, BaseException):
        return False
    from redis.exceptions import NoScriptError

    # redis-py drops the NOSCRIPT word from the message of the error it makes.
    return isinstance(reply, NoScriptError) or str(reply).startswith("NOSCRIPT")


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
        _counts.track(self)

    @property
    def degraded(self) -> bool:
        """True while checks (of some keys, on a cluster) are answered without Redis."""
        return self._core.degraded

    @property
    def client(self) -> Any:
        return self._client

    #: What vorn.metrics calls the store of this engine's counts.
    store = "redis"

    def stats(self) -> Dict[str, int]:
        """This engine's checks since it was made, by outcome, as RustEngine.stats."""
        return dict(zip(_counts.OUTCOMES, self._core.own_counts))

    def name_counts(self, name: str) -> None:
        """The name (the metrics' limit label) this engine's checks count under."""
        if not isinstance(name, str) or not name:
            raise ValueError("name must be a non-empty text")
        self._core.counts_name = _counts.counted_name(name)

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
