"""The records the channel service writes and the monitors read: the channel
record (ch:ID) and the input source record (ch:ID:input:PIPE).  The monitors
inside the module fail on a wrong one with a bare Python error (TypeError
for a missing record, JSONDecodeError, AttributeError for a "uri" that is
not text); these checks name the key, what was found and what to write."""

import json

from avwatch_cli.failures import NO_CHANNEL, Failure

CHANNEL_EXAMPLE = '{"live": true}'
SOURCE_EXAMPLE = '{"uri": "udp://239.1.1.1:1234", "miface": "10.0.0.5", "pid": 1, "vpid": 256, "apid": 257}'
ID_FIELDS = ("pid", "vpid", "apid")


def input_source_key(ch_uid: str, pipe_name: str) -> str:
    return f"ch:{ch_uid}:input:{pipe_name}"


def json_kind(value: object) -> str:
    kinds = {dict: "an object", list: "an array", str: "a string", bool: "a boolean", type(None): "null",
             int: "a number", float: "a number"}
    return kinds.get(type(value), type(value).__name__)


def shown(raw: bytes | str, limit: int = 120) -> str:
    text = raw.decode(errors="replace") if isinstance(raw, bytes) else raw
    return repr(text if len(text) <= limit else text[:limit] + "…")


def load_object(raw: bytes | str | None, what: str, key: str, example: str) -> dict:
    """The record as a JSON object, or a Failure naming the key, what was
    found there and an example."""
    if raw is None:
        raise Failure(f"no {what} under {key}: the channel service writes it as JSON, for example {example}",
                      NO_CHANNEL)
    try:
        record = json.loads(raw)
    except ValueError as error:
        raise Failure(f"the {what} under {key} is not JSON ({error}): found {shown(raw)}; "
                      f"write for example {example}", NO_CHANNEL) from None
    if not isinstance(record, dict):
        raise Failure(f"the {what} under {key} is {json_kind(record)}, not a JSON object: found {shown(raw)}; "
                      f"write for example {example}", NO_CHANNEL)
    return record


def channel_live(raw: bytes | str | None, key: str) -> tuple[bool, list[str]]:
    """The channel record's "live" as the monitors read it (any true value
    counts), and warnings about values that count otherwise than they read."""
    record = load_object(raw, "channel record", key, CHANNEL_EXAMPLE)
    if "live" not in record:
        raise Failure(f'the channel record under {key} has no "live" field: found {shown(raw or "")}; '
                      f"write for example {CHANNEL_EXAMPLE}", NO_CHANNEL)
    live = record["live"]
    warnings = []
    if not isinstance(live, bool):
        counts = "live" if live else "not live"
        warnings.append(f'"live" in {key} is {json_kind(live)} {json.dumps(live)}, which counts as {counts}: '
                        f"write true or false, without quotes")
    return bool(live), warnings


def input_source_warnings(raw: bytes | str | None, key: str) -> list[str]:
    """Raises a Failure for an input source record the input monitor fails
    on; the warnings for one it runs with but probes nothing or the wrong
    thing from."""
    record = load_object(raw, "input source record", key, SOURCE_EXAMPLE)
    uri = record.get("uri")
    if uri and not isinstance(uri, str):
        raise Failure(f'"uri" in the input source record under {key} is {json_kind(uri)} {json.dumps(uri)}: '
                      f'write the address as a string, for example {SOURCE_EXAMPLE}', NO_CHANNEL)
    warnings = []
    if not uri:
        found = f"is {json.dumps(uri)}" if "uri" in record else "is absent"
        warnings.append(f'"uri" in the input source record under {key} {found}: the input monitor probes '
                        f"nothing and publishes no record until it is set, for example {SOURCE_EXAMPLE}")
    interface = record.get("miface")
    if interface and not isinstance(interface, str):
        warnings.append(f'"miface" in {key} is {json_kind(interface)} {json.dumps(interface)}: write the '
                        'receiving interface\'s address as a string, for example "10.0.0.5"')
    for field in ID_FIELDS:
        value = record.get(field)
        if value and not (type(value) is int or (isinstance(value, str) and is_stream_id(value))):
            warnings.append(f'"{field}" in {key} is {json_kind(value)} {json.dumps(value)}: write a number, '
                            'as decimal (256) or hexadecimal text ("0x100")')
    return warnings


def is_stream_id(text: str) -> bool:
    try:
        int(text, 0)
    except ValueError:
        return False
    return True
