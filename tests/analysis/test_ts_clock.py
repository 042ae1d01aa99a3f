"""The stream's clock against the network's: PCRs judged on their own
values and the bytes between them, the network's jitter measured apart
(PCR arrival jitter, delay factor), on constant-rate streams delivered at
exact arrival times."""

from __future__ import annotations

import random

import pytest

from ts_builder import Pcr, constant_rate

avwatch_analysis = pytest.importorskip("avwatch_analysis")

PACKET = 0.0005  # seconds per packet: 3 Mb/s
DATAGRAM = 7 * PACKET


def run(arrivals: list[tuple[float, bytes]], windows: bool = False, **settings) -> list[dict]:
    """The reports of one-second windows (or one report at the end)."""
    analyser = avwatch_analysis.Analyser(**settings)
    reports = []
    end = 1.0
    for t, payload in arrivals:
        while windows and t >= end:
            reports.append(analyser.close_window(end))
            end += 1.0
        analyser.datagram(payload, t)
    reports.append(analyser.close_window(max(end, arrivals[-1][0] + 0.001)))
    return reports


def stalls(every: float, length: float):
    """A loaded receiver: nothing for `length` every `every` seconds, then the backlog at once."""
    def deliver(t: float) -> float:
        phase = t % every
        return t - phase + 0.5 + length if 0.5 <= phase < 0.5 + length else t
    return deliver


def bursts(period: float):
    """A sender that holds its datagrams and sends them every `period`."""
    return lambda t: (t // period + 1) * period


STEADY = [Pcr(30)] * 40


@pytest.mark.parametrize("pcrs, deliver, repetition, discontinuity", [
    (STEADY, None, 0, 0),
    ([Pcr(30)] * 10 + [Pcr(60)] * 3 + [Pcr(30)] * 10, None, 3, 0),         # over 40 ms, under 100
    ([Pcr(30)] * 10 + [Pcr(120)] + [Pcr(30)] * 10, None, 1, 1),           # a PCR missing for 120 ms
    ([Pcr(30)] * 10 + [Pcr(39)] * 3 + [Pcr(30)] * 10, None, 0, 0),
    (STEADY, stalls(1.0, 0.15), 0, 0),                                     # the receiver's stalls are not the encoder's
    (STEADY, bursts(0.045), 0, 0),
    ([Pcr(30)] * 10 + [Pcr(30, step_ms=500)] + [Pcr(30)] * 10, None, 0, 1),  # the value jumps, the bytes do not
    ([Pcr(30)] * 10 + [Pcr(30, step_ms=-20)] + [Pcr(30)] * 10, None, 0, 1),  # backwards
    ([Pcr(30)] * 10 + [Pcr(30, step_ms=5000, discontinuity=True)] + [Pcr(30)] * 10, None, 0, 0),
    # Across an announced discontinuity the interval comes from the bytes at the PCRs' rate.
    ([Pcr(30)] * 10 + [Pcr(80, step_ms=5000, discontinuity=True)] + [Pcr(30)] * 10, None, 1, 0),
])
def test_pcr_repetition_and_discontinuity_on_the_stream_clock(pcrs, deliver, repetition, discontinuity):
    arrivals = constant_rate(pcrs)
    if deliver is not None:
        arrivals = [(deliver(t), payload) for t, payload in arrivals]
    report = run(arrivals)[-1]
    assert (report["pcr_repetition_errors"], report["pcr_discontinuity_errors"]) == (repetition, discontinuity)


@pytest.mark.parametrize("silence, step_ms, discontinuity", [
    (False, 2000, 1),     # the same jump without a silence is a fault
    (True, 2000, 0),      # a live encoder's clock ran on through the silence
    (True, -50_000, 0),   # a restarted encoder's clock begins anew
    (True, None, 0),
])
def test_the_first_pcr_after_a_silence_is_compared_with_none(silence, step_ms, discontinuity):
    pcrs = [Pcr(30)] * 30 + [Pcr(30, step_ms=step_ms)] + [Pcr(30)] * 30
    arrivals = constant_rate(pcrs)
    if silence:
        # Two seconds without data before the PCR that jumps (the tenth of a second before it still comes).
        cut = 31 * 0.030 - 0.001
        arrivals = [(t if t < cut - 0.1 else t + 2.0, payload) for t, payload in arrivals
                    if not cut - 0.1 <= t < cut]
    reports = run(arrivals, windows=True)
    final = reports[-1]
    assert (final["pcr_discontinuity_errors"], final["pcr_repetition_errors"]) == (discontinuity, 0)
    assert (final["longest_gap"] > 2.0) == silence


def jittered(error_ns: float, seed: int = 3) -> list[Pcr]:
    chance = random.Random(seed)
    return [Pcr(30, error_ns=chance.uniform(-error_ns, error_ns)) for _ in range(100)]


def variable_rate(seed: int = 4) -> list[Pcr]:
    # The bytes between PCRs vary by tens of packets: a PCR every 30 ms of its clock.
    chance = random.Random(seed)
    pcrs = []
    for _ in range(100):
        after = chance.choice([20, 25, 35, 40])
        pcrs.append(Pcr(after, step_ms=30))
    return pcrs


@pytest.mark.parametrize("pcrs, errors, worst", [
    (jittered(0), 0, (0, 40)),                 # exact but for the 27 MHz rounding
    (jittered(200), 0, (100, 500)),            # within ±500 ns
    (jittered(3000), (20, 100), (2000, 6000)),
    (variable_rate(), 0, None),                 # not constant-rate: not judged
])
def test_pcr_accuracy_of_a_constant_rate_stream(pcrs, errors, worst):
    report = run(constant_rate(pcrs))[-1]
    if isinstance(errors, tuple):
        assert errors[0] <= report["pcr_accuracy_errors"] <= errors[1]
    else:
        assert report["pcr_accuracy_errors"] == errors
    if worst is None:
        assert report["pcr_accuracy_ns"] is None
    else:
        assert worst[0] <= report["pcr_accuracy_ns"] <= worst[1]
    # The accuracy is the stream's, not the network's: the same stream in bursts.
    delivered = [(bursts(0.035)(t), payload) for t, payload in constant_rate(pcrs)]
    assert run(delivered)[-1]["pcr_accuracy_errors"] == report["pcr_accuracy_errors"]


def spread(deliver) -> list[tuple[float, bytes]]:
    return [(deliver(t), payload) for t, payload in constant_rate([Pcr(30)] * 200)]


def late(most: float, seed: int = 6):
    chance = random.Random(seed)
    previous = [0.0]

    def deliver(t: float) -> float:
        previous[0] = max(previous[0], t + chance.uniform(0, most))  # in order, as a network queue delivers
        return previous[0]
    return deliver


@pytest.mark.parametrize("deliver, jitter, delay_factor", [
    (lambda t: t, (0, 0.2), (DATAGRAM * 1000 - 0.2, DATAGRAM * 1000 + 0.2)),
    (bursts(0.035), (27, 36), (35, 39.5)),        # the previous window's rate made these 50-55 ms
    (late(0.02), (14, 21), (14, 25)),
    (stalls(2.0, 0.15), (140, 151), (140, 155)),  # in the windows with a stall
])
def test_pcr_jitter_and_delay_factor_measure_the_network(deliver, jitter, delay_factor):
    reports = run(spread(deliver), windows=True)[2:-1]
    worst_jitter = max(r["pcr_jitter_ms"] for r in reports)
    worst_df = max(r["delay_factor_ms"] for r in reports)
    assert jitter[0] <= worst_jitter <= jitter[1]
    assert delay_factor[0] <= worst_df <= delay_factor[1]
    assert all(r["pcr_repetition_errors"] == 0 for r in reports)


@pytest.mark.parametrize("gap_start", [2.3, 3.0, 3.7])
def test_a_gap_is_reported_as_a_gap_not_as_a_delay_factor(gap_start):
    arrivals = [(t if t < gap_start else t + 2.0, payload) for t, payload in spread(lambda t: t)]
    reports = run(arrivals, windows=True)
    assert max(r["window_longest_gap"] for r in reports) >= 1.0
    factors = [r["delay_factor_ms"] for r in reports[1:-1] if r["delay_factor_ms"] is not None]
    # The previous window's rate drained the buffer slowly after a gap: hundreds of ms.
    assert factors and max(factors) < DATAGRAM * 1000 + 1
    assert reports[-1]["pcr_discontinuity_errors"] == 0


def test_delay_factor_without_pcrs_drains_at_the_received_rate():
    # Datagrams without any PCR (none judged): the long-run byte rate drains the buffer.
    arrivals = [(t, payload) for t, payload in spread(bursts(0.035))]
    reports = run(arrivals, windows=True, program=9)  # program 9 is not in the stream: no judged PCR
    factors = [r["delay_factor_ms"] for r in reports[3:-1]]
    assert all(33 <= df <= 42 for df in factors), factors
    assert reports[-1]["pcr_jitter_ms"] is None
