"""The analyser against what a relay forwarded: ffmpeg's constant-rate TS
sent over loopback with chosen faults, the expected counts computed by the
relay from the datagrams it actually sent."""

from __future__ import annotations

import random

import pytest

from relay_run import run_through_relay
from relay import Faults, Truth

pytest.importorskip("avwatch_analysis")

VIDEO, AUDIO, PMT = 0x100, 0x101, 0x1000


def full_windows(reports, relay):
    """Reports of windows the relay sent through from start to end."""
    first, last = relay.truth.sends[0][0], relay.truth.sends[-1][0]
    return [r for r in reports if r["window_start"] > first + 0.05 and r["window_end"] < last - 0.05]


@pytest.mark.parametrize("rate", [2_000_000, 6_000_000])
def test_clean_stream_rate_within_one_percent_of_what_was_sent(ts_files, rate):
    relay, reports, service = run_through_relay(ts_files[rate], rate, Faults())
    windows = full_windows(reports, relay)
    assert len(windows) >= 3
    for report in windows:
        sent = relay.truth.rate_between(report["window_start"], report["window_end"])
        assert report["bitrate"] == pytest.approx(sent, rel=0.01)
    # A loaded machine (the sanitizer pass) delays the relay within a window,
    # so what was sent is held to the mux rate over the whole run.
    sends = relay.truth.sends
    average = relay.truth.rate_between(sends[0][0], sends[-1][0])
    assert average == pytest.approx(rate, rel=0.01)
    final = reports[-1]
    assert (final["continuity_errors"], final["packets"], final["bytes"]) == (
        0, relay.truth.packets, relay.truth.bytes)
    assert final["programs"][0]["streams"] == [
        {"pid": VIDEO, "stream_type": 0x1B, "codec": "h264", "kind": "video"},
        {"pid": AUDIO, "stream_type": 0x0F, "codec": "aac", "kind": "audio"}]
    # The packet socket took nothing from the port's own receiver.
    assert service.received == relay.truth.datagrams
    # ffmpeg's clock is sound whatever the host's load did to the arrivals:
    # PCRs are judged on their own values, and this constant-rate stream's
    # accuracy is measured.
    assert (final["pcr_repetition_errors"], final["pcr_discontinuity_errors"], final["pcr_accuracy_errors"]) == (
        0, 0, 0)
    assert any(r["pcr_accuracy_ns"] is not None for r in windows)


@pytest.mark.parametrize("faults", [
    Faults(drop=0.01, seed=1),
    Faults(drop=0.03, duplicate=0.02, seed=2),
    Faults(reorder=0.02, transport_error=0.01, seed=3),
    Faults(drop=0.01, reorder=0.01, rtp=True, seed=4),
], ids=["1% dropped", "dropped and duplicated", "reordered, transport errors", "rtp, dropped and reordered"])
def test_continuity_errors_exactly_as_forwarded(ts_files, faults):
    rate = 6_000_000
    relay, reports, _ = run_through_relay(ts_files[rate], rate, faults, uri_scheme="rtp" if faults.rtp else "udp")
    final = reports[-1]
    truth = relay.truth
    assert truth.continuity_errors > 0 or faults.drop == 0
    assert (final["continuity_errors"], final["transport_errors"], final["packets"]) == (
        truth.continuity_errors, truth.transport_errors, truth.packets)
    if faults.rtp:
        assert final["rtp"] and final["rtp_lost"] == truth.rtp_lost
    # Packets the network lost, repeated or moved are no fault of the encoder's clock.
    assert final["pcr_accuracy_errors"] == 0
    # The rate counts what arrived: within 1% of what was forwarded.
    for report in full_windows(reports, relay):
        assert report["bitrate"] == pytest.approx(relay.truth.rate_between(report["window_start"],
                                                                           report["window_end"]), rel=0.01)


@pytest.mark.parametrize("faults, counter, flag", [
    (Faults(strip_pids=(0,), strip_between=(2.0, 4.0)), "pat_errors", "pat_present"),
    (Faults(strip_pids=(PMT,), strip_between=(2.0, 4.0)), "pmt_errors", "pmt_present"),
    (Faults(strip_pids=(AUDIO,), strip_between=(2.0, 4.0)), "pid_errors", None),
    (Faults(break_sync_between=(2.0, 2.5)), "sync_losses", "in_sync"),
], ids=["PAT removed", "PMT removed", "audio removed", "sync bytes broken"])
def test_each_fault_gives_its_indicator(ts_files, faults, counter, flag):
    rate = 2_000_000
    relay, reports, _ = run_through_relay(ts_files[rate], rate, faults)
    start = relay.truth.sends[0][0]
    before = [r for r in reports if r["window_end"] < start + 1.9]
    during = [r for r in reports if start + 2.6 < r["window_end"] < start + 3.9]
    assert before and during
    assert all(r[counter] == 0 for r in before)
    assert reports[-1][counter] >= 1
    if flag:
        assert all(r[flag] for r in before[1:]) and not any(r[flag] for r in during if counter != "sync_losses")
    if counter == "sync_losses":
        assert reports[-1]["sync_byte_errors"] == relay.truth.sync_byte_errors
        assert reports[-1]["continuity_errors"] == relay.truth.continuity_errors


def test_a_two_second_silence_is_the_longest_gap(ts_files):
    rate = 2_000_000
    relay, reports, _ = run_through_relay(ts_files[rate], rate, Faults(silent_between=(2.0, 4.0)))
    times = [at for at, _ in relay.truth.sends]
    sent_gap = max(b - a for a, b in zip(times, times[1:]))
    assert sent_gap == pytest.approx(2.0, abs=0.25)  # the relay may send late under load; what it sent is the truth
    assert reports[-1]["longest_gap"] == pytest.approx(sent_gap, abs=0.02)
    assert max(r["window_longest_gap"] for r in reports) >= 0.9
    assert reports[-1]["pat_errors"] == reports[-1]["pmt_errors"] == 0


def packets_of(ts: bytes) -> list[bytes]:
    return [ts[i:i + 188] for i in range(0, len(ts) // 188 * 188, 188)]


def payload_on(p: bytes, pid: int | None = None) -> bool:
    number = (p[1] & 0x1F) << 8 | p[2]
    return bool(p[3] & 0x10) and number != 0x1FFF and (pid is None or number == pid)


def fifteen_video_packets_dropped(packets, chance):
    # Fifteen in a row, none of the PCR-only packets between them.
    video = [i for i, p in enumerate(packets) if payload_on(p, VIDEO)]
    first = next(k for k in range(1000, len(video)) if all(
        payload_on(packets[i]) or (packets[i][1] & 0x1F) << 8 | packets[i][2] != VIDEO
        for i in range(video[k], video[k + 15])))
    gone = set(video[first:first + 15])
    return [p for i, p in enumerate(packets) if i not in gone], 15


def grouped(packets):
    return [packets[i:i + 7] for i in range(0, len(packets) // 7 * 7, 7)]


def swapped(groups, chance, count=10):
    # Pairs of neighbouring datagrams, each with a video packet, sent the other way round.
    pairs = [i for i in range(0, len(groups) - 1, 3) if all(any(payload_on(p, VIDEO) for p in groups[j])
                                                             for j in (i, i + 1))]
    for i in chance.sample(pairs, count):
        groups[i], groups[i + 1] = groups[i + 1], groups[i]
    return groups


def datagrams_swapped(packets, chance):
    return [p for group in swapped(grouped(packets), chance) for p in group], 0


def datagrams_dropped_and_swapped(packets, chance):
    # Apart from each other: a counter of 16 values cannot tell a loss next
    # to a reordering of seven packets a datagram from a later one.
    groups = grouped(packets)
    places = chance.sample(range(10, len(groups) - 10, 6), 30)
    gone = set(places[:20])
    for i in places[20:]:
        groups[i], groups[i + 1] = groups[i + 1], groups[i]
    lost = sum(1 for j in gone for p in groups[j] if payload_on(p))
    return [p for j, group in enumerate(groups) if j not in gone for p in group], lost


@pytest.mark.parametrize("fault", [fifteen_video_packets_dropped, datagrams_swapped, datagrams_dropped_and_swapped])
def test_losses_apart_from_reordering_in_ffmpeg_ts(ts_files, fault):
    import avwatch_analysis

    packets, lost = fault(packets_of(ts_files[6_000_000]), random.Random(5))
    truth = Truth()
    analyser = avwatch_analysis.Analyser()
    step = 7 * 188 * 8 / 6_000_000
    for i, group in enumerate(grouped(packets)):
        payload = b"".join(group)
        truth.observe(payload, i * step)
        analyser.datagram(payload, i * step)
    report = analyser.close_window(len(packets) / 7 * step)
    assert (report["continuity_errors"], report["lost_packets"]) == (truth.continuity_errors, lost)
    assert (report["reordered_packets"] > 0) == (fault is not fifteen_video_packets_dropped)


def test_scrambled_audio_without_a_cat(ts_files):
    import avwatch_analysis

    analyser = avwatch_analysis.Analyser()
    audio = 0
    step = 7 * 188 * 8 / 6_000_000
    for i, group in enumerate(grouped(packets_of(ts_files[6_000_000]))):
        for n, p in enumerate(group):
            if (p[1] & 0x1F) << 8 | p[2] == AUDIO:
                group[n] = p[:3] + bytes([p[3] | 0x80]) + p[4:]
                audio += 1
        analyser.datagram(b"".join(group), i * step)
    report = analyser.close_window(i * step)
    assert report["scrambled_packets"] == audio > 0
    assert [entry["scrambled"] for entry in report["pids"] if entry["pid"] == AUDIO] == [audio]
    assert report["cat_errors"] >= 5  # about one per 0.5 s of 6 s, as audio comes in bursts
    assert report["continuity_errors"] == 0
