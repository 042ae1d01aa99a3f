"""Which Redis a command talks to, as the operator wrote it, and how to show
it without its passwords."""

import re
from collections.abc import Callable
from dataclasses import dataclass
from typing import Optional

from redis.connection import SSLConnection, parse_url

SINGLE, SENTINEL, CLUSTER = "redis", "sentinel", "cluster"

OPTIONS = {SINGLE: "--redis", SENTINEL: "--redis-sentinel", CLUSTER: "--redis-cluster"}
EXAMPLES = {
    SINGLE: "redis://127.0.0.1:6379/0",
    SENTINEL: "10.0.0.1:26379,10.0.0.2:26379,10.0.0.3:26379",
    CLUSTER: "redis://10.0.0.1:7000",
}
# Where the password goes, in the URL of each option.
WITH_PASSWORD = {
    SINGLE: "redis://:PASSWORD@host:port/db",
    SENTINEL: "redis://:PASSWORD@host:port,host:port/db",
    CLUSTER: "redis://:PASSWORD@host:port",
}
SENTINEL_PORT = 26379

# The password of "scheme://user:password@" and of password= query arguments.
# The user information ends at the last "@" before the query: a password
# may itself hold "@" or "/" (redis-py splits at the last "@" too).
_USERINFO_PASSWORD = re.compile(r"(://[^:/@?#]*:)[^?#]*@")
_QUERY_PASSWORD = re.compile(r"([?&][a-z_]*password=)[^&]*", re.IGNORECASE)


def redact(url: str) -> str:
    """The URL with every password replaced by ***."""
    return _QUERY_PASSWORD.sub(r"\1***", _USERINFO_PASSWORD.sub(r"\1***@", url))


@dataclass(frozen=True)
class Target:
    kind: str                     # SINGLE, SENTINEL or CLUSTER
    value: str                    # the URL, or the Sentinels' addresses
    master: Optional[str] = None  # the master's name, for SENTINEL

    @property
    def option(self) -> str:
        return OPTIONS[self.kind]

    @property
    def example(self) -> str:
        return EXAMPLES[self.kind]

    @property
    def with_password(self) -> str:
        return WITH_PASSWORD[self.kind]

    def __str__(self) -> str:
        if self.kind == SENTINEL:
            return f"{redact(self.value)} (Sentinel master {self.master})"
        if self.kind == CLUSTER:
            return f"{redact(self.value)} (Cluster)"
        return redact(self.value)


def passwords(target: Target) -> list:
    """The passwords the target's text holds, to scrub from library errors."""
    try:
        if target.kind == SENTINEL:
            _, master, own = sentinel_options(target.value)
            found = [master.get("password"), own.get("password")]
        else:
            found = [parse_url(target.value).get("password")]
    except ValueError:
        return []
    return [password for password in found if password]


def scrubber(target: Target) -> Callable[[str], str]:
    """Removes the target's passwords from text that a library error may carry."""
    secrets = passwords(target)
    if not secrets:
        return str

    def scrub(text: str) -> str:
        for secret in secrets:
            text = text.replace(secret, "***")
        return text
    return scrub


def sentinel_options(value: str) -> tuple:
    """Splits `[redis[s]://[[USER]:PASSWORD@]]HOST:PORT[,HOST:PORT...][/DB][?ARGS]`
    into the Sentinels' addresses, the master's connection options (its
    credentials, database, TLS and query arguments as in a redis-py URL) and
    the Sentinels' own options (sentinel_password, sentinel_username, and
    TLS when the scheme is rediss)."""
    scheme, separator, rest = value.partition("://")
    if not separator:
        scheme, rest = "redis", value
    if scheme.lower() not in ("redis", "rediss"):
        raise ValueError("the scheme must be redis:// or rediss://")
    split = min((rest.find(mark) for mark in "/?" if mark in rest), default=len(rest))
    netloc, tail = rest[:split], rest[split:]
    userinfo, at, hosts = netloc.rpartition("@")
    sentinels = [_address(entry) for entry in hosts.split(",")]
    # parse_url reads everything but the host list; any one host stands in.
    master = parse_url(f"{scheme}://{userinfo}{at}sentinel{tail}")
    master.pop("host", None)
    master.pop("port", None)
    own = {}
    for name in ("password", "username"):
        if f"sentinel_{name}" in master:
            own[name] = master.pop(f"sentinel_{name}")
    if master.pop("connection_class", None) is SSLConnection:
        # The Sentinel pool picks its own TLS connection class from ssl=True.
        master["ssl"] = True
        own.update({name: option for name, option in master.items() if name.startswith("ssl")})
    return sentinels, master, own


def _address(entry: str) -> tuple:
    host, colon, port = entry.strip().rpartition(":")
    if not colon or host.endswith(":"):   # no port, or a bare IPv6 address
        host, port = entry.strip(), str(SENTINEL_PORT)
    host = host.strip("[]")
    if not host or not port.isdigit() or not 0 < int(port) < 65536:
        raise ValueError(f"{entry!r} is not HOST:PORT")
    return host, int(port)
