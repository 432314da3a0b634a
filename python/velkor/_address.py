"""Where the viewer's server listens: the host and port, checked before the server is asked to
bind them (its start-up never reports a bad one), and the page's address as a browser on this
machine opens it. Needs no viewer extra, so the command line checks its options with it."""

import errno
import operator
import re
import socket
from typing import SupportsIndex

# The hosts that mean "every interface" and the loopback address a browser here reaches them at.
EVERY_INTERFACE = {"": "127.0.0.1", "0.0.0.0": "127.0.0.1", "::": "::1"}
HIGHEST_PORT = 65535


def check_port(port: object) -> int:
    """The port as an int: TypeError for a non-integer (a bool too), ValueError outside 0-65535."""
    refused = f"port must be an int, not {type(port).__name__}"
    if isinstance(port, bool) or not isinstance(port, SupportsIndex):
        raise TypeError(refused)
    try:
        value = operator.index(port)
    except TypeError:  # an __index__ that returns no int
        raise TypeError(refused) from None
    if not 0 <= value <= HIGHEST_PORT:
        raise ValueError(f"port must be from 0 to {HIGHEST_PORT} (0: any free port), got {value}")
    return value


def check_host(host: object) -> str:
    """The host if this machine can listen on it: TypeError for a non-str; ValueError for a
    name that does not resolve, a dotted number that is no IPv4 address, or an address of no
    interface here (each address it resolves to is bound once, on a free port, as the server
    will bind them; one that binds is enough)."""
    if not isinstance(host, str):
        raise TypeError(f"host must be a str, not {type(host).__name__}")
    if host == "":
        return host
    if re.fullmatch(r"[0-9.]+", host):
        try:
            socket.inet_aton(host)  # the forms getaddrinfo takes as an address, "127.1" included
        except OSError:
            raise ValueError(f"cannot listen on {host}: not an IPv4 address") from None
    try:
        found = socket.getaddrinfo(host, None, type=socket.SOCK_STREAM, flags=socket.AI_PASSIVE)
    except (OSError, UnicodeError, ValueError) as error:  # gaierror; IDNA and NUL refusals
        reason = getattr(error, "strerror", None) or str(error)
        raise ValueError(f"cannot listen on {host}: {reason}") from None
    reasons = []
    for family, kind, protocol, _, address in found:
        try:
            with socket.socket(family, kind, protocol) as probe:
                if family == socket.AF_INET6:
                    probe.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
                probe.bind((address[0], 0, *address[2:]))
            return host
        except OSError as error:
            reasons.append(error.strerror or str(error))
    raise ValueError(f"cannot listen on {host}: {reasons[0] if reasons else 'no address'} "
                     "(no interface of this machine has that address)")


def free_port_on_every_interface() -> int:
    """A port free on both 0.0.0.0 and ::, so that the IPv4 and IPv6 sockets of host "" share it
    (asked for port 0 each would get a port of its own, and the page's address would name one)."""
    for _ in range(100):
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as ipv4:
            ipv4.bind(("", 0))
            port: int = ipv4.getsockname()[1]
            try:
                with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as ipv6:
                    ipv6.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
                    ipv6.bind(("::", port))
            except OSError as error:
                if error.errno == errno.EADDRINUSE:
                    continue
            return port  # free on both, or this machine has no IPv6
    return 0


def url(host: str, port: int) -> str:
    """http://HOST:PORT, an IPv6 address in brackets; a host that means every interface is
    written as this machine's loopback address."""
    shown = EVERY_INTERFACE.get(host, host)
    if ":" in shown:
        shown = "[" + shown.replace("%", "%25") + "]"  # a zone index is %25 in a URL
    return f"http://{shown}:{port}"


def describe(host: str, port: int) -> str:
    """HOST:PORT for messages, or "port PORT of every interface"."""
    if host in EVERY_INTERFACE:
        return f"port {port} of every interface ({host!r})"
    return f"[{host}]:{port}" if ":" in host else f"{host}:{port}"
