"""Service and provider names from the SDT, per program of the report:
sections that span packets, tables of several sections, new versions, and
DVB text in the character tables met in practice, always valid and bounded."""

from __future__ import annotations

import unicodedata

import pytest

from ts_builder import Stream, datagrams, pat, psi_packet, sdt, section_packets

avwatch_analysis = pytest.importorskip("avwatch_analysis")

SDT_PID = 0x11


def programs_after(*tables: bytes, programs: dict[int, int] | None = None) -> dict[int, dict]:
    """The report's programs by number after a PAT and these SDT sections."""
    stream = Stream()
    packets = [psi_packet(0, stream.next_cc(0), pat(programs or {1: 0x1000, 2: 0x1001}))]
    for table in tables:
        packets += section_packets(SDT_PID, table, stream.next_cc)
    analyser = avwatch_analysis.Analyser()
    for i, datagram in enumerate(datagrams(packets)):
        analyser.datagram(datagram, 0.001 * i)
    report = analyser.close_window(0.1)
    return {p["program"]: p for p in report["programs"]}


def names(program: dict) -> tuple:
    return program["service_type"], program["provider_name"], program["service_name"]


def test_a_table_of_two_sections_names_each_program_and_a_long_section_spans_packets():
    long_name = b"N" * 60
    first = sdt([(1, 0x19, b"Provider One", long_name), (7, 1, b"", b"not in the PAT")], number=0, last=1)
    second = sdt([(2, 0x02, b"Radio House", b"Radio Two")] + [(100 + i, 1, b"P" * 40, b"S" * 40) for i in range(5)],
                 number=1, last=1)
    assert len(second) > 184   # the second section takes more than one packet
    found = programs_after(first, second)
    assert names(found[1]) == (0x19, "Provider One", "N" * 60)
    assert names(found[2]) == (2, "Radio House", "Radio Two")


@pytest.mark.parametrize("tables, expected", [
    # A later version replaces the names; the same version again changes nothing.
    ([sdt([(1, 1, b"A", b"old")], version=1), sdt([(1, 1, b"A", b"new")], version=2)], "new"),
    # Another transport stream's SDT, a BAT-like table and a bad CRC name nothing.
    ([sdt([(1, 1, b"A", b"other")], table_id=0x46)], None),
    ([sdt([(1, 1, b"A", b"bouquet")], table_id=0x4A)], None),
    ([sdt([(1, 1, b"A", b"corrupt")], bad_crc=True)], None),
    ([sdt([(1, 1, b"A", b"kept")]), sdt([(1, 1, b"A", b"corrupt")], bad_crc=True)], "kept"),
])
def test_only_good_sections_of_the_actual_sdt_count(tables, expected):
    assert programs_after(*tables)[1]["service_name"] == expected


@pytest.mark.parametrize("raw, shown", [
    (b"Caf\xc2e", "Café"),                       # ISO 6937 (no selector): a diacritic before its letter
    (b"\xe9 \xa3 \xfb", "Ø £ ß"),                  # ISO 6937 spacing characters
    (b"Ch\x86ann\x87el\x8aOne", "Channel One"),    # emphasis marks dropped, the line break a space
    (b"\x10\x00\x01\xe9t\xe9", "été"),            # ISO 8859-1 by number
    (b"\x0b\xa4 20", "€ 20"),                     # ISO 8859-15
    (b"\x11\x00A\x04\x16\xd8\x00", "AЖ\ufffd"),    # UCS-2 with a lone surrogate
    (b"\x15ok\xff\xc3", "ok\ufffd\ufffd"),        # UTF-8 with bytes that are not
    (b"\x15\xe0\x80\xaf", "\ufffd\ufffd\ufffd"),  # an overlong form
    (b"\x05abc\xfd", "abc\ufffd"),                # a table not decoded: its ASCII only
    (b"", ""),
])
def test_dvb_text_comes_out_as_readable_valid_text(raw, shown):
    name = programs_after(sdt([(1, 1, b"", raw)]))[1]["service_name"]
    assert unicodedata.normalize("NFC", name) == shown


@pytest.mark.parametrize("raw", [b"\xe9" * 126, b"\x15" + "€".encode() * 41, b"\x11" + b"\x20\xac" * 62,
                                 b"\xc2A" * 63])
def test_long_names_are_cut_at_a_character_within_the_bound(raw):
    name = programs_after(sdt([(1, 1, raw, raw)]))[1]
    for text in (name["service_name"], name["provider_name"]):
        encoded = text.encode("utf-8")   # raises on invalid text
        assert 48 <= len(encoded) <= 64


def test_a_program_the_pat_adds_later_is_named_by_the_next_sdt():
    stream = Stream()
    table = sdt([(1, 1, b"P", b"One"), (2, 1, b"P", b"Two")])
    analyser = avwatch_analysis.Analyser()
    steps = [section_packets(0, pat({1: 0x1000}), stream.next_cc), section_packets(SDT_PID, table, stream.next_cc),
             section_packets(0, pat({1: 0x1000, 2: 0x1001}, version=1), stream.next_cc)]
    named = []
    for step, packets in enumerate(steps + [section_packets(SDT_PID, table, stream.next_cc)]):
        for datagram in datagrams(packets):
            analyser.datagram(datagram, 0.01 * step)
        named.append({p["program"]: p["service_name"] for p in analyser.close_window(0.01 * step + 0.005)["programs"]})
    assert named == [{1: None}, {1: "One"}, {1: "One", 2: None}, {1: "One", 2: "Two"}]
