"""The folder behind a FactorLibrary: made on request, walked through
symbolic links without looping, and missing factors named with what to do."""

import json
import os

import h5py
import numpy as np
import pytest

import quorbel
from quorbel import cli


def small_factor(path, value=1.0):
    path.parent.mkdir(parents=True, exist_ok=True)
    with h5py.File(path, "w") as f:
        f.create_dataset("data", data=np.full((3, 4), value), chunks=(2, 2), maxshape=(None, None),
                         compression="gzip", compression_opts=9, fillvalue=np.nan)


def test_create_makes_the_root_and_its_parents(tmp_path):
    root = tmp_path / "a" / "b" / "factors"
    with pytest.raises(NotADirectoryError, match=f"not a directory: {root} \\(create=True makes it\\)"):
        quorbel.FactorLibrary(root)
    lib = quorbel.FactorLibrary(root, create=True)
    assert root.is_dir() and lib.root == str(root) and lib.names() == []
    (tmp_path / "file").write_text("")
    with pytest.raises(NotADirectoryError, match="not a directory: .*file$"):
        quorbel.FactorLibrary(tmp_path / "file", create=True)


def test_a_missing_factor_says_how_to_make_it_and_to_drop_the_suffix(tmp_path):
    small_factor(tmp_path / "alpha.h5")
    lib = quorbel.FactorLibrary(tmp_path)
    with pytest.raises(KeyError, match="no factor .beta. in the library at .* \\(writes make missing factors "
                                       "with create=True"):
        lib.read(["beta"])
    with pytest.raises(KeyError, match="factor names leave out '.h5': 'alpha'"):
        lib.info("alpha.h5")


def test_linked_folders_are_walked_once_and_loops_end(tmp_path):
    outside = tmp_path / "outside"
    small_factor(outside / "x.h5")
    root = tmp_path / "lib"
    small_factor(root / "real" / "y.h5")
    os.symlink(outside, root / "linkdir")
    os.symlink(root / "real", root / "again")   # a second way into a folder already walked
    os.symlink(root, root / "real" / "loop")     # a loop back to the root
    os.symlink(tmp_path / "nowhere", root / "gone")  # a link to no folder
    lib = quorbel.FactorLibrary(root)
    assert lib.names() == ["linkdir/x", "real/y"]
    assert "linkdir/x" in lib and "again/y" in lib
    assert cli.main(["ls", str(root), "--json"]) == 0


def test_a_dangling_factor_link_is_skipped_by_names_and_an_error_line_of_ls(tmp_path, capsys):
    small_factor(tmp_path / "alpha.h5")
    os.symlink(tmp_path / "moved.h5", tmp_path / "beta.h5")
    assert quorbel.FactorLibrary(tmp_path).names() == ["alpha"]
    assert cli.main(["ls", str(tmp_path)]) == 1
    lines = capsys.readouterr().out.splitlines()
    assert lines[1].split()[0] == "alpha"
    assert lines[2].split()[0] == "beta"
    assert f"error: dangling symbolic link to {tmp_path / 'moved.h5'}: no such file" in lines[2]
    assert cli.main(["ls", str(tmp_path), "--json"]) == 1
    assert [e.get("error", "")[:8] for e in json.loads(capsys.readouterr().out)] == ["", "dangling"]
