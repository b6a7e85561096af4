"""The quorbel command on factor files written by the engine and by plain h5py."""

import os
import struct
import subprocess
import sys
import zlib

import h5py
import numpy as np
import pytest

from quorbel import _extras

ROWS, COLS = 120, 90


@pytest.fixture(autouse=True)
def calendar_snapshot_restored(detail, monkeypatch):
    # The commands look dates up through the real calendar, which rebinds
    # quorbel.detail.TRADING_DATES; other tests expect it as they left it.
    monkeypatch.setattr(detail, "TRADING_DATES", detail.TRADING_DATES)


def matrix_with_gaps():
    rng = np.random.default_rng(3)
    values = np.full((ROWS, COLS), np.nan)
    values[:80, :60] = rng.normal(size=(80, 60))
    values[40:80, :30] = np.nan       # a late listing
    values[:80, 20:25] = np.nan       # a gap of five dates
    return values


def h5py_file(path, values, cursor_col=59, **overrides):
    options = dict(chunks=(16, 16), maxshape=(None, None), compression="gzip", compression_opts=9,
                   fillvalue=np.nan)
    options.update(overrides)
    with h5py.File(path, "w") as f:
        d = f.create_dataset("data", data=values, **options)
        if cursor_col is not None:
            d.attrs["cursor_col"] = cursor_col
    return path


def engine_file(detail, path, values, cursor_col=59):
    f = detail.create_new_factor_h5(path, values.shape)
    for j in range(values.shape[1]):
        if not np.isnan(values[:, j]).all():
            f["data"][:, j] = values[:, j]
    f["data"].attrs["cursor_col"] = cursor_col
    f.close()
    return path


@pytest.fixture(params=["engine", "h5py"])
def factor(request, detail, tmp_path):
    path = str(tmp_path / "factor.h5")
    if request.param == "engine":
        return engine_file(detail, path, matrix_with_gaps())
    return h5py_file(path, matrix_with_gaps())


def quorbel(capsys, monkeypatch, *argv):
    monkeypatch.setattr(sys, "argv", ["quorbel", *argv])
    status = _extras.main()
    out, err = capsys.readouterr()
    return status, out, err


def date_of(detail, column):
    return detail._get_date_by_index(column, column)[0]


def test_info_reports_layout_cursor_and_value_extent(detail, factor, capsys, monkeypatch):
    status, out, err = quorbel(capsys, monkeypatch, "info", factor)
    assert status == 0, err
    fields = {line[:14].strip(): line[14:] for line in out.splitlines()}
    assert fields["shape"] == f"{ROWS} instruments x {COLS} dates"
    assert fields["max shape"] == "unlimited x unlimited"
    assert fields["filters"] == "deflate(9)"
    assert fields["fill value"] == "nan"
    assert fields["cursor_col"] == f"column 59, {date_of(detail, 59)}"
    assert fields["first value"] == f"column 0, {date_of(detail, 0)}"
    assert fields["last value"] == f"column 59, {date_of(detail, 59)}"
    assert fields["instruments"] == "80 hold values"
    assert fields["file size"].endswith(f"({os.path.getsize(factor)} bytes)")
    # Both ratios, labelled: the whole matrix, and the cells that hold values.
    size, held = os.path.getsize(factor), int((~np.isnan(matrix_with_gaps())).sum())
    assert fields["compression"] == (f"{ROWS * COLS * 8 / size:.2f}x over the whole matrix "
                                     f"({ROWS * COLS * 8 / 2**20:.1f} MiB of float64 cells)")
    ratio_line = out.splitlines()[out.splitlines().index("compression   " + fields["compression"]) + 1]
    assert ratio_line.strip() == (f"{held * 8 / size:.2f}x over the cells holding values "
                                  f"({held} cells, {held * 8 / 2**20:.1f} MiB)")
    assert fields["meta"] == "none"
    assert "100%" in err


def test_verify_warns_of_values_past_cursor_col(detail, tmp_path, capsys, monkeypatch):
    path = h5py_file(str(tmp_path / "past.h5"), matrix_with_gaps(), cursor_col=40)
    status, out, err = quorbel(capsys, monkeypatch, "verify", path)
    assert status == 0, err  # a warning, not a problem
    assert (f"warning: values past cursor_col: the last value lies at column 59 ({date_of(detail, 59)}), "
            f"cursor_col is column 40 ({date_of(detail, 40)}); reads with check=True leave them out") in out
    status, out, err = quorbel(capsys, monkeypatch, "verify", h5py_file(str(tmp_path / "ok.h5"), matrix_with_gaps()))
    assert status == 0 and "warning" not in out


def test_verify_accepts_good_files(factor, capsys, monkeypatch):
    status, out, _ = quorbel(capsys, monkeypatch, "verify", factor)
    assert status == 0 and "OK" in out


def test_verify_reports_each_layout_problem(tmp_path, capsys, monkeypatch):
    path = str(tmp_path / "bad.h5")
    with h5py.File(path, "w") as f:
        f.create_dataset("data", data=np.zeros((8, 8), "f4"), chunks=(4, 4), compression="gzip",
                         compression_opts=4, fillvalue=0)
        f["data"].attrs["cursor_col"] = np.int32(99)
        f.create_dataset("extra", data=[1])
    status, out, _ = quorbel(capsys, monkeypatch, "verify", path)
    assert status == 1
    problems = [line for line in out.splitlines() if line.startswith("problem: ")]
    assert len(problems) == 6, out
    for needle in ["'extra' besides 'data'", "<f4, not <f8", "DEFLATE level 9", "fill value is not NaN",
                   "maximum shape", "cursor_col is not a scalar int64"]:
        assert any(needle in p for p in problems), (needle, out)


def test_verify_reports_cursor_outside_matrix_and_a_corrupt_chunk(tmp_path, capsys, monkeypatch):
    path = h5py_file(str(tmp_path / "f.h5"), matrix_with_gaps(), cursor_col=np.int64(COLS))
    with h5py.File(path, "r") as f:
        info = f["data"].id.get_chunk_info_by_coord((0, 16))
    with open(path, "r+b") as raw:
        raw.seek(info.byte_offset + 10)
        raw.write(b"\xff" * 64)
    status, out, _ = quorbel(capsys, monkeypatch, "verify", path)
    assert status == 1
    assert f"cursor_col {COLS} lies outside" in out
    assert "the chunk at row 0, column 16 cannot be read" in out
    assert "2 problems" in out


def read_png(path):
    """The pixels of an 8-bit RGB PNG, decoded with zlib, every CRC checked."""
    with open(path, "rb") as f:
        blob = f.read()
    assert blob[:8] == b"\x89PNG\r\n\x1a\n"
    chunks, at = {}, 8
    while at < len(blob):
        (length,) = struct.unpack(">I", blob[at:at + 4])
        kind, body = blob[at + 4:at + 8], blob[at + 8:at + 8 + length]
        (crc,) = struct.unpack(">I", blob[at + 8 + length:at + 12 + length])
        assert crc == zlib.crc32(kind + body)
        chunks[kind] = body
        at += 12 + length
    width, height, depth, colour = struct.unpack(">IIBB", chunks[b"IHDR"][:10])
    assert (depth, colour) == (8, 2) and b"IEND" in chunks
    raw = zlib.decompress(chunks[b"IDAT"])
    assert len(raw) == height * (1 + width * 3)
    lines = [raw[y * (1 + width * 3):(y + 1) * (1 + width * 3)] for y in range(height)]
    assert all(line[0] == 0 for line in lines)
    return np.frombuffer(b"".join(line[1:] for line in lines), np.uint8).reshape(height, width, 3)


def test_coverage_draws_values_gaps_and_cursor(detail, factor, tmp_path, capsys, monkeypatch):
    png = str(tmp_path / "coverage.png")
    status, out, err = quorbel(capsys, monkeypatch, "coverage", factor, "-o", png)
    assert status == 0, err
    assert "100%" in err
    image = read_png(png)
    # By default the dates holding values (columns 0 to 59), one pixel per
    # cell, at the top left; the labels lie right of and below it.
    assert "60 dates left to right (columns 0 to 59" in out
    pixels = image[:ROWS, :60]
    assert image.shape[0] > ROWS and image.shape[1] > 60
    white = (pixels == 255).all(axis=2)
    red = (pixels == [220, 30, 30]).all(axis=2)
    assert red[:, 59].all() and red.sum() == ROWS
    filled = ~white & ~red
    assert (filled == ~np.isnan(matrix_with_gaps()[:, :60]))[:, :59].all()
    assert not (image[ROWS:] == 255).all() and not (image[:ROWS, 60:] == 255).all()  # years, instrument counts
    # Dates asked for: the section past the values is white, the cursor outside it.
    status, out, err = quorbel(capsys, monkeypatch, "coverage", factor, "-o", png, "--start",
                               str(date_of(detail, 60)), "--end", str(date_of(detail, 89)))
    assert status == 0, err
    assert (read_png(png)[:ROWS, :30] == 255).all()


def test_coverage_downsamples_large_matrices(factor, tmp_path, capsys, monkeypatch):
    png = str(tmp_path / "small.png")
    status, _, err = quorbel(capsys, monkeypatch, "coverage", factor, "-o", png, "--width", "30", "--height", "40")
    assert status == 0, err
    pixels = read_png(png)[:40, :30]
    assert "the plot 30 x 40 at the top left" in _
    # rows 0-39 are full over the 60 dates holding values but the gap: dark, not white
    assert (pixels[0, :9] < 200).all() and (pixels[-1, :29] == 255).all()


def test_rewrite_keeps_every_cell(factor, capsys, monkeypatch):
    before = h5py.File(factor, "r")["data"][...]
    status, out, err = quorbel(capsys, monkeypatch, "rewrite", factor)
    assert status == 0, err
    assert out.startswith(f"rewrote {factor}")
    with h5py.File(factor, "r") as f:
        np.testing.assert_array_equal(f["data"][...], before)
        assert f["data"].attrs["cursor_col"] == 59


def test_rewrite_shows_its_progress(factor, capfd, monkeypatch):
    status, _, err = quorbel(capfd, monkeypatch, "rewrite", factor)
    assert status == 0
    bar = err.replace("\r", "\n")
    assert "reading  [" in bar and "writing  [" in bar and bar.count("100%") == 2


def test_show_prints_the_panel_table(detail, market, factor, capsys, monkeypatch):
    import pandas as pd

    calendar = [int(d.strftime("%Y%m%d")) for d in pd.bdate_range("2018-01-02", periods=COLS)]
    market.set_calendar(calendar)
    market.set_instruments({"A": 0, "B": 10, "LATE": 50})
    status, out, err = quorbel(capsys, monkeypatch, "show", factor, "B", "NOPE", "A",
                               "--start", str(calendar[18]), "--end", str(calendar[21]))
    assert status == 0, err
    assert "not in the instrument index: NOPE" in err
    header, *rows = out.splitlines()
    assert header.split() == ["B", "A"]
    values = matrix_with_gaps()
    assert len(rows) == 5 and rows[0].split()[0] == "date"
    assert rows[1].split()[1:] == [f"{values[10, 18]:.6f}", f"{values[0, 18]:.6f}"]
    assert rows[3].split()[1:] == ["NaN", "NaN"]


def test_failures_exit_non_zero_with_a_message(detail, market, tmp_path, capsys, monkeypatch):
    market.set_instruments({})
    not_h5 = tmp_path / "text.h5"
    not_h5.write_text("hello")
    empty = h5py_file(str(tmp_path / "e.h5"), matrix_with_gaps())
    cases = [
        (["info", str(tmp_path / "missing.h5")], "no such file"),
        (["verify", str(not_h5)], "quorbel: error:"),
        (["show", empty, "X"], "none of the instruments"),
        (["show", empty, "X", "--start", "yesterday"], "not a date"),
    ]
    for argv, message in cases:
        status, _, err = quorbel(capsys, monkeypatch, *argv)
        assert status == 1 and message in err, (argv, err)
    for argv in (["bogus"], ["coverage", empty]):
        status, _, err = quorbel(capsys, monkeypatch, *argv)
        assert status == 2 and "usage: quorbel" in err


@pytest.mark.parametrize("command", ["info", "show", "verify", "coverage", "rewrite"])
def test_every_command_has_help(command, capsys, monkeypatch):
    status, out, _ = quorbel(capsys, monkeypatch, command, "--help")
    assert status == 0 and out.startswith(f"usage: quorbel {command}")


def test_console_script_entry_point_exits_with_main_status(tmp_path):
    # What the installed `quorbel` script does: sys.exit(main()).
    script = "import sys; from quorbel._extras import main; sys.exit(main())"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    ok = subprocess.run([sys.executable, "-c", script, "verify", h5py_file(str(tmp_path / "f.h5"), matrix_with_gaps())],
                        capture_output=True, text=True, env=env, timeout=120)
    assert ok.returncode == 0, ok.stderr
    missing = subprocess.run([sys.executable, "-c", script, "info", str(tmp_path / "nope.h5")],
                             capture_output=True, text=True, env=env, timeout=120)
    assert missing.returncode == 1 and "no such file" in missing.stderr


def test_a_reader_that_goes_away_ends_the_command_quietly(tmp_path):
    # `quorbel info f | head -1`, made certain: the pipe's reading end is
    # closed before the command writes its first line.
    path = h5py_file(str(tmp_path / "f.h5"), matrix_with_gaps())
    script = "import sys; from quorbel._extras import main; sys.exit(main())"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    read_end, write_end = os.pipe()
    os.close(read_end)
    try:
        done = subprocess.run([sys.executable, "-c", script, "info", path], stdout=write_end, stderr=subprocess.PIPE,
                              text=True, env=env, timeout=120)
    finally:
        os.close(write_end)
    # (libmongoc may note on stderr that it counts without shared memory.)
    assert done.returncode == 0
    assert "error" not in done.stderr and "BrokenPipe" not in done.stderr, done.stderr
