"""Which factors a library folder holds: their names, their files, what each file tells.

A factor's name is its path relative to the library's root without ".h5"
("style/momentum_20d"). Names that reach one file, through a symbolic or a
hard link, are told apart by the device and inode of the file reached.
"""

from __future__ import annotations

import dataclasses
import errno
import os
import stat
from collections.abc import Iterable
from typing import Any, Optional

from .. import _extras, detail

__all__ = ["SUFFIX", "FactorInfo", "check_hdf5_signature"]

SUFFIX = ".h5"
_HDF5_SIGNATURE = b"\x89HDF\r\n\x1a\n"


@dataclasses.dataclass(frozen=True)
class FactorInfo:
    """What :meth:`FactorLibrary.info` tells about one factor file.

    Parameters
    ----------
    name : str
        The factor's name, such as ``"style/momentum_20d"``.
    path : str
        Its file.
    shape : tuple of int
        ``(rows, columns)`` of the matrix: instruments x trading dates.
    cursor_col : int or None
        The file's cursor column, None when the file has none.
    cursor_date : int or None
        The date code of `cursor_col`; None beyond the calendar.
    last_value_col : int or None
        The last column holding any value, None when no column does.
    last_value_date : int or None
        The date code of `last_value_col`; None beyond the calendar.
    size : int
        Bytes on disk.
    meta : dict
        The metadata that :meth:`FactorLibrary.describe` stored; {} when
        none.

    See Also
    --------
    FactorLibrary.info : Makes one.

    Examples
    --------
    >>> lib = FactorLibrary("/data/factors")
    >>> info = lib.info("style/momentum_20d")
    >>> info.shape, info.cursor_date, info.last_value_date
    ((5800, 4750), 20231229, 20231229)
    """

    name: str
    path: str
    shape: tuple            # (rows, columns) of the matrix
    cursor_col: Optional[int]
    cursor_date: Optional[int]       # the date code of cursor_col
    last_value_col: Optional[int]    # the last column holding any value
    last_value_date: Optional[int]
    size: int               # bytes on disk
    # A dict can't be hashed: an info stays hashable by its other fields.
    meta: dict = dataclasses.field(default_factory=dict, hash=False)


def check_hdf5_signature(path: str) -> None:
    """Checks that a file starts like an HDF5 file, before the engine opens it.

    The signature is looked for at offset 0 and at every power of two from
    512 on, where HDF5 places it behind a user block. This saves the retries
    of ``get_h5``, meant for locked files, on a file that can never open.

    Parameters
    ----------
    path : str
        The file.

    Returns
    -------
    None

    Raises
    ------
    OSError
        Naming `path`: when the file cannot be read, or holds no HDF5
        signature.

    Examples
    --------
    >>> check_hdf5_signature("/data/factors/style/momentum_20d.h5")
    >>> check_hdf5_signature("/etc/hostname")
    Traceback (most recent call last):
        ...
    OSError: [Errno 5] not a factor file (no HDF5 signature): /etc/hostname: '/etc/hostname'
    """
    try:
        with open(path, "rb") as f:
            size = os.fstat(f.fileno()).st_size
            offset = 0
            while offset + len(_HDF5_SIGNATURE) <= size:
                f.seek(offset)
                if f.read(len(_HDF5_SIGNATURE)) == _HDF5_SIGNATURE:
                    return
                offset = 512 if offset == 0 else offset * 2
    except OSError as e:
        raise OSError(e.errno, f"cannot read factor file {path}: {e.strerror}") from e
    raise OSError(errno.EIO, f"not a factor file (no HDF5 signature): {path}", path)


def _factor_entries(root: str) -> list:
    """(name, path) of every ``*.h5`` entry under `root`, dangling links
    included. Folders reached through symbolic links are walked too, each
    folder once (a link back to a folder already walked, a loop included,
    adds nothing); real folders are walked before linked ones, so a file
    keeps the name of its real place when a link also reaches it."""
    found, walked = [], set()
    real, linked = [("", root)], []
    while real or linked:
        relative, folder = real.pop() if real else linked.pop(0)
        try:
            status = os.stat(folder)
            entries = sorted(os.scandir(folder), key=lambda e: e.name)
        except OSError:  # gone since, unreadable, or a link to nothing
            continue
        if (status.st_dev, status.st_ino) in walked:
            continue
        walked.add((status.st_dev, status.st_ino))
        for entry in entries:
            if entry.name.startswith("."):
                continue
            name = f"{relative}/{entry.name}" if relative else entry.name
            try:
                if entry.is_dir(follow_symlinks=False):
                    real.append((name, entry.path))
                    continue
                if entry.is_symlink() and entry.is_dir():
                    linked.append((name, entry.path))
                    continue
            except OSError:
                continue
            if entry.name.endswith(SUFFIX) and len(entry.name) > len(SUFFIX):
                found.append((name[: -len(SUFFIX)], entry.path))
    return found


def _factor_names(root: str) -> list:
    """Every factor under `root`, sorted, each file once (see FactorLibrary.names)."""
    kept = {}  # the file reached -> (name, path)
    for name, path in sorted(_factor_entries(root)):
        try:
            status = os.stat(path)
        except OSError:  # a dangling link, or a file gone since the walk
            continue
        if not stat.S_ISREG(status.st_mode):
            continue
        reached = (status.st_dev, status.st_ino)
        if reached not in kept or (os.path.islink(kept[reached][1]) and not os.path.islink(path)):
            kept[reached] = (name, path)
    return sorted(name for name, _ in kept.values())


def _dangling_factors(root: str) -> list:
    """(name, path, target) of each ``*.h5`` symbolic link under `root` that
    reaches no file, sorted by name."""
    dangling = []
    for name, path in sorted(_factor_entries(root)):
        if os.path.islink(path) and not os.path.exists(path):
            try:
                target = os.readlink(path)
            except OSError:
                target = "?"
            dangling.append((name, path, target))
    return dangling


def _factor_path(root: str, name: str) -> str:
    """The file of a factor name under `root`, whether or not it exists."""
    if not isinstance(name, str):
        raise TypeError(f"a factor name must be a str, not {type(name).__name__}")
    parts = name.split("/")
    if not name or any(p in ("", ".", "..") or p.startswith(".") or "\\" in p or "\0" in p for p in parts):
        raise ValueError(f"{name!r} is not a factor name (a relative path such as 'style/momentum_20d', "
                         "without '.h5', hidden parts, '.' or '..')")
    return os.path.join(root, *parts) + SUFFIX


def _existing_path(root: str, name: str) -> str:
    """The file of a factor that exists; KeyError naming it otherwise."""
    path = _factor_path(root, name)
    if not os.path.isfile(path):
        hint = "writes make missing factors with create=True"
        if name.endswith(SUFFIX):
            hint = f"factor names leave out {SUFFIX!r}: {name[: -len(SUFFIX)]!r}; " + hint
        raise KeyError(f"no factor {name!r} in the library at {root} ({hint})")
    return path


def _selection(root: str, names: Any) -> list:
    """The factors a call names, every one existing and listed once; None is every factor."""
    if names is None:
        return _factor_names(root)
    if isinstance(names, (str, bytes)):
        raise TypeError(f"names must be a list of factor names, not {type(names).__name__}: "
                        f"for one factor, give [{names!r}]")
    if not isinstance(names, Iterable):
        raise TypeError(f"names must be a list of factor names, not {type(names).__name__}")
    names = list(names)
    seen = set()
    for name in names:
        _existing_path(root, name)
        if name in seen:
            raise ValueError(f"factor {name!r} is listed twice")
        seen.add(name)
    return names


def _factor_info(root: str, name: str) -> FactorInfo:
    """The FactorInfo of one factor (see FactorLibrary.info)."""
    from .metadata import read_meta  # metadata builds on this module

    path = _existing_path(root, name)
    check_hdf5_signature(path)
    handle = detail.get_h5(path)
    if handle is None:
        raise FileNotFoundError(f"no factor file at {path}")
    with handle:
        rows, cols, cursor, last = _extras._factor_summary(handle)
        meta = read_meta(handle, path)
    calendar = detail.get_all_trading_dates()

    def date_at(column):
        return calendar[column] if column is not None and 0 <= column < len(calendar) else None

    return FactorInfo(name, path, (rows, cols), cursor, date_at(cursor), last, date_at(last),
                      os.path.getsize(path), meta)
