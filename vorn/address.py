"""Client addresses as limiter keys.

One client must have exactly one key, and a client must not be able to choose
its own key. So an address is canonicalised before it is used (an IPv4-mapped
IPv6 address is the IPv4 address, IPv6 text is written in its one compressed
lower-case form), and forwarding headers are read only when the peer that sent
the request is a proxy the application trusts.
"""
import ipaddress
import re
from typing import Iterable, List, Optional, Sequence, Tuple, Union

_Network = Union[ipaddress.IPv4Network, ipaddress.IPv6Network]
_Address = Union[ipaddress.IPv4Address, ipaddress.IPv6Address]

#: Key used when the server reports no peer address at all (a Unix socket, say).
UNKNOWN_CLIENT = "unknown"

_PORT = re.compile(r"[0-9]+")


def _split_host(text: str) -> Tuple[str, str]:
    """Splits an optional port (and IPv6 brackets) off an address; returns (host, zone)."""
    text = text.strip()
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


def _parse(text: str) -> Optional[Tuple[_Address, str]]:
    host, zone = _split_host(text)
    if not host or not host.isascii():
        return None
    try:
        address = ipaddress.ip_address(host)
    except ValueError:
        return None
    if address.version == 6:
        mapped = address.ipv4_mapped
        if mapped is not None:
            return mapped, ""
    elif zone:
        return None  # zones belong to IPv6 only
    return address, zone


def canonical_address(text: str) -> Optional[str]:
    """Returns the one canonical text of an IP address, or None if `text` is not one.

    Accepts an optional port ("192.0.2.1:8080", "[2001:db8::1]:443") and an IPv6
    zone ("fe80::1%eth0", kept as given). "::ffff:10.0.0.1" gives "10.0.0.1";
    "2001:DB8:0:0::1" gives "2001:db8::1".
    """
    parsed = _parse(text)
    if parsed is None:
        return None
    address, zone = parsed
    return str(address) + ("%" + zone if zone else "")


def _forwarded_for_values(header: str) -> List[Optional[str]]:
    """The `for=` value of each element of a Forwarded header, left to right.

    An element without a `for` parameter gives None. Quoted strings may hold
    commas and semicolons; backslash escapes inside them are honoured.
    """
    values: List[Optional[str]] = []
    current: Optional[str] = None
    key, value, in_value, quoted, escaped = "", "", False, False, False

    def end_pair() -> None:
        nonlocal current, key, value, in_value
        if key.strip().lower() == "for" and current is None:
            current = value.strip()
        key, value, in_value = "", "", False

    for char in header:
        if quoted:
            if escaped:
                value += char
                escaped = False
            elif char == "\\":
                escaped = True
            elif char == '"':
                quoted = False
            else:
                value += char
        elif char == '"' and in_value:
            quoted = True
        elif char == "=" and not in_value:
            in_value = True
        elif char == ";":
            end_pair()
        elif char == ",":
            end_pair()
            values.append(current)
            current = None
        elif in_value:
            value += char
        else:
            key += char
    end_pair()
    values.append(current)
    return values


class ClientAddressResolver:
    """Picks the limiter key of a request from its peer address and forwarding header.

    With no trusted proxies the key is the canonical peer address and no header
    is read. Otherwise, when the peer is trusted, the named header (an
    X-Forwarded-For-style comma list, or RFC 7239 Forwarded) is walked from the
    right, skipping trusted proxies; the first untrusted address is the client.
    A malformed hop stops the walk at the last trusted address, so a forged or
    garbled entry can never become the key. Immutable; safe to share between
    threads.
    """

    def __init__(self, trusted_proxies: Iterable[str] = (),
                 forwarded_header: str = "X-Forwarded-For") -> None:
        if isinstance(trusted_proxies, (str, bytes)):
            raise TypeError("trusted_proxies must be a list of addresses or networks, not one text")
        self._networks: Sequence[_Network] = tuple(
            ipaddress.ip_network(proxy.strip(), strict=False) for proxy in trusted_proxies)
        self.header = forwarded_header.strip().lower()
        if not self.header:
            raise ValueError("forwarded_header must name a header")
        self._rfc7239 = self.header == "forwarded"

    @property
    def reads_header(self) -> bool:
        return bool(self._networks)

    def is_trusted(self, canonical: str) -> bool:
        parsed = _parse(canonical)
        if parsed is None:
            return False
        address = parsed[0]
        return any(address.version == net.version and address in net for net in self._networks)

    def _hops(self, header: str) -> List[Optional[str]]:
        if self._rfc7239:
            return _forwarded_for_values(header)
        return [part.strip() for part in header.split(",")]

    def resolve(self, peer: Optional[str], header: Optional[str] = None) -> str:
        """Returns the key for a request from `peer` carrying `header` (its value, or None)."""
        client = canonical_address(peer) if peer else None
        if client is None:
            return peer if peer else UNKNOWN_CLIENT
        if header is None or not self._networks or not self.is_trusted(client):
            return client
        for hop in reversed(self._hops(header)):
            address = canonical_address(hop) if hop else None
            if address is None:
                return client
            client = address
            if not self.is_trusted(address):
                return address
        return client
