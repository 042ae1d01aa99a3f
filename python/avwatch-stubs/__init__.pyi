# Type information for the avwatch extension module.  A single extension
# module cannot carry a py.typed marker, so its signatures ship here as a
# stub-only package that mypy and pyright find beside it in site-packages.
import contextlib as contextlib
import json as json
import logging as logging
import os as os
import subprocess as subprocess
import time as time
from typing import SupportsFloat, SupportsIndex, TypedDict, type_check_only

import redis as redis

# Any client with get, set and delete: one server, a Sentinel master
# (Sentinel.master_for gives a redis.Redis) or a Redis Cluster.
_Broker = redis.Redis | redis.RedisCluster

@type_check_only
class _StreamRecord(TypedDict):
    # The codec names are copied from ffprobe's answer as they stand.
    acodec: str
    vcodec: str
    vresolution: str
    vfps: int
    vbitrate: int
    abitrate: int
    bitrate: int

def ffmpeg_output_bitrate(ch_uid: str, pipe_name: str, broker: _Broker) -> None: ...
def is_ts_file_recent(file: str, fragment_time: int) -> bool: ...
def get_bitrate_from_playlist(playlist: str, pipe_name: str) -> int: ...
def get_srs_fragment_time() -> int: ...
def ffmpeg_input_bitrate(ch_uid: str, pipe_name: str, broker: _Broker) -> None: ...
def get_bit_depth(sample_format: str) -> int: ...
def get_ffprobe_info(uri: str, program_id: str = "", video_id: str = "", audio_id: str = "") -> _StreamRecord: ...
def to_int(number: str | bytes | SupportsFloat | SupportsIndex) -> int: ...
