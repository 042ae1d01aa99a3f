"""Unicast inputs share their process's packet socket: through the real
kernel, each watch still gets exactly the datagrams a socket of its own
would have got, while others come and go, in this process or in others."""

from __future__ import annotations

import json
import os
import signal
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

avwatch_analysis = pytest.importorskip("avwatch_analysis")

from relay import free_port  # noqa: E402
from ts_builder import datagrams, packet  # noqa: E402

WINDOW = 0.2


def tagged(pid: int, count: int) -> list[bytes]:
    """`count` datagrams of one PID, continuity counters in order."""
    return datagrams([packet(pid, cc) for cc in range(count * 7)])


def send(payloads: list[tuple[str, int, bytes]], pause: float = 0.001) -> float:
    """Sends (address, port, payload) in turn; the monotonic time after the last."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
        for address, port, payload in payloads:
            sender.sendto(payload, (address, port))
            time.sleep(pause)
    return time.monotonic()


def interleave(*streams: list[tuple[str, int, bytes]]) -> list[tuple[str, int, bytes]]:
    return [item for group in zip(*streams) for item in group]


def totals(watch, sent_until: float) -> tuple[dict[int, int], int]:
    """Packets per PID and continuity errors over the watch's life, from the
    first report that closed after `sent_until`."""
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        report = watch.next_report(1.0)
        if report is not None and report["window_end"] > sent_until + 0.1:
            return {pid["pid"]: pid["packets"] for pid in report["pids"]}, report["continuity_errors"]
    raise AssertionError("no report after the datagrams were sent")


def open_watch(uri: str):
    try:
        return avwatch_analysis.Watch(uri, window=WINDOW)
    except PermissionError as error:
        pytest.skip(str(error))


def open_fds() -> int:
    return len(os.listdir("/proc/self/fd"))


@pytest.mark.parametrize("uris, sends, expected", [
    # Different ports: each its own.
    (["udp://127.0.0.1:{a}", "udp://127.0.0.1:{b}"],
     [("127.0.0.1", "a", 0x101), ("127.0.0.1", "b", 0x102)],
     [{0x101}, {0x102}]),
    # One port: by address, and every address.
    (["udp://127.0.0.1:{a}", "udp://127.0.0.2:{a}", "udp://:{a}"],
     [("127.0.0.1", "a", 0x101), ("127.0.0.2", "a", 0x102)],
     [{0x101}, {0x102}, {0x101, 0x102}]),
    # The same input watched twice: both get everything.
    (["rtp://127.0.0.1:{a}", "udp://127.0.0.1:{a}"],
     [("127.0.0.1", "a", 0x101)],
     [{0x101}, {0x101}]),
], ids=["ports", "addresses", "twice"])
def test_each_watch_gets_exactly_its_own_datagrams(uris, sends, expected):
    ports = {"a": free_port(), "b": free_port()}
    count = 150
    before = open_fds()
    watches = [open_watch(uri.format(**ports)) for uri in uris]
    try:
        assert all(watch.method == "packet socket" for watch in watches)
        sent_until = send(interleave(*[[(address, ports[port], payload) for payload in tagged(pid, count)]
                                       for address, port, pid in sends]))
        for watch, pids in zip(watches, expected):
            packets, errors = totals(watch, sent_until)
            assert packets == {pid: count * 7 for pid in pids}
            assert errors == 0
    finally:
        for watch in watches:
            watch.close()
    assert open_fds() == before  # the shared socket closes with its last watch


def test_many_inputs_in_one_process_each_get_their_own():
    """Enough ports that the shared filter searches them; every watch gets
    its own datagrams only, as the ports come in any order."""
    ports = sorted({free_port() for _ in range(40)}, key=lambda port: (port * 7919) % 65521)
    count = 20
    watches = [open_watch(f"udp://127.0.0.1:{port}") for port in ports]
    try:
        streams = [[("127.0.0.1", port, payload) for payload in tagged(0x100 + i, count)]
                   for i, port in enumerate(ports)]
        sent_until = send(interleave(*streams), pause=0.0002)
        for i, watch in enumerate(watches):
            assert totals(watch, sent_until) == ({0x100 + i: count * 7}, 0)
    finally:
        for watch in watches:
            watch.close()


def test_a_watch_opened_late_gets_nothing_from_before():
    """The shared socket may still hold datagrams of a port for one watch
    when a second watch of the port opens: they are not the second's."""
    port = free_port()
    first, second = tagged(0x101, 40), tagged(0x101, 80)[40:]
    with open_watch(f"udp://127.0.0.1:{port}") as early:
        send([("127.0.0.1", port, payload) for payload in first], pause=0)
        with open_watch(f"udp://127.0.0.1:{port}") as late:
            sent_until = send([("127.0.0.1", port, payload) for payload in second])
            assert totals(late, sent_until)[0] == {0x101: 40 * 7}
        assert totals(early, sent_until) == ({0x101: 80 * 7}, 0)


def test_watches_added_and_removed_while_traffic_flows():
    """One watch counts every datagram of a stream while others of its port
    and of another port open and close beside it (each changes the shared
    socket's filter)."""
    port, other = free_port(), free_port()
    count = 600
    stream = [("127.0.0.1", port, payload) for payload in tagged(0x101, count)]
    noise = [("127.0.0.1", other, payload) for payload in tagged(0x102, count)]
    stopping = threading.Event()
    churned = []

    def churn() -> None:
        while not stopping.is_set():
            for uri in (f"udp://127.0.0.1:{other}", f"udp://127.0.0.1:{port}", f"udp://:{free_port()}"):
                watch = avwatch_analysis.Watch(uri, window=WINDOW)
                time.sleep(0.02)
                watch.close()
                churned.append(uri)

    with open_watch(f"udp://127.0.0.1:{port}") as watch:
        thread = threading.Thread(target=churn)
        thread.start()
        try:
            sent_until = send(interleave(stream, noise))
        finally:
            stopping.set()
            thread.join()
        packets, errors = totals(watch, sent_until)
    assert len(churned) >= 10
    assert packets == {0x101: count * 7} and errors == 0


def last_report(watch, sent_until: float) -> dict:
    """The first report that closed after `sent_until` (reports carry totals)."""
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        report = watch.next_report(1.0)
        if report is not None and report["window_end"] > sent_until + 0.1:
            return report
    raise AssertionError("no report after the datagrams were sent")


@pytest.mark.parametrize("per_datagram, count, pause", [
    (7, 1500, 0.001),
    (348, 300, 0.003),  # 65,424 bytes of TS: the largest datagram a block holds
    (7, 60000, 0),  # unpaced: replaced while it overflows
], ids=["7 packets", "348 packets", "unpaced"])
def test_inputs_opened_under_traffic_take_nothing_twice(per_datagram, count, pause):
    """Watches opened one by one while a stream flows make the shared
    socket's ring grow several times (a socket with a larger ring takes
    over from the old one): the first watch counts every datagram once,
    those opened meanwhile what came after them, none twice or out of
    order.  What the ring could not hold counts as the receive drops of
    each, never as loss."""
    port = free_port()
    uri = f"udp://127.0.0.1:{port}"
    payloads = datagrams([packet(0x101, cc) for cc in range(count * per_datagram)], per_datagram)
    opened = []

    def open_more() -> None:
        for _ in range(20):
            opened.append(avwatch_analysis.Watch(uri, window=WINDOW))
            time.sleep(0.02)

    first = open_watch(uri)
    watches = [first]
    try:
        thread = threading.Thread(target=open_more)
        thread.start()
        try:
            sent_until = send([("127.0.0.1", port, payload) for payload in payloads], pause=pause)
        finally:
            thread.join()
        watches += opened
        assert len(opened) == 20
        reports = [last_report(watch, sent_until) for watch in watches]
    finally:
        for watch in watches:
            watch.close()
    assert reports[0]["datagrams"] + reports[0]["receive_drops"] == count, reports[0]
    assert reports[0]["packets"] == reports[0]["datagrams"] * per_datagram, reports[0]
    for report in reports:
        assert report["continuity_errors"] == 0 and report["lost_packets"] == 0, report
        assert report["datagrams"] + report["receive_drops"] <= count, report


@pytest.mark.parametrize("before_end", [0.005, 0.015], ids=["5 ms", "15 ms"])
def test_a_window_holds_what_arrived_just_before_its_end(before_end):
    """Datagrams that arrive just before a window ends are in that window's
    report, though the shared socket hands them over only later (when is
    the kernel's timer's to say: a few windows are tried)."""
    port = free_port()
    burst = [("127.0.0.1", port, payload) for payload in tagged(0x101, 5)]
    in_time = 0
    with open_watch(f"udp://127.0.0.1:{port}") as watch:
        report = watch.next_report(2.0)
        for _ in range(3):
            end = report["window_end"] + 2 * WINDOW
            time.sleep(max(0.0, end - before_end - time.monotonic()))
            sent = send(burst, pause=0)
            while (report := watch.next_report(2.0)) is not None and report["window_end"] < end - WINDOW / 2:
                pass
            assert report is not None
            if sent < end:  # else the machine was too slow to send in time
                assert report["window"]["datagrams"] == len(burst), report["window"]
                in_time += 1
    if in_time == 0:
        pytest.skip("the machine never sent the burst within a window")


# A process watching one input until stdin closes, then printing the
# packets per PID of its newest report (reports carry totals).
CHILD = """
import json, sys, time
import avwatch_analysis
watch = avwatch_analysis.Watch(sys.argv[1], window=0.2)
print("ready", flush=True)
sys.stdin.read()
until = time.monotonic()
while (report := watch.next_report(2.0))["window_end"] <= until:
    pass
print(json.dumps({pid["pid"]: pid["packets"] for pid in report["pids"]}), flush=True)
"""


def test_a_watching_process_killed_leaves_the_others_receiving():
    """Processes watch inputs as deployed, one each; one killed with SIGKILL
    mid-stream takes nothing away from the others."""
    ports = [free_port() for _ in range(3)]
    children = [subprocess.Popen([sys.executable, "-c", CHILD, f"udp://127.0.0.1:{port}"], stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE, text=True, cwd=Path(__file__).parent) for port in ports]
    try:
        for child in children:
            line = child.stdout.readline().strip()
            if line != "ready":
                pytest.skip("the watching process could not open its watch (CAP_NET_RAW?)")
        count = 300
        streams = [[("127.0.0.1", port, payload) for payload in tagged(0x101 + i, count)]
                   for i, port in enumerate(ports)]
        payloads = interleave(*streams)
        half = len(payloads) // 2
        send(payloads[:half])
        children[1].send_signal(signal.SIGKILL)
        children[1].wait()
        send(payloads[half:])
        time.sleep(0.5)
        results = []
        for child in (children[0], children[2]):
            out, _ = child.communicate(timeout=10)
            results.append(json.loads(out.strip().splitlines()[-1]))
        assert results == [{str(0x101): count * 7}, {str(0x103): count * 7}]
    finally:
        for child in children:
            if child.poll() is None:
                child.kill()
                child.wait()
            for stream in (child.stdin, child.stdout):
                if stream is not None and not stream.closed:
                    stream.close()
