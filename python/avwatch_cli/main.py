"""Entry point of the avwatch command."""

import argparse
import logging
import sys
from importlib import metadata

from avwatch_cli import monitor, probe
from avwatch_cli.analyze import command as analyze
from avwatch_cli.host import command as host
from avwatch_cli.serve import command as serve
from avwatch_cli.failures import FAILED, INTERRUPTED, Failure

EXIT_STATUSES = """exit status:
  0    done (probe answered; monitors ended because the channel stopped)
  1    a monitor failed, or the probe got no usable answer
  2    bad arguments, Redis URL, password or database
  3    nice, cpulimit or ffprobe missing from PATH
  4    Redis unreachable
  5    channel record missing or unusable
  130  stopped by Ctrl-C or SIGTERM
"""


def version() -> str:
    try:
        return metadata.version("avwatch")
    except metadata.PackageNotFoundError:  # run from a checkout, not installed
        return "unknown (not installed)"


class CommandParser(argparse.ArgumentParser):
    """A command's parser: -v is accepted after the command too."""

    def __init__(self, **options):
        super().__init__(**options)
        # SUPPRESS: a default here would overwrite a -v given before the command.
        self.add_argument("-v", "--verbose", action="store_true", default=argparse.SUPPRESS,
                          help="log debug messages and tracebacks")


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="avwatch", description="Watch the input and output of live-streaming channels.",
        epilog=EXIT_STATUSES, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version=f"%(prog)s {version()}")
    parser.add_argument("-v", "--verbose", action="store_true", help="log debug messages and tracebacks")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND",
                                     parser_class=CommandParser)
    probe.add_parser(commands)
    monitor.add_parser(commands)
    serve.add_parser(commands)
    analyze.add_parser(commands)
    host.add_parser(commands)
    return parser


def main(argv=None) -> int:
    args = build_parser().parse_args(argv)
    logging.basicConfig(stream=sys.stderr, level=logging.DEBUG if args.verbose else logging.INFO,
                        format="%(asctime)s %(levelname)s %(threadName)s: %(message)s")
    if args.command == "monitor":
        monitor.install_termination_handler()
    try:
        return args.run(args)
    except Failure as failure:
        print(f"avwatch: {failure}", file=sys.stderr)
        return failure.status
    except KeyboardInterrupt:
        return INTERRUPTED
    except Exception as error:
        # An error of the module itself (for example malformed prober data).
        logging.debug("traceback", exc_info=True)
        print(f"avwatch: {args.command} failed: {type(error).__name__}: {error}", file=sys.stderr)
        return FAILED
