"""Rewriting a factor file into a fresh copy, and removing one; the old content
must survive every failure of the rewrite."""

import os
import subprocess

import h5py
import numpy as np
import pytest

from conftest import run_python


def make_factor(detail, path, shape, columns=(), cursor=None, seed=0):
    """A factor file written through the engine; returns its matrix."""
    rng = np.random.default_rng(seed)
    expected = np.full(shape, np.nan)
    with detail.create_new_factor_h5(str(path), shape) as f:
        data = f["data"]
        for j in columns:
            column = rng.normal(size=shape[0])
            column[rng.random(shape[0]) < 0.3] = np.nan
            data[:, j] = column
            expected[:, j] = column
        if cursor is not None:
            data.attrs["cursor_col"] = cursor
    return expected


def attribute_types(attrs):
    """Each attribute's exact HDF5 type (encoded) and dataspace shape."""
    return {name: (attrs.get_id(name).get_type().encode(), attrs.get_id(name).shape) for name in attrs}


def snapshot(path):
    with h5py.File(path, "r") as f:
        data = f["data"]
        return data[...], attribute_types(data.attrs), dict(data.attrs)


def assert_same_content(path, matrix, types):
    values, after, _ = snapshot(path)
    np.testing.assert_array_equal(values, matrix)  # NaN where NaN
    assert after == types


def test_rewrite_keeps_shape_cells_and_cursor(detail, tmp_path, logs):
    path = tmp_path / "big.h5"
    matrix = make_factor(detail, path, (4800, 2750), columns=range(0, 2601, 100), cursor=2600)
    with h5py.File(path, "r+") as f:
        f.attrs["root_note"] = "dropped"
        f["extra"] = [1, 2, 3]
    logs_before = len(logs())

    assert detail.rewrite_factor(str(path)) is None

    with h5py.File(path, "r") as f:
        assert list(f.keys()) == ["data"] and len(f.attrs) == 0
        data = f["data"]
        assert data.shape == (4800, 2750) and data.maxshape == (None, None)
        assert data._filters == {"gzip": 9} and np.isnan(data.fillvalue)
        cursor = data.attrs.get_id("cursor_col")
        assert cursor.dtype == np.dtype("<i8") and cursor.shape == ()
        assert data.attrs["cursor_col"] == 2600
        np.testing.assert_array_equal(data[...], matrix)
        assert np.isnan(data[:, 2601:]).all()
    assert logs()[logs_before:] == [
        ("INFO", "rewrite factor, %s", (str(path),)),
        ("INFO", "create factor %s", (str(path),)),
        ("INFO", "finish create factor %s", (str(path),)),
        ("INFO", "rewrite factor success, %s", (str(path),)),
    ]
    assert os.listdir(tmp_path) == ["big.h5"]


def test_every_attribute_keeps_value_and_type(detail, tmp_path):
    path = tmp_path / "attrs.h5"
    make_factor(detail, path, (6, 5), columns=[2], cursor=2)
    with h5py.File(path, "r+") as f:
        a = f["data"].attrs
        for name, value in [("i1", np.int8(-3)), ("u2", np.uint16(65535)), ("i4be", np.array([1, -2], ">i4")),
                            ("u8", np.uint64(2**64 - 1)), ("f4", np.float32(1.5)), ("nan", np.nan),
                            ("matrix", np.arange(6.0).reshape(2, 3)), ("text", "héllo"),
                            ("fixed", np.bytes_(b"abc")), ("flag", True), ("empty", h5py.Empty("f8")),
                            ("names", np.array(["a", "bb"], dtype=h5py.string_dtype())), ("ünï", 7)]:
            a[name] = value
        a.create("ragged", data=[np.array([1, 2], "i4"), np.array([3], "i4")], dtype=h5py.vlen_dtype("i4"))
        a.create("pair", data=np.array([(1, 2.0)], dtype=[("x", "<i2"), ("y", ">f8")]))
    matrix, types, values = snapshot(path)

    detail.rewrite_factor(path)  # os.PathLike works too

    after_matrix, after_types, after_values = snapshot(path)
    np.testing.assert_array_equal(after_matrix, matrix)
    assert after_types == types
    assert after_values.keys() == values.keys()
    for name, value in values.items():
        if isinstance(value, h5py.Empty):
            assert after_values[name] == value
        elif name == "ragged":
            assert [list(x) for x in after_values[name]] == [[1, 2], [3]]
        else:
            np.testing.assert_array_equal(after_values[name], value)


def test_file_without_cursor_stays_without(detail, tmp_path):
    path = tmp_path / "fresh.h5"
    make_factor(detail, path, (3, 4))
    detail.rewrite_factor(str(path))
    matrix, types, _ = snapshot(path)
    assert types == {} and matrix.shape == (3, 4) and np.isnan(matrix).all()


def unusable_files(tmp_path):
    other = tmp_path / "other.h5"
    with h5py.File(other, "w") as f:
        f["values"] = [1.0]
    with_reference = tmp_path / "ref.h5"
    with h5py.File(with_reference, "w") as f:
        f.create_dataset("data", data=np.zeros((2, 2)))
        f["data"].attrs["link"] = f["data"].ref  # means nothing in another file
    text = tmp_path / "text.h5"
    text.write_text("not hdf5")
    return [(other, KeyError), (with_reference, ValueError), (text, OSError)]


def test_missing_or_unusable_file_is_left_alone(detail, tmp_path, logs):
    missing = tmp_path / "missing.h5"
    with pytest.raises(FileNotFoundError, match="Unable to open file"):
        detail.rewrite_factor(str(missing))
    assert logs() == [("INFO", "rewrite factor, %s", (str(missing),))]
    assert os.listdir(tmp_path) == []

    for path, kind in unusable_files(tmp_path):
        before = path.read_bytes()
        with pytest.raises(kind):
            detail.rewrite_factor(str(path))
        assert path.read_bytes() == before
    assert {r[1] for r in logs()} == {"rewrite factor, %s"}
    assert sorted(os.listdir(tmp_path)) == ["other.h5", "ref.h5", "text.h5"]


def raises_first(path, shape):
    raise RuntimeError("no room")


def interrupted_first(path, shape):
    raise KeyboardInterrupt


def too_small(original):
    return lambda path, shape: original(path, (1, 1))


@pytest.mark.parametrize("replacement, kind", [
    (lambda original: raises_first, RuntimeError),
    (lambda original: interrupted_first, KeyboardInterrupt),
    (lambda original: lambda path, shape: None, TypeError),
    (too_small, ValueError),  # the new file exists and filling it fails
])
def test_failed_creation_or_write_leaves_the_old_file(detail, tmp_path, monkeypatch, logs, replacement, kind):
    path = tmp_path / "f.h5"
    make_factor(detail, path, (40, 30), columns=[0, 7, 29], cursor=29)
    matrix, types, _ = snapshot(path)
    monkeypatch.setattr(detail, "create_new_factor_h5", replacement(detail.create_new_factor_h5))

    with pytest.raises(kind):
        detail.rewrite_factor(str(path))

    assert_same_content(path, matrix, types)
    assert os.listdir(tmp_path) == ["f.h5"]
    assert "rewrite factor success, %s" not in [r[1] for r in logs()]


def write_competitor(path):
    with open(path, "wb") as f:
        f.write(b"competitor")


def overwritten_in_place(original):
    # Bytes written into the old file by a process ignoring its lock: the
    # rewrite still publishes the whole copy it read.
    def create(path, shape):
        write_competitor(path)
        return original(path, shape)
    return create


def replaced_meanwhile(original):
    def create(path, shape):
        f = original(path, shape)
        os.remove(path)
        write_competitor(path)
        return f
    return create


def removed_meanwhile(original):
    def create(path, shape):
        os.remove(path)
        return original(path, shape)
    return create


def unknown_file_left_behind(original):
    def create(path, shape):
        original(path, shape).close()
        raise RuntimeError("after creating")
    return create


def overwritten_then_interrupt(original):
    def create(path, shape):
        original(path, shape)
        write_competitor(path)
        raise KeyboardInterrupt
    return create


@pytest.mark.parametrize("replacement, kind, at_path", [
    (overwritten_in_place, None, "copy"),
    (replaced_meanwhile, FileExistsError, "competitor"),
    (removed_meanwhile, FileNotFoundError, None),
    (unknown_file_left_behind, RuntimeError, "copy"),
    (overwritten_then_interrupt, KeyboardInterrupt, "competitor"),
])
def test_changes_at_the_path_meanwhile(detail, tmp_path, monkeypatch, replacement, kind, at_path):
    """A removal or replacement by another process stands; the rewrite's own
    copy never stays behind under its temporary name."""
    path = tmp_path / "f.h5"
    matrix = make_factor(detail, path, (20, 10), columns=[3], cursor=3)
    monkeypatch.setattr(detail, "create_new_factor_h5", replacement(detail.create_new_factor_h5))

    if kind is None:
        detail.rewrite_factor(str(path))
    else:
        with pytest.raises(kind) as info:
            detail.rewrite_factor(str(path))
        if kind in (FileExistsError, FileNotFoundError):
            assert str(path) in str(info.value) and "the new copy was dropped" in str(info.value)

    assert os.listdir(tmp_path) == ([] if at_path is None else ["f.h5"])
    if at_path == "copy":
        np.testing.assert_array_equal(snapshot(path)[0], matrix)
    elif at_path == "competitor":
        assert path.read_bytes() == b"competitor"


FULL_STORAGE_CHILD = """
import os, resource, signal
import quorbel.detail as d
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
if {limit}:
    resource.setrlimit(resource.RLIMIT_FSIZE, ({limit}, {limit}))
try:
    d.rewrite_factor({path!r})
    print("rewritten", flush=True)
except OSError as e:
    print("OSError", e.errno, flush=True)
# HDF5 1.10.8 cannot close a file whose metadata could not be written, and
# its exit handler trips over it; skip the handlers.
os._exit(0)
"""


@pytest.fixture
def small_tmpfs(tmp_path):
    mount_point = tmp_path / "small"
    mount_point.mkdir()
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=512k", "tmpfs", str(mount_point)],
                             capture_output=True)
    if mounted.returncode != 0:
        pytest.skip("cannot mount a tmpfs here: " + mounted.stderr.decode().strip())
    yield mount_point
    subprocess.run(["umount", str(mount_point)], check=True)


@pytest.mark.parametrize("storage", ["file size limit", "full tmpfs"])
def test_full_storage_keeps_the_old_file(detail, tmp_path, request, storage):
    directory = request.getfixturevalue("small_tmpfs") if storage == "full tmpfs" else tmp_path
    path = directory / "f.h5"
    # Random values barely compress, so the file nearly fills the 512 KiB tmpfs
    # and a second copy cannot fit beside it.
    make_factor(detail, path, (300, 200), columns=range(200), cursor=199)
    matrix, types, _ = snapshot(path)
    assert os.path.getsize(path) > 256 * 1024

    proc = run_python(FULL_STORAGE_CHILD.format(path=str(path), limit=64 * 1024 if storage == "file size limit" else 0))

    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split()[:2] == ["OSError", "27" if storage == "file size limit" else "28"]
    assert_same_content(path, matrix, types)
    assert os.listdir(directory) == ["f.h5"]


def test_remove_factor(detail, tmp_path, logs):
    path = tmp_path / "gone.h5"
    make_factor(detail, path, (2, 2))
    logs_before = len(logs())
    assert detail.remove_factor(str(path)) is None
    assert not path.exists()
    with pytest.raises(FileNotFoundError) as info:
        detail.remove_factor(path)
    assert info.value.filename == path
    with pytest.raises(IsADirectoryError):
        detail.remove_factor(str(tmp_path))
    assert len(logs()) == logs_before


@pytest.mark.parametrize("call", [
    lambda d, p: d.rewrite_factor(path=p),
    lambda d, p: d.remove_factor(path=p),
    lambda d, p: d.rewrite_factor(p, p),
    lambda d, p: d.remove_factor(None),
])
def test_argument_rules(detail, tmp_path, logs, call):
    path = tmp_path / "kept.h5"
    path.write_bytes(b"kept")
    with pytest.raises(TypeError):
        call(detail, str(path))
    assert path.read_bytes() == b"kept" and logs() == []


@pytest.mark.parametrize("mode", [0o600, 0o640, 0o444])
def test_rewrite_keeps_permissions_and_group(detail, tmp_path, monkeypatch, mode):
    path = tmp_path / "f.h5"
    matrix = make_factor(detail, path, (8, 6), columns=[1], cursor=1)
    group = 1 if os.geteuid() == 0 else os.getegid()  # another group where the process may
    os.chown(path, -1, group)
    os.chmod(path, mode)
    seen = []

    def watching(original):
        def create(p, shape):
            f = original(p, shape)
            # The copy is never readable by more people than the old file.
            seen.extend(os.stat(tmp_path / n).st_mode & 0o077 for n in os.listdir(tmp_path) if n.endswith(".tmp"))
            return f
        return create

    monkeypatch.setattr(detail, "create_new_factor_h5", watching(detail.create_new_factor_h5))
    detail.rewrite_factor(str(path))

    info = os.stat(path)
    assert oct(info.st_mode & 0o7777) == oct(mode) and info.st_gid == group
    assert len(seen) == 1 and seen[0] & ~mode == 0
    np.testing.assert_array_equal(snapshot(path)[0], matrix)

