"""What the server lets whom do: the bind decision, the token, and the
checks that keep other web pages and other hosts from switching a supply."""

from __future__ import annotations

import hmac
import ipaddress
import re
import secrets
import socket
from urllib.parse import urlsplit

__all__ = [
    "host_allowed",
    "is_loopback",
    "new_token",
    "origin_allowed",
    "origin_malformed",
    "setting_allowed",
    "token_matches",
    "token_scope",
]


def _ip(text: str) -> ipaddress.IPv4Address | ipaddress.IPv6Address | None:
    try:
        ip = ipaddress.ip_address(text.strip("[]").split("%", 1)[0])
    except ValueError:
        return None
    if isinstance(ip, ipaddress.IPv6Address) and ip.ipv4_mapped is not None:
        return ip.ipv4_mapped
    return ip


def is_loopback(host: str) -> bool:
    """Whether listening on `host` reaches this machine only. A wildcard
    ("0.0.0.0", "::", "") is every interface, so not loopback; a name
    counts only when every address it resolves to is a loopback one."""
    ip = _ip(host)
    if ip is not None:
        return ip.is_loopback
    if not host:
        return False
    try:
        infos = socket.getaddrinfo(host, None)
    except OSError:
        return False
    addresses = {_ip(str(info[4][0])) for info in infos}
    return bool(addresses) and all(a is not None and a.is_loopback for a in addresses)


def setting_allowed(bind_host: str, peer_host: str, allow_remote: bool) -> bool:
    """Whether a SCPI client at `peer_host` may change a setting: always
    over a loopback bind or from this machine, from elsewhere only when
    remote control was allowed when the server started."""
    if allow_remote or is_loopback(bind_host):
        return True
    peer = _ip(peer_host)
    return peer is not None and peer.is_loopback


def new_token() -> str:
    return secrets.token_urlsafe(18)


def token_matches(given: str | None, token: str) -> bool:
    return given is not None and hmac.compare_digest(given.encode(), token.encode())


def token_scope(given: str | None, control: str, power: str) -> str | None:
    """ "control", "power" or None for the token a request carries. Both
    are compared, each in constant time, whichever matches: the time
    tells neither which one was near."""
    is_control = token_matches(given, control)
    is_power = token_matches(given, power)
    return "control" if is_control else "power" if is_power else None


# What a Host header may be: a name or an IP address, in brackets for IPv6
# (a zone as %25...), and a port. Userinfo ("x@127.0.0.1"), a path or a
# query would be read past by a URL parser and name us all the same.
_HOST = re.compile(r"(?:[A-Za-z0-9._~-]+|\[[0-9A-Fa-f:.]+(?:%25[A-Za-z0-9._~-]+)?\])(?::[0-9]{1,5})?")


def _split_host(value: str) -> tuple[str, int | None] | None:
    if not _HOST.fullmatch(value):
        return None
    try:
        parts = urlsplit("//" + value)
        return (parts.hostname or "").lower(), parts.port
    except ValueError:
        return None


def host_allowed(host_header: str | None, port: int, extra_names: frozenset[str] = frozenset()) -> bool:
    """The Host header names this server: an IP address or localhost (or a
    name the user allowed), on our port. A page on a name that an attacker
    points at 127.0.0.1 (DNS rebinding) sends its own name and is refused."""
    if not host_header:
        return False
    split = _split_host(host_header)
    if split is None:
        return False
    name, given_port = split
    if given_port is not None and given_port != port:
        return False
    if given_port is None and port != 80:
        return False
    return name == "localhost" or _ip(name) is not None or name in extra_names


def origin_malformed(origin: str | None) -> bool:
    """An Origin that cannot even be read as a URL ("http://[", a port that
    is no port): a bad request, where one that reads is merely not ours."""
    if origin is None:
        return False
    try:
        urlsplit(origin).port  # noqa: B018 - raises what a malformed one raises
    except ValueError:
        return True
    return False


def origin_allowed(origin: str | None, host_header: str | None) -> bool:
    """A browser names the page that sends a request in Origin; only our
    own page may change anything. No Origin at all is a program (curl,
    labgrid), which the token alone admits."""
    if origin is None:
        return True
    if origin_malformed(origin) or not host_header:
        return False
    parts = urlsplit(origin)
    return parts.scheme == "http" and parts.netloc.lower() == host_header.lower()
