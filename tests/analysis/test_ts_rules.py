"""The analyser's indicators on streams built packet by packet, where the
expected count is known exactly."""

from __future__ import annotations

import pytest

avwatch_analysis = pytest.importorskip("avwatch_analysis")

from ts_builder import (Adaptation, Stream, datagrams, packet, pat, pes_start, pmt, psi_packet,  # noqa: E402
                        rtp, section)

PID = 0x100


def report_after(payloads: list[bytes], step: float = 0.001, **settings) -> dict:
    analyser = avwatch_analysis.Analyser(**settings)
    t = 0.0
    for payload in payloads:
        t += step
        analyser.datagram(payload, t)
    return analyser.close_window(t + step)


def media(ccs: list[int | tuple[int, str]]) -> list[bytes]:
    """Payload packets on one PID with these counters; ("dis", n) carries the
    discontinuity indicator, ("af", n) is an adaptation field without payload."""
    out = []
    for cc in ccs:
        if isinstance(cc, tuple):
            kind, value = cc
            if kind == "dis":
                out.append(packet(PID, value, b"x", adaptation=Adaptation(discontinuity=True)))
            else:
                out.append(packet(PID, value, adaptation=Adaptation(), has_payload=False))
        else:
            out.append(packet(PID, cc, b"x"))
    return out


@pytest.mark.parametrize("ccs, errors, lost", [
    ([0, 1, 2, 3], 0, 0),
    ([14, 15, 0, 1], 0, 0),                      # the counter wraps
    ([0, 1, 3, 4], 1, 1),                        # one packet lost
    ([0, 1, 5], 1, 3),
    ([0, 1, 1, 2], 0, 0),                        # one repetition is allowed
    ([0, 1, 1, 1, 2], 1, 0),                     # a third copy is not
    ([0, 2, 1], 2, 0),                           # swapped: both ends break, nothing lost
    ([0, 1, ("dis", 9), 10], 0, 0),              # announced discontinuity
    ([0, ("af", 0), 1], 0, 0),                   # no payload: the counter stays
    ([5], 0, 0),                                 # the first packet sets it
])
def test_continuity_errors(ccs, errors, lost):
    report = report_after([p for p in media(ccs)])
    assert (report["continuity_errors"], report["lost_packets"]) == (errors, lost)
    assert report["pids"][0]["continuity_errors"] == errors


def counted(layout: str) -> list[bytes]:
    """Datagrams on one PID from a layout such as "0 1 | 4 5 | 2 3": "|" parts
    datagrams (without any, one packet each); a number is a payload packet
    with that counter and bytes of its own; "=" repeats the previous packet;
    "Pn" carries a PCR, "=P" repeats it with another PCR value; "An" has an
    adaptation field and no payload, "Dn" the same with the discontinuity
    indicator."""
    groups: list[list[bytes]] = [[]]
    previous = b""
    for index, token in enumerate(layout.split()):
        if token == "|":
            groups.append([])
            continue
        if token == "=":
            made = previous
        elif token == "=P":
            made = previous[:6] + packet(PID, 0, adaptation=Adaptation(pcr=index * 300))[6:12] + previous[12:]
        elif token[0] == "P":
            made = packet(PID, int(token[1:]), bytes([index]) * 9, adaptation=Adaptation(pcr=index * 300))
        elif token[0] in "AD":
            made = packet(PID, int(token[1:]), adaptation=Adaptation(discontinuity=token[0] == "D"),
                          has_payload=False)
        else:
            made = packet(PID, int(token), bytes([index]) * 9)
        if token[0] != "A":
            previous = made
        groups[-1].append(made)
    if len(groups) == 1:
        return groups[0]
    return [b"".join(group) for group in groups]


@pytest.mark.parametrize("layout, errors, lost, reordered", [
    ("0 1 2 = 3", 0, 0, 0),                      # one copy is allowed ...
    ("0 1 2 = = 3", 1, 0, 0),                    # ... a second is not
    ("0 1 P2 =P 3", 0, 0, 0),                    # a copy may carry another PCR
    ("0 1 2 2 3", 1, 15, 0),                     # the same counter with other bytes: 15 lost
    ("0 A0 1", 0, 0, 0),                         # without a payload the counter stays ...
    ("0 A3 1", 2, 0, 0),                         # ... else it breaks, and the next one too
    ("0 1 A0 2", 2, 0, 0),
    ("0 1 D7 8", 0, 0, 0),                       # announced
    ("0 2 1 3", 3, 0, 1),                        # swapped: ahead, back, ahead again
    ("0 3 1 4", 3, 1, 1),                        # 1 came late, 2 never
    ("0 3 1 2 4", 3, 0, 2),
    ("0 1 | 4 5 | 2 3 | 6 7", 3, 0, 2),          # two datagrams swapped
    ("0 1 | 4 5 | 6 | 2 3 | 7", 3, 2, 2),        # later than the next datagram: counted lost, and late
    ("0 3 4 1 5", 3, 2, 1),                      # late after its hole was counted: no new jump
])
def test_continuity_losses_and_reordering(layout, errors, lost, reordered):
    report = report_after(counted(layout))
    assert (report["continuity_errors"], report["lost_packets"], report["reordered_packets"]) == (
        errors, lost, reordered)


@pytest.mark.parametrize("pcr", [False, True])
@pytest.mark.parametrize("at", [6, 11, 12, 100, 187])
def test_a_copy_differs_only_in_the_pcr_field(pcr, at):
    # The same counter again with one byte changed: a copy only within the PCR field.
    first = packet(PID, 1, bytes(range(150)), adaptation=Adaptation(pcr=27_000_000) if pcr else None)
    changed = bytearray(first)
    changed[at] ^= 0x01
    report = report_after([packet(PID, 0, b"a"), first, bytes(changed), packet(PID, 2, b"c")])
    copy = pcr and 6 <= at <= 11
    assert (report["continuity_errors"], report["lost_packets"]) == ((0, 0) if copy else (1, 15))


def test_a_pid_losing_fifteen_packets_has_its_next_payload_read():
    # Two PATs with the same counter: the second one lists another program.
    first = psi_packet(0, 0, pat({1: 0x1000}))
    second = psi_packet(0, 0, pat({2: 0x1001}))
    report = report_after([first, second])
    assert [p["program"] for p in report["programs"]] == [2]
    assert (report["continuity_errors"], report["lost_packets"]) == (1, 15)


def test_a_late_packet_is_not_read_for_its_pcr():
    # Each datagram a payload packet and a PCR-only one after it; the second
    # and third swapped: the PCR of the late one would go back.
    def sent(cc: int) -> bytes:
        return packet(PID, cc, bytes([cc])) + packet(PID, cc, adaptation=Adaptation(pcr=cc * 270_000),
                                                     has_payload=False)
    program = [psi_packet(0, 0, pat({1: 0x1000})) + psi_packet(0x1000, 0, pmt(1, PID, [(0x1B, PID)]))]
    report = report_after(program + [sent(0), sent(2), sent(1), sent(3)])
    assert (report["continuity_errors"], report["lost_packets"], report["reordered_packets"]) == (3, 0, 1)
    assert report["pcr_discontinuity_errors"] == 0


def test_null_packets_and_transport_errors_are_not_continuity_checked():
    packets = [packet(0x1FFF, 0, b""), packet(0x1FFF, 7, b""), packet(PID, 0, b""), packet(PID, 9, b"", tei=True),
               packet(PID, 1, b"")]
    report = report_after(packets)
    assert (report["continuity_errors"], report["transport_errors"]) == (0, 1)


GOOD = packet(PID, 0, b"")


def bad(n: int = 1) -> list[bytes]:
    return [packet(PID, 0, b"", sync=0x00)] * n


@pytest.mark.parametrize("slots, losses, byte_errors, in_sync", [
    ([GOOD] * 5, 0, 0, True),
    ([GOOD] * 4, 0, 0, False),                   # not yet acquired
    ([GOOD] * 5 + bad(1) + [GOOD] * 5, 0, 1, True),
    ([GOOD] * 5 + bad(2), 1, 2, False),
    ([GOOD] * 5 + bad(3) + [GOOD] * 5 + bad(2), 2, 5, False),
    ([GOOD] * 5 + bad(2) + [GOOD] * 5, 1, 2, True),  # regained after five
])
def test_sync_loss_hysteresis(slots, losses, byte_errors, in_sync):
    # One packet a datagram, so that only the sync rule decides.
    report = report_after(slots)
    assert (report["sync_losses"], report["sync_byte_errors"], report["in_sync"]) == (losses, byte_errors, in_sync)


def test_packets_in_a_broken_datagram_count_only_while_in_sync():
    noise = bytes(188) * 3 + GOOD  # one slot of noise that starts with a sync byte
    out_of_sync = report_after([noise])
    assert (out_of_sync["packets"], out_of_sync["sync_byte_errors"]) == (0, 3)
    synced = report_after([GOOD] * 5 + [bytes(188) + GOOD])
    assert synced["packets"] == 6


RTCP = bytes([0x80, 200, 0, 6]) + bytes(24)  # a sender report, 28 bytes


@pytest.mark.parametrize("payload, non_ts, truncated, ts_bytes", [
    (b"hello", 1, 0, 0),                         # non-TS counts once, and has no TS bytes
    (RTCP, 1, 0, 0),
    (GOOD[:100], 0, 1, 100),
    (GOOD * 2 + GOOD[:50], 0, 1, 426),
    (bytes(188) * 7, 0, 0, 1316),                # whole packets with bad sync bytes: TS for the sync rules
    (b"", 0, 0, 0),
])
def test_non_ts_and_truncated_datagrams(payload, non_ts, truncated, ts_bytes):
    report = report_after([payload])
    assert (report["non_ts_datagrams"], report["truncated_packets"], report["bytes"]) == (non_ts, truncated, ts_bytes)
    assert report["datagrams"] == 1


def test_non_ts_datagrams_are_no_data_during_a_silence():
    events = list(timeline(4.0, silence=(1.0, 3.0)))
    events += [(1.0 + i / 10, RTCP) for i in range(20)]
    report = analyse(sorted(events, key=lambda event: event[0]), 4.0)
    assert report["longest_gap"] == pytest.approx(2.01, abs=0.001)
    assert report["pat_errors"] == report["pmt_errors"] == report["pid_errors"] == 0
    assert (report["non_ts_datagrams"], report["bytes"]) == (20, 200 * 7 * 188)


def timeline(seconds: float, *, pat_until: float = 1e9, pmt_until: float = 1e9, audio_until: float = 1e9,
             silence: tuple[float, float] | None = None, pmt_change_at: float | None = None,
             crc_broken_from: float | None = None):
    """Datagrams every 10 ms with tables every 100 ms, from 0 to `seconds`."""
    stream = Stream()
    t = 0.0
    tick = 0
    while t < seconds:
        if silence is None or not silence[0] <= t < silence[1]:
            packets = []
            if tick % 10 == 0:
                if t < pat_until:
                    packets.append(psi_packet(0, stream.next_cc(0), pat({1: Stream.PMT_PID})))
                if t < pmt_until:
                    streams = [(0x1B, Stream.VIDEO), (0x0F, Stream.AUDIO)]
                    if pmt_change_at is not None and t >= pmt_change_at:
                        streams.append((0x0F, 0x102))
                    broken = crc_broken_from is not None and t >= crc_broken_from
                    packets.append(psi_packet(Stream.PMT_PID, stream.next_cc(Stream.PMT_PID),
                                              pmt(1, Stream.VIDEO, streams, bad_crc=broken)))
            for i in range(7 - len(packets)):
                pid = Stream.AUDIO if i == 3 and t < audio_until else Stream.VIDEO
                packets.append(packet(pid, stream.next_cc(pid), b"\x00",
                                      adaptation=Adaptation(pcr=int(t * 27e6)) if i == 0 else None))
            yield t, b"".join(packets)
        tick += 1
        t = round(t + 0.01, 6)


def analyse(events, end: float, **settings) -> dict:
    analyser = avwatch_analysis.Analyser(**settings)
    for t, payload in events:
        analyser.datagram(payload, t)
    return analyser.close_window(end)


def test_clean_stream_lists_its_program_and_measures_its_rate():
    report = analyse(timeline(2.0), 2.0)
    assert report["programs"] == [{"program": 1, "pmt_pid": 0x1000, "pcr_pid": 0x100, "streams": [
        {"pid": 0x100, "stream_type": 0x1B, "codec": "h264", "kind": "video"},
        {"pid": 0x101, "stream_type": 0x0F, "codec": "aac", "kind": "audio"}], "streams_left_out": 0,
        "service_type": None, "service_name": None, "provider_name": None}]   # no SDT in this stream
    errors = {name: report[name] for name in avwatch_analysis.COUNTERS if name.endswith(("errors", "losses"))}
    assert not any(errors.values()), errors
    assert report["pat_present"] and report["pmt_present"] and report["in_sync"]
    assert report["bitrate"] == 200 * 7 * 188 * 8 // 2  # 200 datagrams over 2 s
    kinds = {entry["pid"]: entry["kind"] for entry in report["pids"]}
    assert kinds == {0: "psi", 0x1000: "psi", 0x100: "video", 0x101: "audio"}


@pytest.mark.parametrize("fault, counter, expected, present", [
    ({"pat_until": 1.0}, "pat_errors", 2, "pat_present"),     # 1 s without: two 0.5 s periods
    ({"pmt_until": 1.0}, "pmt_errors", 2, "pmt_present"),
    ({"crc_broken_from": 1.0}, "crc_errors", 10, "pmt_present"),
    ({"audio_until": 0.5}, "pid_errors", 1, None),            # 1.5 s without audio, 1 s allowed
    ({"pmt_change_at": 1.0}, "pmt_changes", 1, None),
])
def test_table_faults(fault, counter, expected, present):
    report = analyse(timeline(2.0, **fault), 2.0)
    assert report[counter] == expected
    if present:
        assert report[present] is False


@pytest.mark.parametrize("origin", [-1000.0, 0.0, 1000.0])
def test_table_deadlines_on_any_clock(origin):
    # The caller's monotonic clock may read anything, negative included.
    events = [(origin + t, payload) for t, payload in timeline(2.0, pmt_until=1.0, audio_until=0.5)]
    analyser = avwatch_analysis.Analyser(start=origin)
    for t, payload in events:
        analyser.datagram(payload, t)
    report = analyser.close_window(origin + 2.0)
    assert (report["pmt_errors"], report["pid_errors"], report["pat_errors"]) == (2, 1, 0)


def test_a_changed_pmt_lists_the_new_stream_and_a_lying_one_gives_pid_errors():
    report = analyse(timeline(2.5, pmt_change_at=1.0), 2.5)
    assert [s["pid"] for s in report["programs"][0]["streams"]] == [0x100, 0x101, 0x102]
    # 0x102 is listed from 1.0 s and never sent: one error per second of absence.
    assert report["pid_errors"] == 1


def test_a_silence_is_a_gap_not_a_table_fault():
    report = analyse(timeline(4.0, silence=(1.0, 3.0)), 4.0)
    assert report["longest_gap"] == pytest.approx(2.01, abs=0.001)
    assert report["pat_errors"] == report["pmt_errors"] == report["pid_errors"] == 0
    # The PCR value jumps 2 s across the silence: the first PCR after it is compared with none.
    assert (report["pcr_repetition_errors"], report["pcr_discontinuity_errors"]) == (0, 0)


def test_a_running_silence_counts_up_to_the_window_end():
    report = analyse(timeline(1.0), 3.0)
    assert report["window_longest_gap"] == pytest.approx(2.01, abs=0.001)
    assert not report["pat_present"]


def test_the_judged_program_is_taken_beyond_the_program_cap():
    # A PAT of 70 programs over two packets; the judged one is the last.
    table = b"\x00" + pat({number: 0x1000 + number for number in range(1, 71)})
    events = []
    for tick in range(20):
        t = tick / 10
        events.append((t, packet(0, 2 * tick, table[:184], start=True) + packet(0, 2 * tick + 1, table[184:])
                       + psi_packet(0x1000 + 70, tick, pmt(70, PID, [(0x1B, PID)]))
                       + packet(PID, tick, b"x", adaptation=Adaptation(pcr=int(t * 27e6)))))
    report = analyse(events, 2.0, program=70)
    assert (report["pmt_errors"], report["pmt_present"]) == (0, True)
    assert len(report["programs"]) == 65  # 64, and the judged one


def cat_stream(seconds: float, *, cat: bytes | None = None, cat_table: int = 0x01, scrambled: bool = True):
    """Datagrams every 10 ms with a (scrambled) payload packet, and a table
    on PID 1 every 100 ms when `cat` is given."""
    for tick in range(int(seconds * 100)):
        payload = packet(PID, tick, b"x", scrambling=2 if scrambled else 0)
        if cat is not None and tick % 10 == 0:
            payload = psi_packet(1, tick // 10, cat) + payload
        yield tick / 100, payload


CAT = section(0x01, 0xFFFF, b"")


@pytest.mark.parametrize("options, cat_errors, crc_errors", [
    ({}, 3, 0),                                  # no CAT: one per 0.5 s, after the first 0.5 s
    ({"cat": CAT}, 0, 0),
    ({"cat": section(0x01, 0xFFFF, b"", bad_crc=True)}, 3, 20),
    ({"cat": section(0x02, 1, b""), "scrambled": False}, 20, 0),  # another table on PID 1
    ({"scrambled": False}, 0, 0),
])
def test_cat_errors(options, cat_errors, crc_errors):
    report = analyse(cat_stream(2.0, **options), 2.0)
    assert (report["cat_errors"], report["crc_errors"]) == (cat_errors, crc_errors)
    scrambled = 200 if options.get("scrambled", True) else 0
    assert report["scrambled_packets"] == scrambled
    assert {entry["pid"]: entry["scrambled"] for entry in report["pids"]}[PID] == scrambled


def test_program_filter_flags_a_program_the_pat_does_not_list():
    report = analyse(timeline(2.0), 2.0, program=2)
    assert report["pmt_errors"] >= 3 and not report["pmt_present"]


def test_pts_repetition():
    # PES starts at 0, 0.5 and 1.5 s; tables every 100 ms keep the data flowing.
    events = []
    for tick in range(16):
        t = tick / 10
        events.append((t, psi_packet(0, tick, pat({1: 0x1000})) + psi_packet(0x1000, tick, pmt(1, PID, [(0x1B, PID)]))))
        if tick in (0, 5, 15):
            events.append((t, pes_start(PID, tick)))
    report = analyse(events, 1.6, pid_timeout=5.0)
    assert report["pts_errors"] == 1


@pytest.mark.parametrize("sequences, lost, late", [
    ([1, 2, 3, 4], 0, 0),
    ([1, 2, 5, *range(6, 80)], 2, 0),            # counted once 64 newer ones arrived
    ([1, 2, 5, 6], 0, 0),                        # not yet: they may still come
    ([65534, 65535, 0, 1], 0, 0),
    ([1, 3, 2, *range(4, 80)], 0, 1),            # late is not lost
    ([1, 2, 2, 3], 0, 1),
    ([1, 200], 198 - 63, 0),                     # beyond the window at once
    ([*range(1000, 1010), *range(5, 100)], 0, 8),  # the sender started again
])
def test_rtp_sequence(sequences, lost, late):
    stream = Stream()
    payloads = [rtp(seq, b"".join(stream.media(7))) for seq in sequences]
    report = report_after(payloads)
    assert (report["rtp_lost"], report["rtp_out_of_order"], report["rtp"]) == (lost, late, True)
    # The RTP header is not counted in the rate.
    assert report["bytes"] == len(sequences) * 7 * 188


def test_window_counters_restart_and_delay_factor_follows_jitter():
    analyser = avwatch_analysis.Analyser()
    stream = Stream()
    for second, jitter in enumerate((0.0, 0.0, 0.05)):
        for i in range(100):
            # Evenly spaced, or in bursts of ten every 100 ms.
            t = second + (i * 0.01 if not jitter else (i // 10) * 0.1)
            analyser.datagram(datagrams(stream.media(7))[0], t)
        if second == 0:
            # A continuity error in the first window only.
            analyser.datagram(packet(0x200, 0, b"") + packet(0x200, 2, b""), second + 0.995)
        report = analyser.close_window(second + 1.0)
        assert report["window"]["continuity_errors"] == (1 if second == 0 else 0)
        if second == 1:
            assert report["delay_factor_ms"] < 15
        if second == 2:
            assert report["delay_factor_ms"] > 80


def two_programs(seconds: float, pat_at, pmt_at) -> list[tuple[float, bytes]]:
    """Programs 1 (PMT 0x1000) and 2 (PMT 0x1001) sharing video 0x100 with
    the PCR; `pat_at(t)` the programs listed, `pmt_at(t, number)` the extra
    PIDs a PMT lists beside the video (never sent)."""
    stream = Stream()
    events = []
    for tick in range(int(seconds * 100)):
        t = tick / 100
        packets = []
        if tick % 10 == 0:
            listed = pat_at(t)
            packets.append(psi_packet(0, stream.next_cc(0), pat({n: 0xFFF + n for n in listed})))
            for number in listed:
                streams = [(0x1B, 0x100)] + [(0x0F, pid) for pid in pmt_at(t, number)]
                packets.append(psi_packet(0xFFF + number, stream.next_cc(0xFFF + number), pmt(number, 0x100, streams)))
        packets.append(packet(0x100, stream.next_cc(0x100), b"\x00", adaptation=Adaptation(pcr=round(t * 27e6))))
        events.append((t, b"".join(packets)))
    return events


@pytest.mark.parametrize("pat_at, pmt_at, pid_errors", [
    # 0x102 listed for 1.5 s, then dropped from the PMT: one absence, then none.
    (lambda t: [1], lambda t, n: [0x102] if t < 1.5 else [], 1),
    (lambda t: [1], lambda t, n: [0x102], 3),
    # Both list it; program 2 leaves the PAT: program 1 still does.
    (lambda t: [1, 2] if t < 1.5 else [1], lambda t, n: [0x102], 3),
    # Only program 2 lists it, and it leaves the PAT.
    (lambda t: [1, 2] if t < 1.5 else [1], lambda t, n: [0x102] if n == 2 else [], 1),
    # Program 1 drops it, program 2 keeps it.
    (lambda t: [1, 2], lambda t, n: [0x102] if n == 2 or t < 1.5 else [], 3),
    # Listed again after being dropped: absent from then on, not from the start.
    (lambda t: [1], lambda t, n: [0x102] if t < 0.5 or t >= 2.5 else [], 1),
])
def test_roles_follow_each_program_as_it_changes(pat_at, pmt_at, pid_errors):
    report = analyse(two_programs(4.0, pat_at, pmt_at), 4.0)
    assert report["pid_errors"] == pid_errors
    assert report["pcr_discontinuity_errors"] == report["pcr_repetition_errors"] == 0


@pytest.mark.parametrize("start, arrival, accepted", [
    (-4e9, 4e9, True),        # the farthest apart two times may be: their difference still fits
    (0.0, 5e9, False),
    (0.0, float("nan"), False),
])
def test_times_far_apart(start, arrival, accepted):
    analyser = avwatch_analysis.Analyser(start=start)
    stream = Stream()
    payload = b"".join(stream.tables() + stream.media(5, pcr=0))
    if not accepted:
        with pytest.raises(ValueError):
            analyser.datagram(payload, arrival)
        return
    analyser.datagram(payload, start)
    analyser.datagram(b"".join(stream.media(7, pcr=27_000)), arrival)
    report = analyser.close_window(arrival)
    assert report["longest_gap"] == pytest.approx(arrival - start)


def test_a_pmt_version_change_keeps_the_pcr_clock():
    # PCRs every 30 ms, then one 60 ms apart right across a new PMT version.
    stream = Stream()
    events = []
    pcr_at = [round(0.03 * i, 3) for i in range(40)] + [round(1.23 + 0.03 * i, 3) for i in range(20)]
    version = 0
    for tick in range(180):
        t = tick / 100
        packets = []
        if tick % 10 == 0:
            packets.append(psi_packet(0, stream.next_cc(0), pat({1: Stream.PMT_PID})))
        if tick % 10 == 0 or tick == 119:
            version += tick == 119
            packets.append(psi_packet(Stream.PMT_PID, stream.next_cc(Stream.PMT_PID),
                                      pmt(1, Stream.VIDEO, [(0x1B, Stream.VIDEO), (0x0F, Stream.AUDIO)],
                                          version=version)))
        for at in pcr_at:
            if t <= at < t + 0.01:
                packets.append(packet(Stream.VIDEO, stream.next_cc(Stream.VIDEO), b"\x00",
                                      adaptation=Adaptation(pcr=round(at * 27e6))))
        packets.append(packet(Stream.AUDIO, stream.next_cc(Stream.AUDIO), b"\x00"))
        events.append((t, b"".join(packets)))
    report = analyse(events, 1.8)
    assert report["pmt_changes"] == 1
    assert report["pcr_repetition_errors"] == 1
