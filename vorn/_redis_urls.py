"""Redis URLs as both hosts read them (js/redis_urls.js reads the same forms the
same way, and tests/redis_urls.json holds the cases both must agree on):

    redis://[[user]:password@]host[:port][/db][?options]
    rediss://...                              the same over TLS
    redis+cluster://[[user]:password@]host:port[,host:port...][?options]
    redis+sentinel://[[user]:password@]host:port[,host:port...]/service[/db][?options]
    unix://[[user]:password@]/path/to/socket[?db=n]

Options: `ca_file`, `cert_file` and `key_file` (TLS: the CA bundle that signs the
server's certificate, and a client certificate and its key), `check_hostname`
(TLS: `no` accepts a certificate for another name; the chain is checked still),
`tls` (`yes` for TLS on cluster and sentinel URLs), `sentinel_password` (the
sentinels' own password, when they have one) and `db` (unix sockets). Anything
else is an error, so that a misspelt option is not quietly ignored. No Redis
client is needed here."""
from typing import Any, Dict, List, Optional, Tuple
from urllib.parse import unquote

SCHEMES = ("redis", "rediss", "redis+cluster", "redis+sentinel", "unix")
OPTIONS = ("ca_file", "cert_file", "key_file", "check_hostname", "tls", "sentinel_password",
           "db")
DEFAULT_PORT = 6379
DEFAULT_SENTINEL_PORT = 26379
FORMS = ("redis://[[user]:password@]host[:port][/db], rediss://..., "
         "redis+cluster://host:port[,host:port...], "
         "redis+sentinel://host:port[,host:port...]/service[/db] or unix://path")


class RedisUrl:
    """One parsed URL. `kind` is "single", "cluster", "sentinel" or "unix";
    `hosts` a list of (host, port); `tls` a dict of the TLS options (None
    without TLS). Immutable by convention."""

    def __init__(self, kind: str, hosts: List[Tuple[str, int]], username: Optional[str],
                 password: Optional[str], db: int, service: Optional[str], path: Optional[str],
                 tls: Optional[Dict[str, Any]], sentinel_password: Optional[str]) -> None:
        self.kind = kind
        self.hosts = hosts
        self.username = username
        self.password = password
        self.db = db
        self.service = service
        self.path = path
        self.tls = tls
        self.sentinel_password = sentinel_password

    def describe(self) -> str:
        """Where the URL points, for log lines: never the password."""
        if self.kind == "unix":
            return "unix:%s/%d" % (self.path, self.db)
        where = ",".join(_host_text(host) + ":" + str(port) for host, port in self.hosts)
        if self.kind == "cluster":
            return "cluster " + where
        if self.kind == "sentinel":
            return "sentinel %s/%s/%d" % (where, self.service, self.db)
        return "%s/%d" % (where, self.db)

    def as_dict(self) -> Dict[str, Any]:
        return {"kind": self.kind, "hosts": [list(host) for host in self.hosts],
                "username": self.username, "password": self.password, "db": self.db,
                "service": self.service, "path": self.path, "tls": self.tls,
                "sentinel_password": self.sentinel_password}


def _host_text(host: str) -> str:
    return "[" + host + "]" if ":" in host else host


class RedisUrlError(ValueError):
    pass


def _fail(detail: str) -> RedisUrlError:
    # The URL itself is never repeated: it may carry a password.
    return RedisUrlError("vorn: the Redis URL is not valid (" + FORMS + "): " + detail)


def _yes_no(name: str, value: str) -> bool:
    if value.lower() in ("yes", "true", "1"):
        return True
    if value.lower() in ("no", "false", "0"):
        return False
    raise _fail("option %s must be yes or no" % name)


def _whole(text: str, what: str, low: int, high: int) -> int:
    if not text.isdigit() or not text.isascii() or not low <= int(text) <= high:
        raise _fail("%s must be a whole number from %d to %d" % (what, low, high))
    return int(text)


def _hosts(text: str, default_port: int, many: bool) -> List[Tuple[str, int]]:
    hosts = []
    for part in text.split(","):
        if part.startswith("["):
            host, bracket, rest = part[1:].partition("]")
            if not bracket or (rest and not rest.startswith(":")):
                raise _fail("an IPv6 address is written [address]:port")
            port_text = rest[1:] if rest else ""
        else:
            host, _, port_text = part.partition(":")
        host = unquote(host)
        if not host:
            raise _fail("a host is missing")
        port = _whole(port_text, "the port", 1, 65535) if port_text else default_port
        hosts.append((host, port))
    if len(hosts) > 1 and not many:
        raise _fail("only cluster and sentinel URLs list several hosts")
    return hosts


def _options(query: str) -> Dict[str, str]:
    options: Dict[str, str] = {}
    for pair in query.split("&") if query else ():
        name, equals, value = pair.partition("=")
        name = unquote(name)
        if name not in OPTIONS:
            raise _fail("unknown option %r (known: %s)" % (name, ", ".join(OPTIONS)))
        if not equals:
            raise _fail("option %s needs a value" % name)
        options[name] = unquote(value)
    return options


def parse(url: str) -> RedisUrl:
    """The URL's parts, or RedisUrlError (a ValueError) saying what is wrong."""
    if not isinstance(url, str):
        raise TypeError("the Redis URL must be a str")
    scheme, sep, rest = url.partition("://")
    scheme = scheme.lower()
    if not sep or scheme not in SCHEMES:
        raise _fail("the scheme must be one of " + ", ".join(s + "://" for s in SCHEMES))
    rest, _, query = rest.partition("?")
    rest = rest.partition("#")[0]
    options = _options(query)
    if scheme == "unix":
        authority, slash, path = rest.partition("/")
        path = slash + path
    else:
        authority, slash, path = rest.partition("/")
    userinfo, at, hostlist = authority.rpartition("@")
    username = password = None
    if at:
        user, colon, secret = userinfo.partition(":")
        username = unquote(user) or None
        password = unquote(secret) if colon else None
        if not colon:  # redis://secret@host: a password alone
            username, password = None, unquote(user) or None
    tls_wanted = scheme == "rediss" or _yes_no("tls", options.get("tls", "no"))
    db_text = options.get("db", "")
    service = None
    if scheme == "unix":
        if hostlist:
            raise _fail("a unix URL has no host: unix:///path/to/socket")
        if path in ("", "/"):
            raise _fail("the socket path is missing")
        kind, hosts, unix_path = "unix", [], unquote(path)
    else:
        unix_path = None
        segments = [s for s in path.split("/")] if path else []
        if scheme == "redis+sentinel":
            kind = "sentinel"
            hosts = _hosts(hostlist, DEFAULT_SENTINEL_PORT, True)
            if not segments or not segments[0]:
                raise _fail("a sentinel URL names its service: redis+sentinel://host:port/service")
            service = unquote(segments[0])
            segments = segments[1:]
        elif scheme == "redis+cluster":
            kind = "cluster"
            hosts = _hosts(hostlist, DEFAULT_PORT, True)
        else:
            kind = "single"
            hosts = _hosts(hostlist, DEFAULT_PORT, False)
        segments = [s for s in segments if s]
        if len(segments) > 1:
            raise _fail("the path holds only the database number")
        if segments:
            if db_text:
                raise _fail("the database is given twice")
            db_text = segments[0]
    db = _whole(db_text, "the database", 0, 2 ** 31 - 1) if db_text else 0
    if kind == "cluster" and db != 0:
        raise _fail("a cluster has only database 0")
    tls_names = ("ca_file", "cert_file", "key_file", "check_hostname")
    if not tls_wanted and any(name in options for name in tls_names):
        raise _fail("the TLS options need rediss:// (or tls=yes)")
    if tls_wanted and kind == "unix":
        raise _fail("TLS is not used over a unix socket")
    if ("key_file" in options) != ("cert_file" in options):
        raise _fail("a client certificate needs cert_file and key_file together")
    tls = None
    if tls_wanted:
        tls = {"ca_file": options.get("ca_file"), "cert_file": options.get("cert_file"),
               "key_file": options.get("key_file"),
               "check_hostname": _yes_no("check_hostname", options.get("check_hostname", "yes"))}
    if "sentinel_password" in options and kind != "sentinel":
        raise _fail("sentinel_password belongs to redis+sentinel:// URLs")
    return RedisUrl(kind, hosts, username, password, db, service, unix_path, tls,
                    options.get("sentinel_password"))
