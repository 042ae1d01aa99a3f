"""Every real file the tests read is accounted for: a line in PROVENANCE.md
naming its source and a licence whose full text is kept beside it."""

import re
from pathlib import Path

import pytest

REAL = Path(__file__).resolve().parent / "data" / "real"
ROW = re.compile(r"^\| (?P<file>[^|]+?) \| (?P<repo>[\w.-]+/[\w.-]+) \| [^|]+ \| (?P<commit>[0-9a-f]{12}) \| (?P<licence>[^|]+?) \|$")
LICENCE_TEXTS = {
    "MIT": "MIT.txt",
    "MIT (package.json)": "MIT.txt",
    "BSD-2-Clause": "BSD-2-Clause.txt",
    "BSD-3-Clause": "BSD-3-Clause.txt",
    "GPL-2.0": "GPL-2.0.txt",
    "GPL-3.0": "GPL-3.0.txt",
    "Apache-2.0 (package.json)": "Apache-2.0.txt",
}


def provenance_rows() -> dict[str, re.Match[str]]:
    lines = (REAL / "PROVENANCE.md").read_text().splitlines()
    return {match["file"]: match for match in map(ROW.match, lines) if match}


def data_files() -> list[str]:
    return sorted(str(path.relative_to(REAL)) for folder in ("ffprobe", "playlists")
                  for path in (REAL / folder).iterdir())


@pytest.mark.parametrize("name", data_files())
def test_each_file_has_a_source_and_a_kept_licence(name):
    row = provenance_rows().get(name)
    assert row, f"{name} has no line in PROVENANCE.md"
    assert (REAL / "LICENSES" / LICENCE_TEXTS[row["licence"]]).stat().st_size > 900


def test_no_line_names_a_missing_file():
    assert sorted(provenance_rows()) == data_files()
