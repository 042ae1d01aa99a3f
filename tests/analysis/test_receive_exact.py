"""The analyser counts what a socket bound to the input's address and port
gets, through the kernel's own sockets: a network namespace with a veth
pair, the analyser and a plain socket on the port inside it (the plain one
bound after the analyser, without SO_REUSEADDR), traffic sent from outside."""

from __future__ import annotations

import ipaddress
import json
import os
import secrets
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import threading
import time
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from pathlib import Path

import pytest

pytest.importorskip("avwatch_analysis")

from ts_builder import Stream, datagrams, rtp  # noqa: E402

HERE = Path(__file__).resolve().parent
PORT = 5004
GROUP = "239.255.42.42"
UNJOINED = "239.255.42.43"
OTHER_MAC = "02:00:5e:00:00:09"


def ip(*args: str) -> None:
    subprocess.run(["ip", *args], check=True, capture_output=True, text=True, timeout=30)


@dataclass
class Link:
    """A namespace reached through a veth pair from the test's own one."""
    namespace: str
    outer: str
    inner: str
    outer_address: str
    inner_address: str
    other_host: str  # on the link, another machine's (a MAC that is not the inner end's)
    stranger: str    # sent to the inner end's MAC, but not its address
    broadcast: str
    inner_mac: str = ""

    def mtu(self, value: int) -> None:
        ip("link", "set", self.outer, "mtu", str(value))
        ip("-n", self.namespace, "link", "set", self.inner, "mtu", str(value))

    def in_namespace(self, make: Callable[[], socket.socket]) -> socket.socket:
        """A socket made inside the namespace (by a thread that enters it)."""
        made: list[socket.socket] = []

        def enter() -> None:
            with open(f"/var/run/netns/{self.namespace}") as handle:
                os.setns(handle.fileno(), os.CLONE_NEWNET)
            made.append(make())

        thread = threading.Thread(target=enter)
        thread.start()
        thread.join()
        return made[0]


@pytest.fixture(scope="module")
def link() -> Iterator[Link]:
    if os.geteuid() != 0 or shutil.which("ip") is None:
        pytest.skip("needs root (CAP_NET_ADMIN) and iproute2 to make a network namespace")
    # Names and a /29 of the benchmarking range 198.18.0.0/15 of this run's
    # own (the pid and a random tag: tests run in PID namespaces of their own).
    tag = secrets.randbelow(16384)
    run = f"{os.getpid() % 1000}x{tag}"
    block = ipaddress.ip_network("198.18.0.0/15").network_address + tag * 8
    names = dict(namespace=f"avw-rx-{run}", outer=f"avwo{run}", inner=f"avwi{run}")
    addresses = {name: str(block + offset) for name, offset in
                 (("outer_address", 1), ("inner_address", 2), ("other_host", 5), ("stranger", 6), ("broadcast", 7))}
    made = Link(**names, **addresses)
    try:
        ip("netns", "add", made.namespace)
    except subprocess.CalledProcessError as error:
        pytest.skip(f"cannot make a network namespace: {error.stderr.strip()}")
    try:
        ip("link", "add", made.outer, "type", "veth", "peer", "name", made.inner, "netns", made.namespace)
        ip("addr", "add", f"{made.outer_address}/29", "broadcast", made.broadcast, "dev", made.outer)
        ip("link", "set", made.outer, "up")
        ip("-n", made.namespace, "addr", "add", f"{made.inner_address}/29", "broadcast", made.broadcast,
           "dev", made.inner)
        ip("-n", made.namespace, "link", "set", made.inner, "up", "promisc", "on")
        ip("-n", made.namespace, "link", "set", "lo", "up")
        shown = subprocess.run(["ip", "-n", made.namespace, "-j", "link", "show", made.inner], check=True,
                               capture_output=True, text=True, timeout=30).stdout
        made.inner_mac = json.loads(shown)[0]["address"]
        ip("neigh", "replace", made.other_host, "lladdr", OTHER_MAC, "dev", made.outer)
        ip("neigh", "replace", made.stranger, "lladdr", made.inner_mac, "dev", made.outer)
        yield made
    finally:
        subprocess.run(["ip", "netns", "del", made.namespace], capture_output=True, timeout=30)  # the pair goes too


class Receiver:
    """netns_receiver.py in the namespace."""

    def __init__(self, link: Link, uri: str, host: str, group: str = "", interface: str = "", beside: str = ""):
        self.process = subprocess.Popen(
            ["ip", "netns", "exec", link.namespace, sys.executable, str(HERE / "netns_receiver.py"), uri, host,
             str(PORT), group, interface, *([beside] if beside else [])],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd=HERE)
        ready = select.select([self.process.stdout], [], [], 20)[0] and self.process.stdout.readline()
        if ready != "ready\n":
            self.process.kill()
            error = self.process.stderr.read()[-2000:]
            self.close()
            pytest.fail(f"the receiver did not start: {error}")

    def result(self) -> dict:
        out, err = self.process.communicate("stop\n", timeout=30)
        assert self.process.returncode == 0, err[-2000:]
        return json.loads(out.splitlines()[-1])

    def close(self) -> None:
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        for stream in (self.process.stdin, self.process.stdout, self.process.stderr):
            stream.close()


def checksum(data: bytes) -> int:
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack(f"!{len(data) // 2}H", data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def ip_udp(source: str, destination: str, payload: bytes, *, bad_checksum: bool = False) -> bytes:
    """An IPv4/UDP packet as the kernel would send it, or with a wrong UDP checksum."""
    src, dst = socket.inet_aton(source), socket.inet_aton(destination)
    length = 8 + len(payload)
    pseudo = src + dst + struct.pack("!BBH", 0, 17, length)
    udp_sum = checksum(pseudo + struct.pack("!HHHH", 40000, PORT, length, 0) + payload) or 0xFFFF
    udp = struct.pack("!HHHH", 40000, PORT, length, udp_sum ^ (0x0101 if bad_checksum else 0)) + payload
    header = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), 1, 0x4000, 64, 17, 0, src, dst)
    return header[:10] + struct.pack("!H", checksum(header)) + header[12:] + udp


def fragments(source: str, destination: str, payload: bytes, ident: int,
              cuts: list[tuple[int, int, bool]]) -> list[bytes]:
    """The UDP datagram's bytes from `begin` to `end` for each cut, as IPv4
    fragments; the one with the datagram's last byte, or marked, is last."""
    whole = ip_udp(source, destination, payload)[20:]
    out = []
    for begin, end, last in cuts:
        end = min(end, len(whole))
        more = 0x2000 if end < len(whole) and not last else 0
        header = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + end - begin, ident, more | begin // 8, 64, 17, 0,
                             socket.inet_aton(source), socket.inet_aton(destination))
        out.append(header[:10] + struct.pack("!H", checksum(header)) + header[12:] + whole[begin:end])
    return out


def stream_payloads(count: int, per_datagram: int = 7) -> list[bytes]:
    stream = Stream()
    return datagrams(stream.tables() + stream.media(count * per_datagram - 2), per_datagram)


def udp_sender(source: str) -> socket.socket:
    sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sender.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    sender.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(source))
    sender.bind((source, 0))
    return sender


def paced(send: Callable[[bytes], object], payloads: list[bytes], per_tenth: int = 200) -> None:
    """Sent at most `per_tenth` every 0.1 s: the link's own queue must not overflow."""
    for i, payload in enumerate(payloads):
        send(payload)
        if i % per_tenth == per_tenth - 1:
            time.sleep(0.1)


def send_bad_checksums(link: Link) -> int:
    """Good datagrams with bad-checksum copies between them, over the veth
    (a packet socket on the outer end) and from inside over lo (a raw
    socket): the port's socket gets only the good ones."""
    payloads = stream_payloads(60)
    frames = socket.socket(socket.AF_PACKET, socket.SOCK_DGRAM)
    raw = link.in_namespace(lambda: socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_RAW))
    mac = bytes.fromhex(link.inner_mac.replace(":", ""))
    try:
        for i, payload in enumerate(payloads):
            if i % 2:
                packet = ip_udp(link.outer_address, link.inner_address, payload)
                frames.sendto(packet, (link.outer, 0x0800, 0, 0, mac))
                frames.sendto(ip_udp(link.outer_address, link.inner_address, payload, bad_checksum=True),
                              (link.outer, 0x0800, 0, 0, mac))
            else:
                raw.sendto(ip_udp(link.inner_address, link.inner_address, payload), (link.inner_address, 0))
                raw.sendto(ip_udp(link.inner_address, link.inner_address, payload, bad_checksum=True),
                           (link.inner_address, 0))
    finally:
        frames.close()
        raw.close()
    return len(payloads)


def send_fragmented(link: Link) -> int:
    """15-packet datagrams (2,828 bytes with the UDP header) over a 1,500-byte MTU: two fragments each."""
    payloads = stream_payloads(80, per_datagram=15)
    sender = udp_sender(link.outer_address)
    try:
        paced(lambda p: sender.sendto(p, (link.inner_address, PORT)), payloads)
    finally:
        sender.close()
    return len(payloads)


# Fragment cuts (byte offsets into a 2,828-byte UDP datagram) and whether the kernel delivers it.
HOSTILE = [
    ([(0, 1480), (1480, 9999)], True),                             # in order
    ([(1480, 9999), (0, 1480)], True),                             # last first
    ([(0, 1000), (1000, 2000), (1000, 2000), (2000, 9999)], True),  # a repeat
    ([(0, 1400), (800, 1200), (1400, 9999)], True),                # a repeat of bytes within another
    ([(0, 1400), (1000, 2400), (2400, 9999)], False),              # overlapping
    ([(0, 1000), (2000, 9999)], False),                            # a fragment lost
    ([(1400, 9999), (1400, 2000, True), (0, 1400)], False),        # two ends
]


def send_hostile_fragments(link: Link) -> int:
    """Fragments in the orders, repeats and overlaps of HOSTILE, through a
    packet socket on the outer end: what the kernel delivers is counted."""
    good = iter(stream_payloads(len(HOSTILE) * 5, per_datagram=15))
    frames = socket.socket(socket.AF_PACKET, socket.SOCK_DGRAM)
    mac = bytes.fromhex(link.inner_mac.replace(":", ""))
    delivered = 0
    try:
        for round_ in range(5):
            for index, (cuts, delivers) in enumerate(HOSTILE):
                payload = next(good) if delivers else b"\x47" * 2820
                marked = [cut if len(cut) == 3 else (*cut, False) for cut in cuts]
                for frame in fragments(link.outer_address, link.inner_address, payload, 1000 + round_ * 50 + index,
                                       marked):
                    frames.sendto(frame, (link.outer, 0x0800, 0, 0, mac))
                delivered += delivers
    finally:
        frames.close()
    return delivered


def send_fourteen_packets(link: Link) -> int:
    """Datagrams of 14 TS packets (2,632 bytes) over a 9,000-byte MTU, whole."""
    return send_whole_over_jumbo_frames(link, stream_payloads(300, per_datagram=14))


def send_larger_than_a_slot(link: Link) -> int:
    """Over a 9,000-byte MTU, datagrams of 14 TS packets, then of 40 (7,520
    bytes, more than the analyser's first receive slots) in one stream: the
    slots grow when a frame does not fit."""
    stream = Stream()
    payloads = datagrams(stream.tables() + stream.media(100 * 14 - 2), 14) + datagrams(stream.media(200 * 40), 40)
    return send_whole_over_jumbo_frames(link, payloads)


def send_whole_over_jumbo_frames(link: Link, payloads: list[bytes]) -> int:
    link.mtu(9000)
    sender = udp_sender(link.outer_address)
    try:
        paced(lambda p: sender.sendto(p, (link.inner_address, PORT)), payloads)
    finally:
        sender.close()
        link.mtu(1500)
    return len(payloads)


def send_to_everyone(link: Link) -> int:
    """To the port at: the inner address or the subnet's broadcast, and the
    group the port's socket joined (counted: a datagram and its one repeat);
    another host's address and MAC (seen in promiscuous mode), the inner
    MAC with an address that is not the inner end's, a group nobody joined
    (not counted).  One TS packet a datagram, so that the repeat is the
    packet's one allowed repetition."""
    payloads = stream_payloads(40, per_datagram=1)
    sender = udp_sender(link.outer_address)
    try:
        for i, payload in enumerate(payloads):
            counted = link.inner_address if i % 2 else link.broadcast
            for destination in (counted, GROUP, link.other_host, link.stranger, UNJOINED):
                sender.sendto(payload, (destination, PORT))
    finally:
        sender.close()
    return 2 * len(payloads)


def send_to_group(link: Link) -> int:
    payloads = stream_payloads(300)
    sender = udp_sender(link.outer_address)
    try:
        paced(lambda p: sender.sendto(p, (GROUP, PORT)), payloads)
    finally:
        sender.close()
    return len(payloads)


@pytest.mark.parametrize("case, uri, bound, sent_by", [
    ("bad checksum", "udp://{inner}:{port}", "{inner}", send_bad_checksums),
    ("fragments", "udp://{inner}:{port}", "{inner}", send_fragmented),
    ("fragments to any address", "udp://:{port}", "0.0.0.0", send_fragmented),
    ("hostile fragments", "udp://{inner}:{port}", "{inner}", send_hostile_fragments),
    ("14 packets", "udp://{inner}:{port}", "{inner}", send_fourteen_packets),
    ("40 packets", "udp://{inner}:{port}", "{inner}", send_larger_than_a_slot),
    ("other hosts", "udp://:{port}", "0.0.0.0", send_to_everyone),
    ("group", f"udp://{GROUP}:{{port}}?localaddr={{inner}}", "0.0.0.0", send_to_group),
])
def test_the_analyser_counts_what_the_port_receives(link, case, uri, bound, sent_by):
    fill = {"inner": link.inner_address, "port": PORT}
    group = GROUP if case in ("group", "other hosts") else ""
    receiver = Receiver(link, uri.format(**fill), bound.format(**fill), group, link.inner_address)
    try:
        sent = sent_by(link)
        result = receiver.result()
    finally:
        receiver.close()
    analyser, port = result["analyser"], result["socket"]
    # The plain socket, bound after the analyser and without SO_REUSEADDR, got its port and every datagram.
    assert port["datagrams"] == sent, result
    if case == "40 packets":
        # Frames larger than the slots before they grew are the analyser's own
        # drops (a batch at most, where the size changes), never the stream's loss.
        assert analyser["receive_drops"] <= 32, result
        assert analyser["datagrams"] + analyser["receive_drops"] == port["datagrams"], result
    else:
        assert analyser["receive_drops"] == 0, result
        assert (analyser["datagrams"], analyser["bytes"]) == (port["datagrams"], port["bytes"]), result
    assert (analyser["continuity_errors"], analyser["lost_packets"]) == (0, 0), result
    assert result["method"] == ("packet socket + membership" if case == "group" else "packet socket")


@pytest.mark.parametrize("beside", [False, True], ids=["alone", "beside another input"])
@pytest.mark.parametrize("resumed_after", [0.5, 0.0], ids=["stream resumes later", "stream goes on"])
def test_the_analysers_own_drops_are_not_stream_loss(link, beside, resumed_after):
    """The analyser stopped (SIGSTOP) while a clean RTP stream arrives: its
    socket overflows; more of the stream follows once it runs again.  The
    missing datagrams are its own drops, and neither the continuity
    counters nor the RTP sequence numbers blame anything on the stream.
    Beside another input of the same process, on another port, both share
    one socket whose drops cannot be told apart: each input counts all of
    them and resumes after them without blaming its stream.  The stream
    resumes at once, or after the analyser counted the drops."""
    other = PORT + 1
    receiver = Receiver(link, f"udp://{link.inner_address}:{PORT}", link.inner_address,
                        beside=f"udp://{link.inner_address}:{other}" if beside else "")
    count = 12_250 if beside else 24_500
    sends = [(rtp(i & 0xFFFF, payload), PORT) for i, payload in enumerate(stream_payloads(count))]
    if beside:
        others = [(rtp(i & 0xFFFF, payload), other) for i, payload in enumerate(stream_payloads(count))]
        sends = [send for pair in zip(sends, others) for send in pair]
    stopped = 24_000
    sender = udp_sender(link.outer_address)
    send = lambda item: sender.sendto(item[0], (link.inner_address, item[1]))  # noqa: E731
    try:
        receiver.process.send_signal(signal.SIGSTOP)
        try:
            paced(send, sends[:stopped], per_tenth=1000)
        finally:
            receiver.process.send_signal(signal.SIGCONT)
        # Later: the drops are counted before the datagram after them comes,
        # which must still resume after them; at once: it comes first.
        time.sleep(resumed_after)
        paced(send, sends[stopped:])
        result = receiver.result()
    finally:
        sender.close()
        receiver.close()
    analysers = [result["analyser"], *([result["beside"]] if beside else [])]
    for analyser in analysers:
        assert analyser["receive_drops"] > 0, result
        assert (analyser["continuity_errors"], analyser["lost_packets"], analyser["rtp_lost"]) == (0, 0, 0), result
    # Every drop of the shared socket is counted once by each input.
    drops = analysers[0]["receive_drops"]
    assert all(analyser["receive_drops"] == drops for analyser in analysers), result
    assert sum(analyser["datagrams"] for analyser in analysers) + drops == len(sends), result
