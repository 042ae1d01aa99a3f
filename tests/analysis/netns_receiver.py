"""Run inside a test's network namespace: watches a URI with the analyser
and, beside it, reads the same port with a plain UDP socket (bound as the
channel service might bind it: without SO_REUSEADDR, after the
analyser started); with a sixth argument, a second URI watched in the same
process ("beside", no plain socket).  Prints "ready", counts until a line on
stdin, then prints the counts as one JSON line."""

from __future__ import annotations

import json
import select
import socket
import sys
import threading
import time

import avwatch_analysis

SO_RCVBUFFORCE = 33  # Linux; not in the socket module


def main() -> None:
    uri, host, port, group, interface = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4], sys.argv[5]
    beside_uri = sys.argv[6] if len(sys.argv) > 6 else ""
    watch = avwatch_analysis.Watch(uri)
    beside = avwatch_analysis.Watch(beside_uri) if beside_uri else None
    plain = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)  # no SO_REUSEADDR, bound after the analyser
    plain.setsockopt(socket.SOL_SOCKET, SO_RCVBUFFORCE, 32 << 20)
    plain.bind((host, port))
    if group:
        plain.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                         socket.inet_aton(group) + socket.inet_aton(interface))
    counts = {"datagrams": 0, "bytes": 0}
    stop = threading.Event()

    def read() -> None:
        while not stop.is_set():
            if select.select([plain], [], [], 0.1)[0]:
                data = plain.recv(65536)
                counts["datagrams"] += 1
                counts["bytes"] += len(data)

    reader = threading.Thread(target=read)
    reader.start()
    print("ready", flush=True)
    sys.stdin.readline()
    time.sleep(0.5)
    stop.set()
    reader.join()
    # The first window that opened after the last datagram holds the totals of all.
    settled = time.monotonic()
    keys = ("datagrams", "bytes", "packets", "continuity_errors", "lost_packets", "receive_drops",
            "rtp_lost", "pcr_repetition_errors", "pat_errors", "longest_gap")
    result = {"socket": counts, "method": watch.method}
    for name, watched in (("analyser", watch), ("beside", beside)):
        if watched is None:
            continue
        report = None
        deadline = settled + 5
        while time.monotonic() < deadline and (report is None or report["window_start"] < settled):
            report = watched.next_report(0.5) or report
        watched.close()
        result[name] = {key: report.get(key) for key in keys} if report else None
    plain.close()
    print(json.dumps(result), flush=True)


if __name__ == "__main__":
    main()
