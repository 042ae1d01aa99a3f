"""How the output monitor picks the newest segment: the choice the
interpreter's os.listdir and os.path.getctime would make, and their errors."""

import os
import sys
import threading
import time

import pytest

import avwatch


def python_choice(folder):
    """The selection as the interpreter makes it."""
    names = [name for name in os.listdir(folder) if not name.endswith(".tmp") and not name.startswith("chunks")]
    return max(names, key=lambda name: os.path.getctime(os.path.join(folder, name)))


def newest_published(harness):
    harness.recent = False  # publish the choice at once
    harness.run()
    [record] = harness.published()
    return record["lastts"]


def test_the_status_change_time_decides_not_the_modification_time(harness):
    folder = harness.make_folder("a.ts")
    time.sleep(0.05)
    (folder / "b.ts").write_bytes(b"x")
    time.sleep(0.05)
    os.chmod(folder / "a.ts", 0o600)  # a newer ctime, an older mtime
    assert os.path.getmtime(folder / "a.ts") < os.path.getmtime(folder / "b.ts")
    assert newest_published(harness) == "a.ts"


@pytest.mark.parametrize("count", [2, 5, 40])
def test_among_equal_times_the_first_listed_wins(harness, count):
    # Hard links share one inode, hence one status-change time.
    folder = harness.make_folder("segment-0.ts")
    for number in range(1, count):
        os.link(folder / "segment-0.ts", folder / f"segment-{number}.ts")
    names = [name for name in os.listdir(folder)]
    assert newest_published(harness) == names[0] == python_choice(folder)


def test_a_burst_of_files_gives_the_interpreter_s_choice(harness):
    folder = harness.make_folder()
    for number in range(300):
        (folder / f"segment-{number}.ts").write_bytes(b"")
        if number % 50 == 0:
            (folder / f"segment-{number}.ts.tmp").write_bytes(b"")
            (folder / f"chunks-{number}.m3u8").write_bytes(b"")
    assert newest_published(harness) == python_choice(folder)


@pytest.mark.parametrize("raw_name", [b"segment-\xff.ts", "sègment.ts".encode(), b"segment \n1.ts"])
def test_names_come_back_as_os_listdir_decodes_them(harness, raw_name):
    folder = harness.make_folder()
    with open(os.path.join(os.fsencode(folder), raw_name), "wb"):
        pass
    assert newest_published(harness) == os.fsdecode(raw_name) == python_choice(folder)


def test_links_to_segments_are_followed(harness, tmp_path):
    folder = harness.make_folder()
    target = folder.parent / "elsewhere.ts"
    target.write_bytes(b"")
    (folder / "linked.ts").symlink_to(target)
    assert newest_published(harness) == "linked.ts"


@pytest.mark.parametrize("kind", ["file", "dangling link"])
def test_a_folder_path_that_is_not_a_directory_counts_as_missing(harness, kind):
    harness.folder.parent.mkdir(parents=True)
    if kind == "file":
        harness.folder.write_bytes(b"")
    else:
        harness.folder.symlink_to(harness.folder.parent / "nowhere")
    harness.run()
    assert harness.trace() == "fSzf"
    assert harness.published()[0]["lastts"] == ""


def test_a_folder_that_is_a_link_to_a_directory_is_scanned(harness):
    real = harness.folder.parent / "real"
    real.mkdir(parents=True)
    (real / "segment-1.ts").write_bytes(b"")
    harness.folder.symlink_to(real)
    assert newest_published(harness) == "segment-1.ts"


def test_a_candidate_that_vanished_before_its_stat_is_a_logged_file_not_found(harness, monkeypatch):
    # A link to nothing is listed but cannot be stat'ed: the same as a
    # segment deleted between the listing and the stat.
    folder = harness.make_folder("segment-1.ts")
    (folder / "segment-2.ts").symlink_to(folder / "deleted.ts")
    logged = []
    monkeypatch.setattr(avwatch, "logging", type("Logging", (), {
        "error": staticmethod(lambda message: logged.append((message, sys.exception())))}))

    harness.run()

    path = str(folder / "segment-2.ts")
    [(message, error)] = logged
    assert message == f"Error in ffmpeg_output_bitrate: [Errno 2] No such file or directory: '{path}'"
    assert type(error) is FileNotFoundError
    assert error.filename == path
    with pytest.raises(FileNotFoundError) as python_error:
        python_choice(folder)
    assert str(python_error.value) == str(error)
    assert harness.published() == []
    assert harness.trace() == "fzf"


def test_the_scan_lets_other_threads_run(harness, monkeypatch):
    # With a huge switch interval another thread gets the interpreter lock
    # only when it is released; between the channel read and the freshness
    # test only the scan can release it.
    folder = harness.make_folder()
    for number in range(5000):
        (folder / f"s{number}.ts").write_bytes(b"")
    ticks, marks = [], {}
    done = threading.Event()

    def count():
        while not done.is_set():
            ticks.append(None)
            time.sleep(0)

    real_get = harness.broker.get

    def get(key):
        value = real_get(key)
        marks.setdefault("channel read", len(ticks))
        return value

    def recent(file, fragment_time):
        marks.setdefault("scanned", len(ticks))
        return False

    harness.broker.get = get
    monkeypatch.setattr(avwatch, "is_ts_file_recent", recent)
    counter = threading.Thread(target=count)
    switch = sys.getswitchinterval()
    sys.setswitchinterval(1000)
    try:
        counter.start()
        harness.run()
    finally:
        sys.setswitchinterval(switch)
        done.set()
        counter.join()
    assert marks["scanned"] > marks["channel read"]
