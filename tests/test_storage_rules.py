"""Reads of matrices in every storage layout, hidden companion files of a
factor file, and the system error number the file driver meets."""

import errno
import os

import h5py
import numpy as np
import pytest

import quorbel

CALENDAR = [20180102, 20180103, 20180104, 20180105, 20180108]
IDS = [f"I{i}" for i in range(9)]


@pytest.mark.parametrize(
    "layout",
    [
        dict(chunks=(2, 2), compression="gzip", compression_opts=4, shuffle=True, maxshape=(None, None)),
        dict(chunks=(4, 3), fletcher32=True, maxshape=(None, None)),
        dict(chunks=(3, 2)),
        dict(),  # contiguous
    ],
    ids=["shuffle-deflate", "checksummed", "unfiltered", "contiguous"],
)
def test_every_row_reader_sees_what_h5py_stored(detail, market, tmp_path, layout):
    """Layouts the engine leaves to HDF5's pipeline read the same through the
    row stream, the panel and the library cube, over a middle date section."""
    market.set_calendar(CALENDAR)
    market.set_instruments({k: i for i, k in enumerate(IDS)})
    rng = np.random.default_rng(11)
    model = rng.normal(size=(len(IDS), len(CALENDAR)))
    model[rng.random(model.shape) < 0.3] = np.nan
    root = tmp_path / "lib"
    root.mkdir()
    path = root / "foreign.h5"
    with h5py.File(path, "w") as f:
        f.create_dataset("data", data=model, dtype="<f8", fillvalue=np.nan, **layout)
    wanted = model[:, 1:4]  # 20180103 .. 20180105

    with detail.get_h5(str(path)) as h5:
        rows = dict(detail.get_factor_value(h5, IDS[::-1], 20180103, 20180105))
    assert sorted(rows) == sorted(IDS)
    for i, k in enumerate(IDS):
        np.testing.assert_array_equal(rows[k], wanted[i])

    frame = quorbel.read_panel(str(path), IDS, 20180103, 20180105)
    np.testing.assert_array_equal(frame.to_numpy(), wanted.T)

    cube = quorbel.FactorLibrary(root).read(ids=IDS, start=20180103, end=20180105)
    np.testing.assert_array_equal(cube.sel(factor="foreign").to_numpy(), wanted.T)

    with h5py.File(path, "r") as f:  # reading changed nothing
        np.testing.assert_array_equal(f["data"][...], model)


def test_journal_and_temporaries_of_a_long_name(detail, market, tmp_path):
    """The journal names the whole file name; temporaries cut it, and a dead
    temporary goes together with the journal named after it."""
    market.set_calendar(CALENDAR)
    name = "f" * 200 + ".h5"
    path = tmp_path / name
    with open("/proc/sys/kernel/random/boot_id") as f:
        boot = f.read()[:8]
    earlier_boot = "%08x" % (int(boot, 16) ^ 1)  # its maker ran before this boot
    temporary = tmp_path / f".{name[:180]}.{os.getpid()}-0-{earlier_boot}-0123456789abcdef.tmp"
    temporary.write_bytes(b"")
    temporary_journal = tmp_path / f".{temporary.name}.journal"
    temporary_journal.write_bytes(b"")
    alive = tmp_path / f".{name[:180]}.{os.getpid()}-0-{boot}-0123456789abcdef.tmp"
    alive.write_bytes(b"")

    detail.create_new_factor_h5(str(path), (3, 2)).close()

    assert not temporary.exists() and not temporary_journal.exists()
    assert alive.exists()  # its maker still runs
    layout = quorbel._extras._matrix_layout(str(path))
    assert layout["journal"] == str(tmp_path / f".{name}.journal")
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted([name, alive.name])


def test_driver_error_number_reaches_the_exception(detail, tmp_path):
    """The number travels with the driver's error, not in its text alone."""
    with pytest.raises(IsADirectoryError) as info:
        detail.get_h5.__wrapped__(str(tmp_path))
    assert info.value.errno == errno.EISDIR
    assert str(info.value).startswith("[Errno 21] Unable to open file (file read failed: filename = ")
