"""`avwatch probe URI`: one probe, the stream record printed as JSON."""

import json
import sys

import avwatch

from avwatch_cli.diagnosis import explain, missing_streams
from avwatch_cli.failures import FAILED, MISSING_PROGRAM, OK, Failure
from avwatch_cli.programs import require_probe_chain
from avwatch_cli.stream_ids import program_number, stream_pid


def add_parser(commands) -> None:
    parser = commands.add_parser(
        "probe", help="probe a stream URI or a segment file and print its stream record as JSON",
        description="Probe a stream URI or a segment file with ffprobe (under nice and cpulimit, "
                    "at most 3 s) and print its stream record as one line of JSON. For a udp:// URI "
                    "give the MPEG-TS program and the PIDs of the streams to keep. Without a usable "
                    "answer it asks ffprobe once more why, and says so.")
    parser.add_argument("uri", help="stream URI (udp://..., srt://..., http://...) or file path")
    parser.add_argument("--program", type=program_number, metavar="N",
                        help="MPEG-TS program number (udp only)")
    parser.add_argument("--video", type=stream_pid, metavar="PID",
                        help="video stream PID, decimal or 0x-hexadecimal (udp only)")
    parser.add_argument("--audio", type=stream_pid, metavar="PID",
                        help="audio stream PID, decimal or 0x-hexadecimal (udp only)")
    parser.set_defaults(run=run)


def run(args) -> int:
    require_probe_chain()
    # The module takes "" for an id not given.
    ids = [value or "" for value in (args.program, args.video, args.audio)]
    if not args.uri.startswith("udp") and any(ids):
        print("avwatch: --program, --video and --audio apply to udp:// URIs only; ignored", file=sys.stderr)
    try:
        record = avwatch.get_ffprobe_info(args.uri, *ids)
    except FileNotFoundError as error:
        # The chain vanished between the check and the start.
        raise Failure(f"cannot start the prober: {error}", MISSING_PROGRAM) from None
    print(json.dumps(record))
    if record["vcodec"] or record["acodec"]:
        if args.uri.startswith("udp") and (lost := missing_streams(args.uri, record, *ids)):
            sys.stdout.flush()
            print(f"avwatch: warning: {lost}", file=sys.stderr)
        return OK
    sys.stdout.flush()  # the record first, then the seconds spent finding out why
    what = "no usable answer" if not any(record.values()) else "no audio or video stream kept"
    reason = explain(args.uri, *ids)
    print(f"avwatch: {what} from ffprobe for {args.uri}: {reason}" + _udp_hint(args, reason), file=sys.stderr)
    return FAILED


def _udp_hint(args, reason: str) -> str:
    # Only for a source that sent nothing: where ffprobe gave a reason or
    # found streams, the reason says what to do.
    if (args.uri.startswith("udp") and not (args.program and (args.video or args.audio))
            and reason.startswith("no data within")):
        return "; a udp:// probe keeps only the streams of --program whose PIDs match --video or --audio"
    return ""
