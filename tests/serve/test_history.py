"""The bitrate history rings: order across the wrap, rows reused empty."""

from avwatch_cli.serve.history import History


def test_rings_keep_the_last_samples_in_order_and_reuse_rows_empty():
    history = History(refresh_seconds=200)   # 600 s of history: 3 samples
    rows = history.keep({"p1", "p2"})
    for second in range(5):
        history.set(rows["p1"], 1000 + second, None)
        history.set(rows["p2"], None, 7.0)
        history.add(float(second))
    assert history.get(["p1", "p2", "p3"]) == {
        "p1": {"t": [2.0, 3.0, 4.0], "input": [1002.0, 1003.0, 1004.0], "output": [None] * 3},
        "p2": {"t": [2.0, 3.0, 4.0], "input": [None] * 3, "output": [7.0] * 3},
    }
    rows = history.keep({"p2", "p3"} | {f"x{n}" for n in range(100)})   # p1 gone; the tables grow
    assert history.get(["p1"]) == {}
    history.add(5.0)
    assert history.get(["p3"])["p3"]["input"] == [None] * 3
    assert history.get(["p2"])["p2"]["output"] == [7.0] * 3
