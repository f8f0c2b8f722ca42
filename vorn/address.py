"""Client addresses as limiter keys.

One client must have exactly one key, and a client must not be able to choose
its own key. So an address is canonicalised before it is used (an IPv4-mapped
IPv6 address is the IPv4 address, IPv6 text is written in its one compressed
lower-case form), and forwarding headers are read only when the peer that sent
the request is a proxy the application trusts.
"""
import functools
import ipaddress
import re
from typing import Dict, Iterable, Iterator, Optional, Sequence, Tuple, Union

_Network = Union[ipaddress.IPv4Network, ipaddress.IPv6Network]
_Address = Union[ipaddress.IPv4Address, ipaddress.IPv6Address]
# (address, zone, whether it was IPv4-mapped IPv6 text)
_Parsed = Tuple[_Address, str, bool]

#: Key used when the server reports no peer address at all (a Unix socket, say).
UNKNOWN_CLIENT = "unknown"

#: An IPv6 client is keyed by its network of this many bits unless told otherwise.
#: A client is handed a whole /64 (often a /56 or /48) and may use any address in
#: it; keyed by address, it would get a fresh allowance, and cost the server a
#: fresh entry, with every address it picks.
DEFAULT_IPV6_PREFIX = 56
MIN_IPV6_PREFIX = 32
MAX_IPV6_PREFIX = 128

#: How far a forwarding header is walked from the right: at most this many hops
#: and this many characters. Past either bound the walk stops at the last
#: trusted hop, so a header costs the same small work whatever its size.
MAX_FORWARDED_HOPS = 16
MAX_FORWARDED_CHARS = 2048

# No spelling of an address, with brackets, port and zone, comes near this.
_MAX_ADDRESS_TEXT = 128
# What surrounds an address in a header: HTTP's blanks only, the same in both hosts.
_BLANKS = " \t"
_PORT = re.compile(r"[0-9]+")
_PREFIX = re.compile(r"[0-9]{1,3}")
# An interface name or number, as a link-local address's zone.
_ZONE = re.compile(r"[0-9A-Za-z._-]{1,16}")
_LINK_LOCAL = ipaddress.ip_network("fe80::/10")
# Where a Forwarded token ends, reading leftwards.
_TOKEN_STOP = tuple(',;="\\ \t')
_ESCAPED = re.compile(r"\\(.)", re.DOTALL)
# The spellings nearly every server reports, read without the general parser: dotted
# IPv4 without leading zeros (its own canonical text), and the same behind "::ffff:".
# Group 1 is the key. Anything else, odd spellings of these included, is parsed in full.
_OCTET = r"(?:25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9]?[0-9])"
_COMMON_IPV4 = re.compile(r"(?:::[fF]{4}:)?(" + r"\.".join([_OCTET] * 4) + r")")

#: Peer texts whose keys a resolver remembers before it forgets them all and starts again.
MAX_REMEMBERED_PEERS = 4096


def _split_host(text: str) -> Tuple[str, str]:
    """Splits an optional port (and IPv6 brackets) off an address; returns (host, zone)."""
    text = text.strip(_BLANKS)
    if text.startswith("["):
        end = text.find("]")
        if end < 0:
            return "", ""
        rest = text[end + 1:]
        if rest and not (rest.startswith(":") and _PORT.fullmatch(rest[1:])):
            return "", ""
        text = text[1:end]
    elif text.count(":") == 1:
        # Only IPv4 text has exactly one colon: "192.0.2.1:8080".
        host, _, port = text.partition(":")
        if not _PORT.fullmatch(port):
            return "", ""
        text = host
    host, _, zone = text.partition("%")
    return host, zone


def _parse(text: str) -> Optional[Tuple[_Address, str, bool]]:
    """(address, zone, whether it was IPv4-mapped IPv6 text), or None."""
    return None if len(text) > _MAX_ADDRESS_TEXT else _parse_short(text)


# Parsing with the standard library costs microseconds; the same few proxy and
# client addresses come back request after request. Bounded in entries and, by
# the length check above, in size; thread-safe.
@functools.lru_cache(maxsize=4096)
def _parse_short(text: str) -> Optional[Tuple[_Address, str, bool]]:
    host, zone = _split_host(text)
    if not host or not host.isascii():
        return None
    try:
        address = ipaddress.ip_address(host)
    except ValueError:
        return None
    if address.version == 4:
        return (address, "", False) if not zone else None  # zones belong to IPv6 only
    mapped = address.ipv4_mapped
    if mapped is not None:
        return mapped, "", True
    if address not in _LINK_LOCAL:
        return address, "", False  # a zone says nothing about a global address
    if zone and not _ZONE.fullmatch(zone):
        return None
    return address, zone, False


def canonical_address(text: str) -> Optional[str]:
    """Returns the one canonical text of an IP address, or None if `text` is not one.

    Accepts an optional port ("192.0.2.1:8080", "[2001:db8::1]:443") and an IPv6
    zone, kept only on link-local addresses ("fe80::1%eth0") and dropped from
    others. "::ffff:10.0.0.1" gives "10.0.0.1"; "2001:DB8:0:0::1" gives "2001:db8::1".
    """
    parsed = _parse(text)
    if parsed is None:
        return None
    address, zone, _ = parsed
    return str(address) + ("%" + zone if zone else "")


def check_ipv6_prefix(prefix: object) -> int:
    """`prefix` if it is a whole number of bits from 32 to 128; raises otherwise."""
    if not isinstance(prefix, int) or isinstance(prefix, bool):
        raise TypeError("ipv6_prefix must be an int, not " + type(prefix).__name__)
    if not MIN_IPV6_PREFIX <= prefix <= MAX_IPV6_PREFIX:
        raise ValueError("ipv6_prefix must be from %d to %d, not %d"
                         % (MIN_IPV6_PREFIX, MAX_IPV6_PREFIX, prefix))
    return prefix


# The same few clients come back request after request; bounded, thread-safe.
@functools.lru_cache(maxsize=4096)
def _client_key(address: _Address, zone: str, prefix: int) -> str:
    """An IPv4 address whole; an IPv6 one as its network ("2001:db8:1::/56").

    A link-local network keeps its zone, written as in "fe80::%eth0/56", since
    the same network on two links is two clients.
    """
    if address.version == 4 or prefix == MAX_IPV6_PREFIX:
        return str(address) + ("%" + zone if zone else "")
    bits = MAX_IPV6_PREFIX - prefix
    network = ipaddress.IPv6Address((int(address) >> bits) << bits)
    return str(network) + ("%" + zone if zone else "") + "/" + str(prefix)


def _parse_network(entry: str) -> _Network:
    """A trusted-proxy entry: an address or a CIDR network.

    An IPv4-mapped entry is its IPv4 address or network ("::ffff:10.0.0.0/104"
    is 10.0.0.0/8), since mapped addresses are keyed as IPv4 too.
    """
    text = str(entry).strip()
    host, slash, prefix_text = text.partition("/")
    parsed = _parse(host)
    if parsed is None or (slash and not _PREFIX.fullmatch(prefix_text)):
        raise ValueError("not an IP address or network: " + repr(entry))
    address, _, mapped = parsed
    bits = address.max_prefixlen
    prefix = int(prefix_text) if slash else (128 if mapped else bits)
    if mapped:
        prefix -= 96
    if not 0 <= prefix <= bits:
        raise ValueError("not an IP address or network: " + repr(entry))
    return ipaddress.ip_network((str(address), prefix), strict=False)


def _list_hops(header: str) -> Iterator[Optional[str]]:
    """The hops of an X-Forwarded-For-style list, right to left, within the bounds.

    A leftmost hop that lies partly beyond the character bound is unknown (None).
    """
    end = len(header)
    floor = max(0, end - MAX_FORWARDED_CHARS)
    while True:
        comma = header.rfind(",", floor, end)
        if comma < 0:
            yield header[:end].strip(_BLANKS) if floor == 0 else None
            return
        yield header[comma + 1:end].strip(_BLANKS)
        end = comma


def _skip_space_left(header: str, at: int, floor: int) -> int:
    while at > floor and header[at - 1] in " \t":
        at -= 1
    return at


def _token_start(header: str, end: int, floor: int) -> int:
    # One search per stop character runs at the speed of the string search; the
    # near window first, since tokens are short and a miss scans to the floor.
    for low in (max(floor, end - 64), floor):
        found = max(header.rfind(stop, low, end) for stop in _TOKEN_STOP)
        if found >= 0 or low == floor:
            return max(found + 1, floor)
    return floor


def _backslashes_before(header: str, at: int, floor: int) -> Optional[int]:
    """How many backslashes precede header[at]; None when they run past the bound."""
    start = at
    while start > floor and header[start - 1] == "\\":
        start -= 1
    return None if start == floor and floor > 0 else at - start


def _forwarded_element(header: str, end: int, floor: int) -> Tuple[Optional[str], int]:
    """Reads the Forwarded element that ends at `end`, leftwards.

    Returns (its `for` value or None, where its separating comma is: -1 at the
    start of the header, -2 when the element is malformed). Malformed: an
    unterminated quoted string, a dangling escape, a pair without "=", two `for`
    parameters, or text reaching past the character bound.
    """
    malformed = (None, -2)
    found: Optional[str] = None
    at = end
    after_pair = False
    while True:
        at = _skip_space_left(header, at, floor)
        if at == 0:
            return found, -1
        if at == floor:
            return malformed
        char = header[at - 1]
        if char == ",":
            return found, at - 1
        if char == ";":
            at -= 1
            after_pair = False
            continue
        if after_pair:
            return malformed
        # The value: a quoted string or a token.
        if char == '"':
            close = at - 1
            escapes = _backslashes_before(header, close, floor)
            if escapes is None or escapes % 2 == 1:
                return malformed  # the last quote is escaped: the string never ends
            opening = close
            while True:
                opening = header.rfind('"', floor, opening)
                if opening < 0:
                    return malformed
                escapes = _backslashes_before(header, opening, floor)
                if escapes is None:
                    return malformed
                if escapes % 2 == 0:
                    break
            value = _ESCAPED.sub(r"\1", header[opening + 1:close])
            at = opening
        else:
            start = _token_start(header, at, floor)
            if start == at or (start == floor and floor > 0):
                return malformed
            value = header[start:at]
            at = start
        at = _skip_space_left(header, at, floor)
        if at <= floor or header[at - 1] != "=":
            return malformed
        at = _skip_space_left(header, at - 1, floor)
        start = _token_start(header, at, floor)
        if start == at or (start == floor and floor > 0):
            return malformed
        if header[start:at].lower() == "for":
            if found is not None:
                return malformed
            found = value
        at = start
        after_pair = True


def _forwarded_hops(header: str) -> Iterator[Optional[str]]:
    """The `for` value of each element of a Forwarded header, right to left.

    An element without a `for` parameter, or a malformed one, gives None and
    ends the walk.
    """
    end = len(header)
    floor = max(0, end - MAX_FORWARDED_CHARS)
    while True:
        value, comma = _forwarded_element(header, end, floor)
        yield value
        if value is None or comma < 0:
            return
        end = comma


class ClientAddressResolver:
    """Picks the limiter key of a request from its peer address and forwarding header.

    With no trusted proxies the key is the canonical peer address and no header
    is read. Otherwise, when the peer is trusted, the named header (an
    X-Forwarded-For-style comma list, or RFC 7239 Forwarded) is walked from the
    right, skipping trusted proxies; the first untrusted address is the client.
    A malformed hop stops the walk at the last trusted address, so a forged or
    garbled entry can never become the key; so does reaching MAX_FORWARDED_HOPS
    hops or MAX_FORWARDED_CHARS characters. The client found is keyed whole
    when it is IPv4 (or IPv4-mapped), and by its network of `ipv6_prefix` bits
    when it is IPv6 (128 keys each address apart); proxies are always matched
    by their whole address.

    The configuration is fixed at construction. What a peer text resolves to
    without its header (its key, and whether it is trusted) is remembered for
    up to MAX_REMEMBERED_PEERS peer texts, in this resolver only, so that the
    same clients coming back are not parsed again; a trusted peer's header is
    still walked on every request. Safe to share between threads: the memory is
    a dict of immutable values, read and written whole.
    """

    def __init__(self, trusted_proxies: Iterable[str] = (),
                 forwarded_header: str = "X-Forwarded-For",
                 ipv6_prefix: int = DEFAULT_IPV6_PREFIX) -> None:
        self._ipv6_prefix = check_ipv6_prefix(ipv6_prefix)
        if isinstance(trusted_proxies, (str, bytes)):
            raise TypeError("trusted_proxies must be a list of addresses or networks, not one text")
        self._networks: Sequence[_Network] = tuple(_parse_network(p) for p in trusted_proxies)
        self.header = forwarded_header.strip().lower()
        if not self.header:
            raise ValueError("forwarded_header must name a header")
        self._rfc7239 = self.header == "forwarded"
        # Peer text -> its key (an untrusted peer), or (key, parse) for a trusted one.
        self._known: Dict[str, Union[str, Tuple[str, _Parsed]]] = {}

    @property
    def ipv6_prefix(self) -> int:
        return self._ipv6_prefix

    @property
    def reads_header(self) -> bool:
        return bool(self._networks)

    def is_trusted(self, canonical: str) -> bool:
        parsed = _parse(canonical)
        return parsed is not None and self._trusts(parsed[0])

    def _trusts(self, address: _Address) -> bool:
        return any(address.version == net.version and address in net for net in self._networks)

    def resolve(self, peer: Optional[str], header: Optional[str] = None) -> str:
        """Returns the key for a request from `peer` carrying `header` (its value, or None)."""
        if peer.__class__ is not str:  # None, or what no server gives: never remembered
            parsed = _parse(peer) if peer else None
            if parsed is None:
                return peer if peer else UNKNOWN_CLIENT
            known = self._peer_key(parsed)
        else:
            known = self._known.get(peer)
            if known is None:
                known = self._learn(peer)
        if known.__class__ is str:
            return known  # type: ignore[return-value]
        key, _ = known
        return key if header is None else self._walk(key, header)

    def _learn(self, peer: str) -> Union[str, Tuple[str, _Parsed]]:
        common = None if self._networks else _COMMON_IPV4.fullmatch(peer)
        if common is not None:
            known: Union[str, Tuple[str, _Parsed]] = common.group(1)
        else:
            parsed = _parse(peer) if peer else None
            if parsed is None:
                return peer if peer else UNKNOWN_CLIENT  # over-long text is not remembered
            known = self._peer_key(parsed)
        known_peers = self._known
        if len(known_peers) >= MAX_REMEMBERED_PEERS:
            known_peers.clear()
        known_peers[peer] = known
        return known

    def _peer_key(self, parsed: _Parsed) -> Union[str, Tuple[str, _Parsed]]:
        key = _client_key(parsed[0], parsed[1], self._ipv6_prefix)
        return (key, parsed) if self._networks and self._trusts(parsed[0]) else key

    def _walk(self, peer_key: str, header: str) -> str:
        """The key named by the header of a request from a trusted peer."""
        hops = _forwarded_hops(header) if self._rfc7239 else _list_hops(header)
        client = None
        for _, hop in zip(range(MAX_FORWARDED_HOPS), hops):
            hop_parsed = _parse(hop) if hop else None
            if hop_parsed is None:
                break
            client = hop_parsed
            if not self._trusts(client[0]):
                break
        if client is None:
            return peer_key
        return _client_key(client[0], client[1], self._ipv6_prefix)
