#!/usr/bin/env python3
"""The demo's lossy link: forwards UDP datagrams from one loopback port to
another, dropping a share of them during a chosen span, so that the
analyser has continuity errors to count and the probe has nothing to see.

    demo_relay.py LISTEN_PORT TARGET_PORT DROP_FROM DROP_UNTIL SHARE

DROP_FROM and DROP_UNTIL are seconds after the start; SHARE is 0..1."""

import random
import socket
import sys
import time


def main(argv: list[str]) -> int:
    listen, target = int(argv[1]), int(argv[2])
    drop_from, drop_until, share = float(argv[3]), float(argv[4]), float(argv[5])
    receiver = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    receiver.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
    receiver.bind(("127.0.0.1", listen))
    sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    chance = random.Random(1)
    start = time.monotonic()
    dropped = 0
    while True:
        datagram = receiver.recv(65536)
        at = time.monotonic() - start
        if drop_from <= at < drop_until and chance.random() < share:
            dropped += 1
            continue
        if dropped and at >= drop_until:
            print(f"dropped {dropped} datagrams", flush=True)
            dropped = 0
        sender.sendto(datagram, ("127.0.0.1", target))


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv))
    except KeyboardInterrupt:
        sys.exit(0)
