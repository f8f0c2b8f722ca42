"""The Redis clients of vorn's engines: built from a URL (vorn/_redis_urls.py)
or taken from the application, each reached through a Topology that names the
server a key lives on and runs commands there without retrying any of them.

Every command runs on one connection of the server's pool, and a connection a
command failed on in any way (a timeout, a broken reply, a reply the parser
refuses) is closed, never handed to the next command with half a reply in it.
A blocking connection also bounds each check as a whole: the engine sets a
deadline for the calling thread, and every read, write and connect the
connection makes stops there (a server that trickles one byte at a time cannot
stretch a check past it). Error replies come back as exception objects."""
import binascii
import socket
import ssl
import threading
import time
from typing import Any, Dict, List, Optional, Sequence, Set, Tuple

from ._redis_urls import RedisUrl

SLOTS = 16384
_deadline = threading.local()


def set_deadline(at: Optional[float]) -> None:
    """The time.monotonic() past which this thread's Redis calls fail (None: no bound)."""
    _deadline.at = at


# How much later than the deadline a read may stop: a socket's timeout is left
# alone (no system call) while it ends within this much past the deadline.
_LATE_BY = 0.005


class _DeadlineSocket:
    """A socket whose calls stop at the thread's deadline; otherwise it is the
    socket it wraps, with the timeout redis-py gave it."""

    def __init__(self, sock: Any) -> None:
        self._sock = sock
        self._timeout = sock.gettimeout()
        # The timeout the socket has now.
        self._applied = self._timeout

    def settimeout(self, timeout: Optional[float]) -> None:
        self._timeout = timeout
        if timeout != self._applied:
            self._sock.settimeout(timeout)
            self._applied = timeout

    def gettimeout(self) -> Optional[float]:
        return self._timeout

    def _bound(self) -> None:
        wanted = self._timeout
        at = getattr(_deadline, "at", None)
        if at is not None:
            left = at - time.monotonic()
            if left <= 0:
                raise socket.timeout("the check's time ran out")
            if wanted is None or left < wanted:
                wanted = left
        applied = self._applied
        if applied == wanted:
            return
        if wanted and applied and wanted <= applied <= wanted + _LATE_BY:
            return
        self._sock.settimeout(wanted)
        self._applied = wanted

    def recv(self, *args: Any) -> Any:
        self._bound()
        return self._sock.recv(*args)

    def recv_into(self, *args: Any) -> Any:
        self._bound()
        return self._sock.recv_into(*args)

    def sendall(self, *args: Any) -> Any:
        self._bound()
        return self._sock.sendall(*args)

    def __getattr__(self, name: str) -> Any:
        return getattr(self._sock, name)


class _DeadlineConnection:
    """Mixed in before a redis-py connection class: connects within the deadline
    and hands the parser a _DeadlineSocket."""

    def _connect(self) -> Any:
        at = getattr(_deadline, "at", None)
        if at is None:
            return _DeadlineSocket(super()._connect())  # type: ignore[misc]
        left = at - time.monotonic()
        if left <= 0:
            raise socket.timeout("the check's time ran out")
        saved = self.socket_connect_timeout  # type: ignore[has-type]
        self.socket_connect_timeout = left if saved is None else min(saved, left)
        try:
            return _DeadlineSocket(super()._connect())  # type: ignore[misc]
        finally:
            self.socket_connect_timeout = saved


class _TlsConnection:
    """Mixed in before redis-py's SSLConnection: a refused certificate says so
    (redis-py's own message keeps only the error's number)."""

    def _connect(self) -> Any:
        from redis.exceptions import ConnectionError as RedisConnectionError

        try:
            return super()._connect()  # type: ignore[misc]
        except ssl.SSLError as error:
            raise RedisConnectionError("TLS with %s:%s failed: %s" % (
                self.host, self.port, error)) from error  # type: ignore[attr-defined]


class _AsyncTlsConnection:
    """_TlsConnection for redis.asyncio's SSLConnection."""

    async def _connect(self) -> Any:
        from redis.exceptions import ConnectionError as RedisConnectionError

        try:
            return await super()._connect()  # type: ignore[misc]
        except ssl.SSLError as error:
            raise RedisConnectionError("TLS with %s:%s failed: %s" % (
                self.host, self.port, error)) from error  # type: ignore[attr-defined]


def _async_tls_messages(client: Any) -> Any:
    pool = client.connection_pool
    if "SSL" in pool.connection_class.__name__:
        pool.connection_class = type("Told" + pool.connection_class.__name__,
                                     (_AsyncTlsConnection, pool.connection_class), {})
    return client


_DEADLINE_CLASSES: Dict[type, type] = {}
# The deadline-bound classes made so far.
_BOUND: Set[type] = set()


def bound_pool(pool: Any) -> None:
    """Makes a blocking pool's new connections deadline-bound, and drops its idle
    ones so that they reconnect so (connections in use are left alone)."""
    cls = pool.connection_class
    if issubclass(cls, _DeadlineConnection):
        _BOUND.add(cls)
        return
    bound = _DEADLINE_CLASSES.get(cls)
    if bound is None:
        mixins = (_DeadlineConnection, _TlsConnection) if "SSL" in cls.__name__ \
            else (_DeadlineConnection,)
        bound = type("Deadline" + cls.__name__, mixins + (cls,), {})
        _DEADLINE_CLASSES[cls] = bound
        _BOUND.add(bound)
    # Under the pool's lock no other thread takes an idle connection meanwhile.
    with getattr(pool, "_lock", None) or threading.Lock():
        pool.connection_class = bound
        for connection in list(getattr(pool, "_available_connections", ())):
            connection.disconnect()
            connection.__class__ = bound


def run_blocking(client: Any, commands: Sequence[Tuple[Any, ...]]) -> List[Any]:
    """Sends commands in one write on one connection of a blocking client and
    reads every reply (an error reply as its exception)."""
    pool = client.connection_pool
    if pool.connection_class not in _BOUND:
        bound_pool(pool)
    connection = pool.get_connection("EVALSHA")
    response_error = _errors()[0]
    try:
        if len(commands) == 1:
            connection.send_packed_command(connection.pack_command(*commands[0]))
        else:
            connection.send_packed_command(connection.pack_commands(commands))
        replies = []
        for _ in commands:
            try:
                replies.append(connection.read_response())
            except response_error as error:
                replies.append(error)
                if _read_only(error):
                    connection.disconnect()
        return replies
    except BaseException:
        connection.disconnect()
        raise
    finally:
        pool.release(connection)


_ERRORS: List[type] = []


def _errors() -> List[type]:
    """redis-py's ResponseError and ReadOnlyError, imported once they are needed."""
    if not _ERRORS:
        from redis.exceptions import ReadOnlyError, ResponseError

        _ERRORS[:] = [ResponseError, ReadOnlyError]
    return _ERRORS


def _read_only(reply: BaseException) -> bool:
    # A replica's answer to a write: the connection outlived a failover, and the
    # next one (by name, or through Sentinel) may reach the new primary.
    return isinstance(reply, _errors()[1]) or str(reply).startswith("READONLY")


async def run_async(client: Any, commands: Sequence[Tuple[Any, ...]]) -> List[Any]:
    """run_blocking for a redis.asyncio client; a cancelled call closes its connection."""
    response_error = _errors()[0]
    pool = client.connection_pool
    connection = await pool.get_connection("EVALSHA")
    try:
        await connection.send_packed_command(connection.pack_commands(commands))
        replies = []
        closing = False
        for _ in commands:
            try:
                replies.append(await connection.read_response())
            except response_error as error:
                replies.append(error)
                closing = closing or _read_only(error)
        if closing:
            await connection.disconnect()
        return replies
    except BaseException:
        await connection.disconnect()
        raise
    finally:
        await pool.release(connection)


def _tls_kwargs(url: RedisUrl) -> Dict[str, Any]:
    if url.tls is None:
        return {}
    tls = url.tls
    for name in ("ca_file", "cert_file", "key_file"):
        if tls[name] is not None:
            open(tls[name], "rb").close()  # a file that cannot be read fails here, not later
    return {"ssl": True, "ssl_ca_certs": tls["ca_file"], "ssl_certfile": tls["cert_file"],
            "ssl_keyfile": tls["key_file"], "ssl_cert_reqs": "required",
            "ssl_check_hostname": tls["check_hostname"]}


def node_kwargs(url: RedisUrl, timeout: float) -> Dict[str, Any]:
    """What every connection of a URL's servers is made with, but the address."""
    return {"username": url.username, "password": url.password, "db": url.db,
            "socket_timeout": timeout, "socket_connect_timeout": timeout,
            "retry_on_timeout": False, **_tls_kwargs(url)}


def client_from_url(url: RedisUrl, timeout: float, asyncio_client: bool) -> Any:
    """A redis-py client for a single, unix or sentinel URL (a cluster gets a
    Topology of single clients instead)."""
    if asyncio_client:
        import redis.asyncio as redis_py
        from redis.asyncio import sentinel as sentinel_py
    else:
        import redis as redis_py  # type: ignore[no-redef]
        from redis import sentinel as sentinel_py  # type: ignore[no-redef]
    kwargs = node_kwargs(url, timeout)
    if url.kind == "unix":
        kwargs = {name: kwargs[name] for name in ("username", "password", "db",
                                                  "socket_timeout", "socket_connect_timeout")}
        return redis_py.Redis(unix_socket_path=url.path, **kwargs)
    if url.kind == "sentinel":
        sentinel_kwargs = {"password": url.sentinel_password, "socket_timeout": timeout,
                           "socket_connect_timeout": timeout, **_tls_kwargs(url)}
        sentinel = sentinel_py.Sentinel(url.hosts, sentinel_kwargs=sentinel_kwargs, **kwargs)
        return sentinel.master_for(url.service, **kwargs)
    host, port = url.hosts[0]
    client = redis_py.Redis(host=host, port=port, **kwargs)
    return _async_tls_messages(client) if asyncio_client else client


def key_slot(key: bytes) -> int:
    """The cluster's hash slot of a key: CRC16 (XMODEM, which binascii computes)
    of the key, or of its {hash tag}."""
    start = key.find(b"{")
    if start >= 0:
        end = key.find(b"}", start + 1)
        if end > start + 1:
            key = key[start + 1:end]
    return binascii.crc_hqx(key, 0) % SLOTS


def redirection(error: BaseException) -> Optional[Tuple[str, str]]:
    """("MOVED" or "ASK", "host:port") of a cluster's redirection, else None."""
    words = str(error).split()
    if len(words) == 3 and words[0] in ("MOVED", "ASK"):
        return words[0], words[2]
    return None


def split_address(address: str) -> Tuple[str, int]:
    host, _, port = address.rpartition(":")
    return host.strip("[]"), int(port)


class Topology:
    """The servers of one engine: `where(key)` names the one holding a key, and
    `client(where)` gives a redis-py client of it. A single Redis (or the
    primary Sentinel names) is one server; a cluster has its slot map, read by
    refresh() from CLUSTER SLOTS of any node that answers. Thread-safe: the map
    is replaced whole."""

    def __init__(self, single: Any = None, describe: str = "",
                 seeds: Sequence[Tuple[str, int]] = (), kwargs: Optional[Dict[str, Any]] = None,
                 asyncio_client: bool = False) -> None:
        self.single = single
        self.describe = describe
        self.seeds = ["%s:%d" % seed for seed in seeds]
        self.kwargs = dict(kwargs or {})
        self.kwargs.pop("db", None)
        self.asyncio_client = asyncio_client
        self._clients: Dict[str, Any] = {}
        self._slots: List[Optional[str]] = [None] * SLOTS
        # True once a CLUSTER SLOTS reply has been read.
        self.loaded = False
        self._lock = threading.Lock()

    @property
    def cluster(self) -> bool:
        return self.single is None

    def where(self, key: str) -> str:
        if self.single is not None:
            return self.describe
        node = self._slots[key_slot(key.encode("utf-8"))]
        return node if node is not None else (self.seeds[0] if self.seeds else "")

    def client(self, where: str) -> Any:
        if self.single is not None:
            return self.single
        client = self._clients.get(where)
        if client is None:
            with self._lock:
                client = self._clients.get(where)
                if client is None:
                    if self.asyncio_client:
                        import redis.asyncio as redis_py
                    else:
                        import redis as redis_py  # type: ignore[no-redef]
                    host, port = split_address(where)
                    client = redis_py.Redis(host=host, port=port, **self.kwargs)
                    if self.asyncio_client:
                        _async_tls_messages(client)
                    self._clients[where] = client
        return client

    def addresses(self) -> List[str]:
        known = [node for node in dict.fromkeys(self._slots) if node is not None]
        return known + [seed for seed in self.seeds if seed not in known]

    def slots_of(self, where: str) -> List[int]:
        return [slot for slot, node in enumerate(self._slots) if node == where]

    def read_slots(self, reply: Any) -> bool:
        """Takes a CLUSTER SLOTS reply as the new map; False if it is not one."""
        slots: List[Optional[str]] = [None] * SLOTS
        try:
            for entry in reply:
                first, last, primary = int(entry[0]), int(entry[1]), entry[2]
                host = primary[0].decode() if isinstance(primary[0], bytes) else str(primary[0])
                address = ("[%s]:%d" if ":" in host else "%s:%d") % (host, int(primary[1]))
                for slot in range(first, min(last, SLOTS - 1) + 1):
                    slots[slot] = address
        except (TypeError, ValueError, IndexError, UnicodeError):
            return False
        self._slots = slots
        self.loaded = True
        return True

    def moved(self, slot: int, address: str) -> None:
        """A MOVED reply's news: the slot lives at address now."""
        self._slots[slot] = address

    def close(self, with_single: bool) -> List[Any]:
        """The clients to close: every node's client made here, and the single
        one when the engine made it too (a client the application gave stays open)."""
        clients = list(self._clients.values())
        self._clients = {}
        return clients + ([self.single] if self.single is not None and with_single else [])
