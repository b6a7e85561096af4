"""Creating factor files: layout as an independent reader sees it, and failures."""

import math
import os
import shutil
import subprocess
import sys
import textwrap

import h5py
import numpy as np
import pytest

from conftest import run_python


def h5py_layout(path):
    with h5py.File(path, "r") as f:
        assert list(f.keys()) == ["data"]
        assert len(f.attrs) == 0
        d = f["data"]
        return {
            "shape": d.shape,
            "dtype": d.dtype.str,
            "chunks": d.chunks,
            "maxshape": d.maxshape,
            "filters": d._filters,
            "fill": d.fillvalue,
            "attrs": dict(d.attrs),
            "values": d[...],
        }


def test_fresh_file_layout(detail, tmp_path, logs):
    path = str(tmp_path / "factor.h5")
    f = detail.create_new_factor_h5(path, (130, 77))
    assert f and f.mode == "r+" and f.filename == path
    f.close()
    assert not f

    layout = h5py_layout(path)
    assert layout["shape"] == (130, 77)
    assert layout["dtype"] == "<f8"
    assert layout["maxshape"] == (None, None)
    assert layout["filters"] == {"gzip": 9}  # DEFLATE 9 only: no shuffle, no checksum
    assert math.isnan(layout["fill"])
    assert layout["attrs"] == {}
    assert np.isnan(layout["values"]).all()
    assert logs() == [
        ("INFO", "create factor %s", (path,)),
        ("INFO", "finish create factor %s", (path,)),
    ]


@pytest.mark.parametrize(
    "shape",
    [(0, 0), (0, 250), (500, 0), (1, 1), (3, 5), (500, 250), (4800, 2750), (5800, 5550), (6300, 5593),
     (100000, 3), (7, 100000), (20000, 20000)],
)
def test_chunk_shape_matches_common_tooling(detail, tmp_path, shape):
    path = tmp_path / "f.h5"
    detail.create_new_factor_h5(str(path), shape).close()
    with h5py.File(tmp_path / "ref.h5", "w") as ref:
        expected = ref.create_dataset("d", shape=shape, maxshape=(None, None), dtype="<f8", compression=9).chunks
    with h5py.File(path, "r") as f:
        assert f["data"].chunks == expected


def test_resize_both_axes_reads_nan(detail, tmp_path):
    path = str(tmp_path / "f.h5")
    with detail.create_new_factor_h5(path, (10, 8)) as f:
        data = f["data"]
        data[:, 3] = np.arange(10.0)
        data.attrs["cursor_col"] = 3
        data.resize((510, 258))
        assert data.shape == (510, 258)
    with h5py.File(path, "r") as f:
        values = f["data"][...]
        assert f["data"].attrs["cursor_col"] == 3
    assert values.shape == (510, 258)
    np.testing.assert_array_equal(values[:10, 3], np.arange(10.0))
    values[:10, 3] = np.nan
    assert np.isnan(values).all()


def test_existing_path_is_untouched(detail, tmp_path, logs):
    path = tmp_path / "taken.h5"
    path.write_bytes(b"somebody else's bytes")
    with pytest.raises(OSError) as info:
        detail.create_new_factor_h5(str(path), (5, 5))
    assert isinstance(info.value, FileExistsError) and info.value.errno == 17
    assert "errno = 17" in str(info.value).splitlines()[0]
    assert detail.do_not_decrease_when_temporarily_unavailable(info.value) is False
    assert path.read_bytes() == b"somebody else's bytes"
    assert logs() == [("INFO", "create factor %s", (str(path),))]


def test_missing_directory(detail, tmp_path, logs):
    path = tmp_path / "no" / "such" / "dir.h5"
    with pytest.raises(OSError) as info:
        detail.create_new_factor_h5(str(path), (5, 5))
    assert info.value.errno == 2 and f"name = '{path}'" in str(info.value)
    assert not path.parent.exists()
    assert [r for r in logs() if r[0] == "ERROR"] == []


def test_failed_dataset_creation_removes_the_file(tmp_path):
    # A file-size limit lets the exclusive create through and fails the
    # writing of the dataset, as a full disk would.
    path = tmp_path / "limited.h5"
    proc = run_python(
        f"""
        import logging, resource, signal
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        records = []
        class Keep(logging.Handler):
            def emit(self, r): records.append((r.levelname, r.msg, r.args))
        logging.getLogger().addHandler(Keep()); logging.getLogger().setLevel(logging.INFO)
        import quorbel.detail as d
        resource.setrlimit(resource.RLIMIT_FSIZE, (700, 700))
        try:
            d.create_new_factor_h5({str(path)!r}, (100, 100))
        except OSError as e:
            print("OSError", e.errno, e)
        print(records, flush=True)
        """
    )
    assert proc.returncode == 0, proc.stderr  # the half-made file closed cleanly too
    first, second = proc.stdout.strip().splitlines()
    assert first.startswith("OSError 27 ")  # EFBIG
    assert ".tmp" not in first  # errors never name the temporary
    assert second == repr([
        ("INFO", "create factor %s", (str(path),)),
        ("ERROR", "create factor %s failed", (str(path),)),
    ])
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize(
    "shape, kind",
    [((1.5, 2), TypeError), ((-1, 2), ValueError), ((1,), ValueError), ((1, 2, 3), ValueError),
     ("ab", TypeError), (None, TypeError), ((True, 2), TypeError), ((1, "2"), TypeError)],
)
def test_bad_shape(detail, tmp_path, logs, shape, kind):
    path = tmp_path / "bad.h5"
    with pytest.raises(kind, match="shape"):
        detail.create_new_factor_h5(str(path), shape)
    assert not path.exists()
    assert logs() == []


@pytest.mark.parametrize("path, kind", [(42, TypeError), (None, TypeError), ("", ValueError), ("a\0b", ValueError)])
def test_bad_path(detail, logs, path, kind):
    with pytest.raises(kind):
        detail.create_new_factor_h5(path, (1, 1))
    assert logs() == []


def test_path_like_and_numpy_shape(detail, tmp_path):
    with detail.create_new_factor_h5(tmp_path / "p.h5", (np.int64(4), np.int32(6))) as f:
        assert f["data"].shape == (4, 6)
    assert os.path.exists(tmp_path / "p.h5")


def test_handle_rules(detail, tmp_path):
    f = detail.create_new_factor_h5(str(tmp_path / "h.h5"), (6, 4))
    data = f["data"]
    with pytest.raises(KeyError, match="nope"):
        f["nope"]
    data[:, 1] = [1, 2, 3, 4, 5, 6]
    np.testing.assert_array_equal(data[2, 0:3], [np.nan, 3.0, np.nan])
    np.testing.assert_array_equal(data[:, 1], np.arange(1.0, 7.0))
    assert data[-1, 1] == 6.0
    with pytest.raises(IndexError):
        data[6, 0]
    data.attrs["text"] = "hello"
    data.attrs["levels"] = np.array([1.5, 2.5])
    assert data.attrs["text"] == "hello" and "levels" in data.attrs
    np.testing.assert_array_equal(data.attrs["levels"], [1.5, 2.5])
    del data.attrs["text"]
    assert data.attrs.keys() == ["levels"] and data.attrs.get("text") is None
    f.flush()
    f.close()
    f.close()  # closing twice is fine
    for use in (lambda: data.shape, lambda: data[0, 0], lambda: f["data"], f.flush):
        with pytest.raises(ValueError, match="closed"):
            use()


def start_time(pid):
    with open(f"/proc/{pid}/stat") as f:
        line = f.read()
    return int(line[line.rindex(")") + 2:].split()[19])


def boot_tag():
    with open("/proc/sys/kernel/random/boot_id") as f:
        return f.read()[:8]


def temporary(directory, name, pid, start, boot=None):
    path = directory / f".{name}.{pid}-{start}-{boot or boot_tag()}-{'0' * 16}.tmp"
    path.write_bytes(b"half made")
    return path


@pytest.mark.parametrize("operation", ["create", "rewrite"])
def test_temporaries_of_dead_processes_are_removed(detail, tmp_path, operation):
    path = tmp_path / "f.h5"
    if operation == "rewrite":
        detail.create_new_factor_h5(str(path), (3, 2)).close()
    sleeper = subprocess.Popen(["sleep", "60"])
    gone = (sleeper.pid, start_time(sleeper.pid))
    sleeper.kill()
    sleeper.wait()
    me = (os.getpid(), start_time(os.getpid()))
    other_boot = "ffffffff" if boot_tag() != "ffffffff" else "eeeeeeee"
    dead = [temporary(tmp_path, "f.h5", *gone),
            temporary(tmp_path, "f.h5", me[0], me[1] + 1),  # the pid now belongs to a later process
            temporary(tmp_path, "f.h5", *me, boot=other_boot)]  # made before the machine restarted
    journal = tmp_path / f".{dead[0].name}.journal"
    journal.write_bytes(b"journal")
    kept = [temporary(tmp_path, "f.h5", *me),  # a live process's
            temporary(tmp_path, "g.h5", *gone),  # another factor's
            tmp_path / ".f.h5.1-2.tmp"]  # not one of the engine's names
    kept[-1].write_bytes(b"")

    if operation == "rewrite":
        detail.rewrite_factor(str(path))
    else:
        detail.create_new_factor_h5(str(path), (3, 2)).close()

    assert sorted(os.listdir(tmp_path)) == sorted(["f.h5"] + [p.name for p in kept])


@pytest.mark.skipif(shutil.which("strace") is None, reason="strace is not installed")
def test_published_handle_uses_the_path(tmp_path):
    """After publishing, the open handle's name and its undo journal are the
    path's, not the temporary's."""
    path = tmp_path / "f.h5"
    code = f"""
        import types, quorbel.detail as d
        d.get_all_trading_dates = lambda: [20200102, 20200103]
        d._get_all_instrument_index = lambda: {{"A": 0}}
        h5 = d.get_h5({str(path)!r}, True)
        print(h5.filename, repr(h5))
        d.put_factor_value(h5, 20200103, [types.SimpleNamespace(order_book_id="A", value=1.5)])
        h5.close()
    """
    trace = tmp_path / "trace"
    proc = subprocess.run(["strace", "-f", "-qq", "-e", "trace=openat,unlink", "-o", str(trace), sys.executable,
                           "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split(maxsplit=1) == [str(path), f"<FactorFile '{path}' (mode 'r+')>\n"]
    journals = {line.split('"')[1] for line in trace.read_text().splitlines() if ".journal" in line}
    assert journals == {str(tmp_path / ".f.h5.journal")}
    with h5py.File(path, "r") as f:
        assert f["data"][0, 1] == 1.5
