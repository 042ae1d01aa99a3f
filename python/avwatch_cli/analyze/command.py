"""`avwatch analyze`: the analysers run by hand on one target."""

from __future__ import annotations

from avwatch_cli.analyze import hls_command
from avwatch_cli.analyze.hls import is_playlist_path
from avwatch_cli.failures import USAGE, Failure


def add_parser(commands) -> None:
    parser = commands.add_parser(
        "analyze", help="analyse an HLS output (PATH.m3u8) continuously",
        description="Check a media playlist as a player would: one line per check, every half target "
                    "duration, until --seconds have passed or Ctrl-C.")
    parser.add_argument("target", metavar="PATH.m3u8", help="a media playlist")
    parser.add_argument("--master", metavar="PATH", default=None,
                        help="the master playlist listing it: checks its variant and declared BANDWIDTH")
    parser.add_argument("--seconds", type=float, default=None, metavar="S", help="stop after S seconds")
    parser.add_argument("--json", action="store_true", help="one JSON object per line")
    parser.set_defaults(run=run)


def run(args) -> int:
    if is_playlist_path(args.target):
        return hls_command.run(args)
    raise Failure(f"{args.target}: only HLS media playlists (.m3u8) can be analysed", USAGE)
