"""The Redis client for the monitors' long-running loops, and the checks
that turn a wrong URL or a missing channel into a message before they start."""

import json
from urllib.parse import parse_qsl, urlencode, urlsplit

import redis

from avwatch_cli.failures import NO_CHANNEL, REDIS_UNAVAILABLE, USAGE, Failure

# Shorter than the monitors' periods (3 s for the input, at least 1 s pause
# plus work for the output), so a dead server surfaces as an error of one
# pass instead of a loop hanging on a socket.
SOCKET_TIMEOUT = 2.0
# A connection idle longer than this is pinged before use, so one dropped by
# a firewall or a server restart is replaced rather than failing a pass.
HEALTH_CHECK_INTERVAL = 15


def connect(url: str) -> redis.StrictRedis:
    try:
        client = redis.StrictRedis.from_url(
            url, socket_timeout=SOCKET_TIMEOUT, socket_connect_timeout=SOCKET_TIMEOUT,
            socket_keepalive=True, health_check_interval=HEALTH_CHECK_INTERVAL)
    except ValueError as error:
        raise Failure(f"bad --redis URL {url!r}: {error} (example: redis://127.0.0.1:6379/0)", USAGE) from None
    try:
        client.ping()
    except redis.AuthenticationError as error:
        client.close()
        raise Failure(f"Redis at {url} refused the credentials: {error}; put the password in the URL "
                      "(redis://:PASSWORD@host:port/db)", REDIS_UNAVAILABLE) from None
    except redis.RedisError as error:
        client.close()
        raise Failure(f"cannot reach Redis at {url}: {str(error).rstrip('.')}. Is redis-server running there? "
                      "Check --redis.", REDIS_UNAVAILABLE) from None
    return client


def require_channel(client: redis.StrictRedis, ch_uid: str) -> bool:
    """The channel record's "live" field.  Without a readable record the
    input monitor fails at once and the output monitor logs an error every
    pass, so say so up front."""
    key = f"ch:{ch_uid}"
    value = client.get(key)
    if value is None:
        raise Failure(f"no channel record under {key}: the channel service writes it as JSON, "
                      'for example {"live": true}; check --channel and the database in --redis', NO_CHANNEL)
    try:
        record = json.loads(value)
    except ValueError as error:
        raise Failure(f"the channel record under {key} is not JSON ({error})", NO_CHANNEL) from None
    if not isinstance(record, dict) or "live" not in record:
        raise Failure(f'the channel record under {key} has no "live" field: {value!r}', NO_CHANNEL)
    return bool(record["live"])


def redact(url: str) -> str:
    """The URL as it may be shown: any password, in the authority or as a
    query parameter, replaced by "***"."""
    try:
        parts = urlsplit(url)
        password = parts.password
    except ValueError:
        return "(unparsable URL)"
    if password is not None:
        host = parts.netloc.rpartition("@")[2]
        parts = parts._replace(netloc=f"{parts.username or ''}:***@{host}")
    if parts.query:
        query = [(name, "***" if name.lower() == "password" else value)
                 for name, value in parse_qsl(parts.query, keep_blank_values=True)]
        parts = parts._replace(query=urlencode(query, safe="*"))
    # Spelled out rather than urlunsplit, which turns "unix:///path" into "unix:/path".
    text = f"{parts.scheme}://{parts.netloc}{parts.path}"
    return text + (f"?{parts.query}" if parts.query else "") + (f"#{parts.fragment}" if parts.fragment else "")
