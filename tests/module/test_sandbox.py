"""The test sandbox itself: the media server tree is a private tmpfs."""


def test_media_server_tree_is_private_and_empty(kestrel_root):
    assert list(kestrel_root.iterdir()) == []
    (kestrel_root / "marker").write_text("x")


def test_redis_fixture_serves_a_fresh_database(broker):
    assert broker.dbsize() == 0
    broker.set("k", "v")
    assert broker.get("k") == b"v"
