"""`quorbel history`: a factor file's commits and one date's revisions, read
from histories written with plain tools."""

import json

import numpy as np
import pytest

from history_files import Story, record
from quorbel import cli

CALENDAR = [20180102, 20180103, 20180104, 20180105, 20180108]
T0 = 1_700_000_000_000_000_000  # 2023-11-14 22:13:20 UTC
SECOND = 10**9


@pytest.fixture
def factor(detail, market, tmp_path):
    """Column 0 held before history began; column 1 appended; then cell
    (1, 0) revised twice and 30 cells of column 1 revised at once."""
    market.set_calendar(CALENDAR)
    start = np.full((40, 5), np.nan)
    start[:, 0] = np.arange(40.0)
    s = Story(tmp_path / "f.h5", (40, 5), start, cursor=0, began=T0)
    m = s.matrix.copy()
    m[:, 1] = 100.0
    s.commit(T0 + SECOND // 10, m, cursor=1)
    m = m.copy()
    m[1, 0] = 1.5
    s.commit(T0 + 2 * SECOND, m)
    m = m.copy()
    m[1, 0] = np.nan
    m[:30, 1] = 200.0
    s.commit(T0 + 3 * SECOND, m)
    s.commit(T0 + 4 * SECOND, m, cursor=0)
    return s.finish(detail)


def run(capsys, *args):
    status = cli.main(["history", *map(str, args)])
    out, err = capsys.readouterr()
    return status, out, err


def test_listing_shows_each_commit(factor, capsys):
    status, out, _ = run(capsys, factor.path)
    assert status == 0
    lines = out.splitlines()
    assert lines[0] == f"{factor.path}: history since 2023-11-14 22:13:20 UTC, 5 records"
    assert lines[1].split() == ["seq", "time", "kind", "dates", "new", "revised", "cursor"]
    rows = [line.split("  ") for line in lines[2:]]
    rows = [[cell.strip() for cell in row if cell.strip()] for row in rows]
    assert rows == [
        ["1", "2023-11-14 22:13:20 UTC", "baseline", "2018-01-02", "40", "0", "2018-01-02"],
        ["2", "2023-11-14 22:13:20.1 UTC", "commit", "2018-01-03", "40", "0", "2018-01-02 -> 2018-01-03"],
        ["3", "2023-11-14 22:13:22 UTC", "commit", "2018-01-02", "0", "1", "2018-01-03"],
        ["4", "2023-11-14 22:13:23 UTC", "commit", "2018-01-02, 2018-01-03", "0", "31", "2018-01-03"],
        ["5", "2023-11-14 22:13:24 UTC", "commit", "-", "0", "0", "2018-01-03 -> 2018-01-02"],
    ]


def test_listing_as_json(factor, capsys):
    status, out, _ = run(capsys, factor.path, "--json")
    listing = json.loads(out)
    assert status == 0 and listing["began_ns"] == T0 and listing["history"] == factor.path + ".history"
    assert [c["seq"] for c in listing["commits"]] == [1, 2, 3, 4, 5]
    fourth = listing["commits"][3]
    assert (fourth["dates"], fourth["new_cells"], fourth["revised_cells"], fourth["time_ns"]) == \
        (["2018-01-02", "2018-01-03"], 0, 31, T0 + 3 * SECOND)
    assert listing["commits"][0]["cursor_before"] == "2018-01-02"


def test_one_date_shows_old_and_new_values(factor, capsys):
    status, out, _ = run(capsys, factor.path, "--date", "2018-01-02")
    assert status == 0
    assert out.splitlines() == [
        f"2018-01-02 (column 0) in {factor.path}: 3 records touched it",
        "2023-11-14 22:13:20 UTC  seq 1  40 cells held when history began",
        "2023-11-14 22:13:22 UTC  seq 3  1 cell revised",
        "    row 1: 1 -> 1.5",
        "2023-11-14 22:13:23 UTC  seq 4  1 cell revised",
        "    row 1: 1.5 -> NaN",
    ]
    status, out, _ = run(capsys, factor.path, "--date", 20180103, "--rows", 2)
    assert out.splitlines()[1:] == [
        "2023-11-14 22:13:20.1 UTC  seq 2  40 cells written into the empty date",
        "2023-11-14 22:13:23 UTC  seq 4  30 cells revised",
        "    row 0: 100 -> 200",
        "    row 1: 100 -> 200",
        "    ... 28 more (--rows 0 shows all)",
    ]
    status, out, _ = run(capsys, factor.path, "--date", 20180103, "--rows", 0, "--json")
    commits = json.loads(out)["commits"]
    assert [(c["seq"], c["state"], c["cells"]) for c in commits] == [(2, "new", 40), (4, "revised", 30)]
    assert commits[1]["revisions"][29] == {"row": 29, "old": 100.0, "new": 200.0}
    status, out, _ = run(capsys, factor.path, "--date", 20180108)
    assert out.splitlines() == [f"2018-01-08 (column 4) in {factor.path}: 0 records touched it"]


def test_values_before_a_pruned_record_are_unknown(factor, capsys):
    with open(factor.writer.path, "ab") as f:
        f.write(record(6, T0 + 5 * SECOND, 0, 0, {0: ("pruned", 3)}, flags=1))
    status, out, _ = run(capsys, factor.path, "--date", 20180102)
    assert out.splitlines()[2:] == [
        "2023-11-14 22:13:22 UTC  seq 3  1 cell revised",
        "    row 1: 1 -> unknown",
        "2023-11-14 22:13:23 UTC  seq 4  1 cell revised",
        "    row 1: 1.5 -> unknown",
        "2023-11-14 22:13:25 UTC  seq 6  3 cells revised (old values pruned)",
    ]


def test_a_record_in_progress_is_noted(factor, capsys):
    with open(factor.writer.path, "ab") as f:
        f.write(record(6, T0 + 5 * SECOND, 0, 0, {})[:30])
    status, out, _ = run(capsys, factor.path)
    assert status == 0 and "5 records" in out.splitlines()[0]
    assert out.splitlines()[-1].startswith("(30 bytes after the last whole record")


@pytest.mark.parametrize("args, message", [
    (["{missing}"], "no such file: {missing}"),
    (["{plain}"], "{plain} has no history: enable it with lib.enable_history() or `quorbel history enable`"),
    (["{file}", "--date", "2018-01-06"], "20180106 is not a trading date"),
    (["{file}", "--date", "yesterday"], "--date"),
    (["{file}", "--date", "20180102", "--rows", "-1"], "--rows must be 0 (all) or more, not -1"),
    (["enable"], "history enable needs a PATH"),
    (["{file}", "extra"], "history takes one FILE, or `enable PATH`"),
    (["enable", "{missing}"], "no such file or folder: {missing}"),
])
def test_refusals_say_what_is_wrong(factor, detail, tmp_path, capsys, args, message):
    plain = tmp_path / "plain.h5"
    detail.create_new_factor_h5(str(plain), (4, 5)).close()
    names = {"missing": tmp_path / "missing.h5", "plain": plain, "file": factor.path}
    status, out, err = run(capsys, *[a.format(**names) for a in args])
    assert status == 1 and out == ""
    assert err.startswith("quorbel: error: ") and message.format(**names) in err
