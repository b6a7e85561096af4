"""FactorLibrary: the front of the package. Each method checks what is its own
and hands the work to the module of that job (catalog, eager or lazy reads,
tables, metadata; the writes are library_writes.py)."""

from __future__ import annotations

import os

from .catalog import FactorInfo, _factor_info, _factor_names, _factor_path, _selection
from .eager_reads import _cross_section, _labelled_cube, _read_arguments, _read_cube
from .history_methods import HistoryMethods
from .history_reads import read_with_history
from .history_writes import HistoryWrites
from .instrument_snapshot import library_instruments
from .lazy_reads import _lazy_cube, _lazy_option
from .library_writes import LibraryWrites
from .metadata import describe_factor
from .tables import read_table as _read_table
from .writes import WriteReport, _report, _rewrite_on_threads

__all__ = ["FactorLibrary"]


class FactorLibrary(LibraryWrites, HistoryWrites, HistoryMethods):
    """The factor files under one folder, read and written as one store.

    A factor's name is its path relative to `root` without ``.h5``
    (``"style/momentum_20d"``); hidden files and folders (a leading ``.``,
    such as the backups of ``rewrite_factor``) are not factors. Reads gather
    many factors into one cube (factor x date x instrument) in a single pass
    of the engine over all the files; writes store one date, or many, into
    many factors at once, one task per file, and report every factor that
    failed. With Dask installed (``quorbel[dask]``) a read can be lazy and
    writes can run on a dask.distributed cluster. The library records which
    instrument each row holds in ``root/.quorbel/instruments.json``: writes
    refuse an instrument index that moved one of them, and reads label rows
    from it while the index cannot be reached.

    Parameters
    ----------
    root : str or os.PathLike
        The library's folder; kept as an absolute path.
    create : bool, default False
        Make the folder (and its parents) when it does not exist.

    Attributes
    ----------
    root : str
        The library's folder, absolute.

    Raises
    ------
    NotADirectoryError
        If `root` is not a directory (without `create`, also when it does
        not exist).
    OSError
        If `create` is given and the folder cannot be made.

    Examples
    --------
    >>> import quorbel
    >>> lib = quorbel.FactorLibrary("/data/factors")
    >>> lib
    FactorLibrary('/data/factors')
    >>> "style/momentum_20d" in lib
    True
    """

    def __init__(self, root: "str | os.PathLike", create: bool = False):
        root = os.fspath(root)
        if create and not os.path.lexists(root):
            os.makedirs(root, exist_ok=True)
        if not os.path.isdir(root):
            hint = "" if create or os.path.lexists(root) else " (create=True makes it)"
            raise NotADirectoryError(f"factor library root is not a directory: {root}{hint}")
        self.root = os.path.abspath(root)

    def __repr__(self) -> str:
        return f"FactorLibrary({self.root!r})"

    # ---- names ---------------------------------------------------------------

    def names(self) -> list:
        """Every factor under the root, sorted, each file once.

        Hidden files and folders are not factors. Folders reached through
        symbolic links are listed too, each folder once (links in a loop
        add nothing); a link that reaches no file is skipped. Names that
        reach one file
        (through a symbolic or a hard link, told by the device and inode of
        the file reached) list it once: a name that is not a symbolic link is
        kept over one that is, and among equals the first in sorted order. A
        name given explicitly to a read or write still reads and writes as
        itself.

        Returns
        -------
        list of str
            Factor names such as ``"style/momentum_20d"``.

        Examples
        --------
        >>> lib = FactorLibrary("/data/factors")
        >>> lib.names()
        ['style/momentum_20d', 'value/bp']
        """
        return _factor_names(self.root)

    def __contains__(self, name: object) -> bool:
        """Whether `name` is a factor of the library.

        Parameters
        ----------
        name : object
            Anything; what is no factor name is not in the library.

        Returns
        -------
        bool
            True when `name` is a factor name whose file exists.

        Examples
        --------
        >>> lib = FactorLibrary("/data/factors")
        >>> "style/momentum_20d" in lib, "style/../secret" in lib, 42 in lib
        (True, False, False)
        """
        try:
            return os.path.isfile(self.path(name))
        except (TypeError, ValueError):
            return False

    def path(self, name: str) -> str:
        """The file of a factor name, whether or not it exists.

        Parameters
        ----------
        name : str
            A relative path with ``/`` between folders and without ``.h5``,
            such as ``"style/momentum_20d"``.

        Returns
        -------
        str
            ``root/style/momentum_20d.h5``.

        Raises
        ------
        TypeError
            If `name` is not a str.
        ValueError
            If `name` is empty or has an empty, hidden, ``.`` or ``..``
            part, a backslash or a NUL.

        Examples
        --------
        >>> lib = FactorLibrary("/data/factors")
        >>> lib.path("style/momentum_20d")
        '/data/factors/style/momentum_20d.h5'
        """
        return _factor_path(self.root, name)

    def instruments(self):
        """The instrument index, as :func:`quorbel.instruments` returns it.

        While the index cannot be reached, the instruments this library
        recorded at its writes (``order_book_id`` and ``row`` only), with
        one WARNING on the root logger.

        Returns
        -------
        pandas.DataFrame
            ``order_book_id``, ``row`` and the other fields, sorted by row.

        Raises
        ------
        ConnectionError
            When the index cannot be reached and nothing was written yet.

        Examples
        --------
        >>> lib = FactorLibrary("/data/factors")
        >>> lib.instruments().columns.tolist()
        ['order_book_id', 'row', 'exchange']
        """
        return library_instruments(self.root)

    # ---- reads ---------------------------------------------------------------

    def info(self, name: str) -> FactorInfo:
        """Shape, cursor, last date holding a value, file size and metadata
        (:meth:`describe`) of one factor.

        Finding the last value scans chunk columns back from the matrix's
        end until one holds a value. Dates beyond the calendar are None.

        Parameters
        ----------
        name : str
            The factor.

        Returns
        -------
        FactorInfo

        Raises
        ------
        KeyError
            If the library holds no factor `name`.
        OSError
            Naming the file, if it is no factor file or cannot be read.

        Examples
        --------
        >>> lib = FactorLibrary("/data/factors")
        >>> lib.info("style/momentum_20d").last_value_date
        20231229
        """
        return _factor_info(self.root, name)

    def read(self, names=None, ids=None, start=None, end=None, *, check=False, chunks=None, progress=False,
             as_of=None, known=False):
        """The values of many factors as one cube: factor x date x instrument.

        Each factor's values are those ``quorbel.read_panel(path, ids, start,
        end, check)`` reads from its file: the same date section (cut at that
        file's ``cursor_col`` with `check`, clipped to its matrix), unlisted
        ids dropped, duplicates repeated, NaN for an instrument whose row the
        matrix does not have. The date axis covers every date any of the
        factors reads; a factor has NaN at dates outside its own section.

        Parameters
        ----------
        names : list of str, optional
            The factors, in the order of the factor axis; every factor
            (``names()``) by default.
        ids : list of str, optional
            The instruments (order_book_id), in the order of the instrument
            axis; every instrument of the instrument index, in row order, by
            default.
        start, end : date, optional
            The first and last date, as :func:`date_code` takes them. By
            default the first (last) date on which any of the factors holds a
            value; the date axis is empty when none does, or when a given
            `start` lies after every value.
        check : bool, default False
            Cut each file at its cursor column.
        chunks : "auto" or int, optional
            Make the cube lazy: backed by a Dask array of one task per factor
            and block of dates, computed where Dask computes (the active
            dask.distributed Client, if any). ``"auto"`` sizes the blocks
            from the files' chunks; an int is a number of dates per block.
        progress : bool, default False
            Show how many files an eager read has filled.
        as_of : str, datetime, pandas.Timestamp, numpy.datetime64 or int, optional
            Read the factors as they were at this time: a snapshot label
            (:meth:`snapshot`), a timestamp (one with a time zone is
            converted, a naive one is this machine's local time) or UTC
            nanoseconds. Values written later read as they were then (NaN
            where there were none), and `check` cuts at the cursor of then.
            Needs each factor's history (:meth:`enable_history`).
        known : bool, default False
            Also return when each date's values first existed (as of
            `as_of`, when given): see :meth:`known_at`.

        Returns
        -------
        xarray.DataArray
            Float64, named ``"value"``, with dims ``("factor", "date",
            "instrument")``; dates as datetime64. Dask-backed with `chunks`.
        pandas.DatetimeIndex
            With `known` only, as the second of a pair: per date of the
            cube, the latest of the factors' first-known times (UTC), NaT
            where none of them ever had a value.

        Raises
        ------
        KeyError
            If a factor of `names` does not exist.
        TypeError
            If `names` or `ids` is not a list, a date is of no date type, or
            `chunks` is neither "auto" nor an int.
        ValueError
            If a factor is listed twice, a date is no calendar day (such as
            the typo ``231201``), `start` lies after `end` (naming both),
            `chunks` is below 1 or another text, `progress` is asked of a
            lazy read, or (with `as_of` or `known`) a factor has no history
            or its history cannot rebuild that time (before it began, or
            pruned).
        ImportError
            If `chunks` is given without Dask installed.
        OSError
            Naming the file, if one is no factor file or a chunk of it is
            damaged; the read fails as a whole.

        See Also
        --------
        cross_section : One date of the cube as a DataFrame.

        Examples
        --------
        >>> lib = FactorLibrary("/data/factors")
        >>> cube = lib.read(["style/momentum_20d", "value/bp"], ["600000.XSHG"], 20230101, 20231231)
        >>> cube.dims
        ('factor', 'date', 'instrument')
        >>> lazy = lib.read(chunks="auto")
        >>> means = lazy.sel(instrument="600000.XSHG").mean("date").compute()
        >>> means.dims
        ('factor',)
        """
        per_block = _lazy_option(chunks, progress)
        if as_of is not None or known:
            return read_with_history(self.root, names, ids, start, end, bool(check), per_block, bool(progress),
                                     as_of, bool(known))
        names, paths, id_list, rows, start, end = _read_arguments(self.root, names, ids, start, end)
        if per_block is None:
            dates, cube = _read_cube(paths, rows, start, end, bool(check), bool(progress))
        else:
            dates, cube = _lazy_cube(paths, rows, start, end, bool(check), per_block)
        return _labelled_cube(names, id_list, dates, cube)

    def cross_section(self, date, names=None, ids=None, *, check=False, as_of=None):
        """One trading date of many factors as a table.

        The values are those of :meth:`read` at that date; a factor whose
        matrix (or with `check`, whose cursor) does not reach the date is NaN.

        Parameters
        ----------
        date : date
            A trading date, as ``date_code`` takes it.
        names : list of str, optional
            The factors, in column order; every factor by default.
        ids : list of str, optional
            The instruments, in row order; every instrument of the
            instrument index by default.
        check : bool, default False
            Cut each file at its cursor column.
        as_of : str, datetime, pandas.Timestamp, numpy.datetime64 or int, optional
            The date as it was known at this time, as :meth:`read` takes it.

        Returns
        -------
        pandas.DataFrame
            Index ``instrument``, columns ``factor``, float64 values.

        Raises
        ------
        ValueError
            If `date` is no trading date, or as ``read`` raises.
        KeyError, TypeError, OSError
            As ``read`` raises.

        Examples
        --------
        >>> lib = FactorLibrary("/data/factors")
        >>> frame = lib.cross_section(20231229, ["style/momentum_20d", "value/bp"])
        >>> list(frame.columns)
        ['style/momentum_20d', 'value/bp']
        """
        return _cross_section(self.root, date, names, ids, check, as_of)

    def read_table(self, names=None, ids=None, start=None, end=None, *, check=False, format="arrow", dropna=True,
                   as_of=None):
        """The values of :meth:`read` as a tidy table: one row per date and
        instrument (by date, then in the order of `ids`), one column per factor.

        Parameters
        ----------
        names, ids, start, end, check, as_of
            As :meth:`read` takes them.
        format : {"arrow", "polars", "pandas"}, default "arrow"
            What to return; made from the cube with NumPy alone.
        dropna : bool, default True
            Leave out the rows where no factor has a value.

        Returns
        -------
        pyarrow.Table or polars.DataFrame or pandas.DataFrame
            Columns ``date``, ``order_book_id``, then one float64 column per
            factor. Arrow: ``date32``, ``string``, null for no value; polars:
            ``Date``, ``String``, null; pandas: ``datetime64[ns]`` (as
            :meth:`read`'s dates), pandas' text type, NaN.

        Raises
        ------
        ImportError
            For "arrow" or "polars" without pyarrow (and polars): the
            ``quorbel[frames]`` extra.
        TypeError, ValueError
            A `format` of another type or text; a factor named ``date`` or
            ``order_book_id``; otherwise as :meth:`read`, with KeyError and
            OSError.

        Examples
        --------
        >>> lib = FactorLibrary("/data/factors")
        >>> lib.read_table(["value/bp"], ["600000.XSHG"], 20240102, 20240105).column_names
        ['date', 'order_book_id', 'value/bp']
        """
        return _read_table(self.root, names, ids, start, end, check, format, dropna, as_of)

    # ---- metadata --------------------------------------------------------------

    def describe(self, name, /, description=None, units=None, owner=None, tags=None, *, replace=False, **more):
        """Stores a factor's metadata in its file, where :meth:`info` reads it.

        A JSON object in the text attribute ``meta`` of ``data``: it goes with
        the file through :meth:`rewrite` and any copy, and is written as
        crash-safely as a date. A key given as None is left as stored.

        Parameters
        ----------
        name : str
            The factor.
        description, units, owner : str, optional
        tags : list of str, optional
        replace : bool, default False
            Drop every stored key first; otherwise the others stay.
        **more
            Further keys, each str, int, finite float, bool, None, or lists
            and dicts (str keys) of them.

        Returns
        -------
        dict
            The metadata as stored now.

        Raises
        ------
        KeyError
            If the library holds no factor `name`.
        TypeError
            Naming the key: a value JSON cannot hold, a `description`,
            `units` or `owner` that is no str, `tags` that are no list of str.
        ValueError
            Naming the key, for a NaN or infinity; naming the file, when its
            stored metadata is no JSON object (store anew with `replace`).
        OSError
            Naming the file, if it is no factor file or cannot be written.

        Examples
        --------
        >>> lib = FactorLibrary("/data/factors")
        >>> lib.describe("value/bp", description="book to price", units="ratio", tags=["value"])
        {'description': 'book to price', 'tags': ['value'], 'units': 'ratio'}
        """
        fields = dict(description=description, units=units, owner=owner, tags=tags, **more)
        return describe_factor(self.root, name, fields, bool(replace))

    # ---- rewrites --------------------------------------------------------------

    def rewrite(self, names=None, *, raise_errors=True, progress=False, max_workers=None) -> WriteReport:
        """Rewrites factor files into fresh copies (``rewrite_factor``).

        One task per file on a thread pool (2 at once by default: each holds
        its whole matrix in memory). Names that are one file through a
        symbolic link rewrite it once, through its real path (so the link
        stays a link), and share its outcome; hard links of one file are
        rewritten one after the other in one task, each name then holding a
        file of its own. Every factor is attempted.

        Parameters
        ----------
        names : list of str, optional
            The factors to rewrite; every factor (``names()``) by default.
        raise_errors : bool, default True
            Raise ``FactorWriteError`` when any rewrite failed.
        progress : bool, default False
            Show how many files are done.
        max_workers : int, optional
            Rewrites at once (2 by default).

        Returns
        -------
        WriteReport
            ``{name: None or the exception}``.

        Raises
        ------
        FactorWriteError
            After every factor was attempted, if some failed and
            `raise_errors` is true.
        KeyError, TypeError, ValueError
            If `names` is not a list of existing factors, each once.

        Examples
        --------
        >>> lib = FactorLibrary("/data/factors")
        >>> lib.rewrite(["style/momentum_20d"]).ok
        True
        """
        names = _selection(self.root, names)
        outcome = _rewrite_on_threads(names, self.path, progress, max_workers)
        return _report(names, outcome, raise_errors)

    # ---- writes --------------------------------------------------------------
