"""The input analyser's record on the live page, in a real Chromium: the
measured rate beside the monitor's, and the faults with their "since"."""

import json

import pytest

from serve.live_records import GOOD_INPUT, GOOD_OUTPUT, Writer
from serve.test_analysis_view import analysis_record
from serve.test_page import chrome, open_page, redis_service  # noqa: F401  (the page's fixtures)

pytest.importorskip("avwatch_analysis")


@pytest.mark.parametrize("faults, shown", [
    (True, ["measured", "since", "continuity 1 (last"]),
    (False, ["measured", "no faults since"]),
])
def test_input_cell_shows_the_analysis(chrome, redis_service, open_page, faults, shown):  # noqa: F811
    record = analysis_record()
    if not faults:
        record.update(continuity_errors=0, error_times={})
    client = redis_service.client()
    client.set("ch:5", json.dumps({"live": True}))
    client.set("ch:5:ts:main", json.dumps(record))
    writer = Writer(client, {"ch:5:in:main": GOOD_INPUT, "ch:5:out:main": GOOD_OUTPUT}).start()
    try:
        open_page()
        row = chrome.wait_for(lambda: next((r for r in chrome.rows() if "measured" in r["input"]), None),
                              what="the analysis in the input cell")
        for text in shown:
            assert text in row["input"], row["input"]
        assert "measured" not in row["output"]
        assert [r["who"].split("\n")[0] for r in chrome.rows()] == ["5"]
    finally:
        writer.stop()


def test_input_cell_shows_why_it_is_not_analysed(chrome, redis_service, open_page):  # noqa: F811
    """The monitor is to analyse the input and cannot: said where the analysis would be."""
    client = redis_service.client()
    client.set("ch:5", json.dumps({"live": True}))
    writer = Writer(client, {"ch:5:in:main": GOOD_INPUT, "ch:5:out:main": GOOD_OUTPUT,
                             "ch:5:ts:main": {"analysis_failed": "no CAP_NET_RAW", "uri": None, "time": 0}}).start()
    try:
        open_page()
        row = chrome.wait_for(lambda: next((r for r in chrome.rows() if "not analysed" in r["input"]), None),
                              what="the failure in the input cell")
        assert "not analysed: no CAP_NET_RAW" in row["input"] and "measured" not in row["input"]
        assert [state for state, _ in row["badges"]] == ["ok", "ok"]
    finally:
        writer.stop()
