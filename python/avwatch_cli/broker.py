"""The Redis client for the monitors' long-running loops, and the checks
that turn a wrong URL or a missing channel into a message before they start.

Three ways to reach Redis, exactly one per command: a single server
(--redis URL), the master a set of Sentinels names (--redis-sentinel with
--sentinel-master), or a Redis Cluster (--redis-cluster URL).  Each may
instead come from the environment (AVWATCH_REDIS, AVWATCH_REDIS_SENTINEL
with AVWATCH_SENTINEL_MASTER, AVWATCH_REDIS_CLUSTER), which keeps passwords
out of the process list; the command line wins."""

import argparse
import logging
import os
from typing import Union

import redis
from redis.backoff import NoBackoff
from redis.cluster import RedisCluster
from redis.exceptions import RedisClusterException
from redis.retry import Retry
from redis.sentinel import MasterNotFoundError, Sentinel

from avwatch_cli.failures import NO_CHANNEL, REDIS_UNAVAILABLE, USAGE, Failure
from avwatch_cli.redis_target import CLUSTER, SENTINEL, SINGLE, Target, redact, sentinel_options
from avwatch_cli.source_records import CHANNEL_EXAMPLE, channel_live

log = logging.getLogger("avwatch.cli")

__all__ = ["REDIS_ERRORS", "add_redis_arguments", "connect_from", "connect_to", "make_client",
           "require_channel", "target_from"]

Client = Union[redis.Redis, RedisCluster]

# What a call of either client may raise.
REDIS_ERRORS = (redis.RedisError, RedisClusterException)

# Shorter than the monitors' periods (3 s for the input, at least 1 s pause
# plus work for the output), so a dead server surfaces as an error of one
# pass instead of a loop hanging on a socket.
SOCKET_TIMEOUT = 2.0
# A connection idle longer than this is pinged before use, so one dropped by
# a firewall or a server restart is replaced rather than failing a pass.
HEALTH_CHECK_INTERVAL = 15

# The environment variables that stand in for each option.
ENVIRONMENT = {
    "redis": "AVWATCH_REDIS",
    "redis_sentinel": "AVWATCH_REDIS_SENTINEL",
    "sentinel_master": "AVWATCH_SENTINEL_MASTER",
    "redis_cluster": "AVWATCH_REDIS_CLUSTER",
}


def _client_options() -> dict:
    # One immediate retry replaces a connection the server closed; anything
    # longer fails the command, so the monitors' own cadence (and for the
    # input monitor, the supervisor) decides when to try again, rather than
    # a client-side backoff that would outlast a pass.
    return {"socket_timeout": SOCKET_TIMEOUT, "socket_connect_timeout": SOCKET_TIMEOUT,
            "socket_keepalive": True, "health_check_interval": HEALTH_CHECK_INTERVAL,
            "retry": Retry(NoBackoff(), 1)}


def add_redis_arguments(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group(
        "Redis (exactly one of --redis, --redis-sentinel, --redis-cluster; or the same from "
        + ", ".join(ENVIRONMENT.values()) + ")")
    choice = group.add_mutually_exclusive_group()
    choice.add_argument("--redis", metavar="URL",
                        help="one Redis server, e.g. redis://127.0.0.1:6379/0 (redis://:PASSWORD@host:port/db, "
                             "rediss:// for TLS)")
    choice.add_argument("--redis-sentinel", metavar="HOST:PORT[,HOST:PORT...]",
                        help="the Sentinels that name the master; for the master's password, database or TLS "
                             "write it as a URL: redis[s]://[:PASSWORD@]HOST:PORT[,HOST:PORT...][/DB]"
                             "[?sentinel_password=SECRET] (the password is the master's; sentinel_password "
                             "is the Sentinels' own, when they require one)")
    choice.add_argument("--redis-cluster", metavar="URL",
                        help="any node of a Redis Cluster, e.g. redis://10.0.0.1:7000 "
                             "(redis://:PASSWORD@host:port, rediss:// for TLS)")
    group.add_argument("--sentinel-master", metavar="NAME",
                       help="the master's name in the Sentinels' configuration (with --redis-sentinel)")


def target_from(args: argparse.Namespace) -> Target:
    """The Redis the arguments name; from the environment when the command
    line names none."""
    kinds = {"redis": SINGLE, "redis_sentinel": SENTINEL, "redis_cluster": CLUSTER}
    given = {name: getattr(args, name, None) for name in kinds}
    origin = "the command line"
    if not any(given.values()):
        given = {name: os.environ.get(ENVIRONMENT[name]) or None for name in kinds}
        origin = "the environment"
    chosen = [name for name in kinds if given[name]]
    if len(chosen) != 1:
        raise Failure(f"give exactly one of --redis, --redis-sentinel and --redis-cluster (or one of "
                      f"{ENVIRONMENT['redis']}, {ENVIRONMENT['redis_sentinel']} and "
                      f"{ENVIRONMENT['redis_cluster']}); {origin} gives {len(chosen)}", USAGE)
    kind = kinds[chosen[0]]
    if kind != SENTINEL and args.sentinel_master:
        raise Failure("--sentinel-master goes with --redis-sentinel only", USAGE)
    master = args.sentinel_master or os.environ.get(ENVIRONMENT["sentinel_master"]) or None
    if kind == SENTINEL and not master:
        raise Failure("--redis-sentinel needs --sentinel-master NAME (the master's name in the "
                      "Sentinels' configuration)", USAGE)
    return Target(kind, str(given[chosen[0]]), master if kind == SENTINEL else None)


def connect_from(args: argparse.Namespace) -> Client:
    return connect_to(target_from(args))


def connect_to(target: Target) -> Client:
    """A client of the target that has answered a PING."""
    client = make_client(target)
    try:
        client.ping()
    except redis.AuthenticationError as error:
        # Settings, not an outage: a restart would meet the same refusal.
        client.close()
        raise Failure(f"Redis at {target} refused the credentials: {str(error).rstrip('.')}; put the password "
                      f"in {target.option} ({target.with_password})", USAGE) from None
    except redis.ResponseError as error:
        # The connection's set-up (SELECT of the database) was refused.
        client.close()
        raise Failure(f"Redis at {target} refused the connection's set-up: {str(error).rstrip('.')}. Check the "
                      f"database number in {target.option}: the server's `databases` setting (16 unless "
                      "changed) bounds it, counting from 0", USAGE) from None
    except MasterNotFoundError:
        client.close()
        sentinels, _, own_options = sentinel_options(target.value)
        answering = sum(_answers(redis.Redis(host, port, **{**_client_options(), **own_options}))
                        for host, port in sentinels)
        raise Failure(f"no Sentinel at {target} names a reachable master {target.master!r} ({answering} of "
                      f"{len(sentinels)} Sentinels answer). Check --redis-sentinel and --sentinel-master.",
                      REDIS_UNAVAILABLE) from None
    except REDIS_ERRORS as error:
        client.close()
        raise Failure(f"cannot reach Redis at {target}: {str(error).rstrip('.')}. Is redis-server running "
                      f"there? Check {target.option}.", REDIS_UNAVAILABLE) from None
    return client


def _answers(server: redis.Redis) -> bool:
    try:
        return bool(server.ping())
    except redis.RedisError:
        return False
    finally:
        server.close()


def make_client(target: Target, *, read_size: int | None = None) -> Client:
    """A client of the target, not yet asked anything (a Cluster client has
    read the slot map); `read_size`: bytes its connections take from the
    socket at once, for a reader of large replies."""
    options = _client_options()
    if read_size is not None:
        options["socket_read_size"] = read_size
    try:
        if target.kind == SENTINEL:
            sentinels, master_options, own_options = sentinel_options(target.value)
            sentinel = Sentinel(sentinels, sentinel_kwargs={**_client_options(), **own_options})
            return sentinel.master_for(target.master or "", **{**options, **master_options})
        if target.kind == CLUSTER:
            return RedisCluster.from_url(target.value, **options)
        return redis.Redis.from_url(target.value, **options)
    except ValueError as error:
        what = "addresses" if target.kind == SENTINEL else "URL"
        raise Failure(f"bad {target.option} {what} {redact(target.value)!r}: {error} "
                      f"(example: {target.example})", USAGE) from None
    except REDIS_ERRORS as error:
        # A cluster client asks for the slot map at once.
        raise Failure(f"cannot reach Redis at {target}: {str(error).rstrip('.')}. Check {target.option}.",
                      REDIS_UNAVAILABLE) from None


def require_channel(client: Client, ch_uid: str) -> bool:
    """The channel record's "live" field.  Without a readable record the
    input monitor fails at once and the output monitor logs an error every
    pass, so say so up front."""
    key = f"ch:{ch_uid}"
    value = client.get(key)
    if value is None:
        raise Failure(f"no channel record under {key}: the channel service writes it as JSON, "
                      f"for example {CHANNEL_EXAMPLE}; check --channel and the database in --redis", NO_CHANNEL)
    live, warnings = channel_live(value, key)
    for warning in warnings:
        log.warning("%s", warning)
    return live
