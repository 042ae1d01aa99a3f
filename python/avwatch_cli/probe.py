"""`avwatch probe URI`: one probe, the stream record printed as JSON."""

import json
import sys

import avwatch

from avwatch_cli.failures import FAILED, MISSING_PROGRAM, OK, Failure
from avwatch_cli.programs import require_probe_chain


def add_parser(commands) -> None:
    parser = commands.add_parser(
        "probe", help="probe a stream URI or a segment file and print its stream record as JSON",
        description="Probe a stream URI or a segment file with ffprobe (under nice and cpulimit, "
                    "at most 3 s) and print its stream record as one line of JSON. For a udp:// URI "
                    "give the MPEG-TS program and the decimal PIDs of the streams to keep.")
    parser.add_argument("uri", help="stream URI (udp://..., srt://..., http://...) or file path")
    parser.add_argument("--program", default="", metavar="N", help="MPEG-TS program number (udp only)")
    parser.add_argument("--video", default="", metavar="PID", help="video stream PID, decimal (udp only)")
    parser.add_argument("--audio", default="", metavar="PID", help="audio stream PID, decimal (udp only)")
    parser.set_defaults(run=run)


def run(args) -> int:
    require_probe_chain()
    try:
        record = avwatch.get_ffprobe_info(args.uri, args.program, args.video, args.audio)
    except FileNotFoundError as error:
        # The chain vanished between the check and the start.
        raise Failure(f"cannot start the prober: {error}", MISSING_PROGRAM) from None
    print(json.dumps(record))
    if not any(record.values()):
        print(f"avwatch: no usable answer from ffprobe for {args.uri} within 3 s "
              "(unreachable, silent, not media, or the prober failed)" + _udp_hint(args), file=sys.stderr)
        return FAILED
    if not record["vcodec"] and not record["acodec"]:
        print(f"avwatch: ffprobe answered but no audio or video stream was kept for {args.uri}"
              + _udp_hint(args), file=sys.stderr)
        return FAILED
    return OK


def _udp_hint(args) -> str:
    if args.uri.startswith("udp") and not (args.program and args.video and args.audio):
        return "; a udp:// probe keeps only the streams of --program whose ids match --video or --audio"
    return ""
