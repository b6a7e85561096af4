"""FactorLibrary's writes: one date or many into many factors, from value
items, packs, frames or a cube, and the clearing of a date. A mixin of
FactorLibrary, kept apart so that each file holds one job: the arguments
are checked here and the work handed to the writes on threads or on a
cluster."""

from __future__ import annotations

from .arguments import date_code
from .cluster_writes import _client_argument, _run_on_cluster
from .frames import cube_blocks, frame_block
from .instrument_snapshot import check_before_write
from .clearing import _clear_date
from .skip_counts import refuse_skips
from .writes import WriteReport, _converted, _packs, _tasks_by_file, _value_items, _write_on_threads, _write_report


class LibraryWrites:
    """The write methods of FactorLibrary (see there)."""

    def write(self, date, values, *, raise_errors=True, create=False, client=None, progress=False,
              max_workers=None, strict=False) -> WriteReport:
        """Stores one date into many factors.

        Each factor is written through ``get_h5(path, write=True)`` and
        ``put_factor_value(h5, date, values)``, so every rule of those holds
        per factor: values that are all NaN leave the stored column as it
        is (see :meth:`clear`). Errors, options and the report are those of
        :meth:`write_packs`.

        Parameters
        ----------
        date : date
            The date, as ``date_code`` takes it. A calendar day that is
            not a trading date is logged and skipped by each factor's write.
        values : mapping
            ``{name: that date's values}``; the values are value items (with
            ``order_book_id`` and ``value``) as ``put_factor_value`` takes
            them, or a mapping or pandas Series ``{order_book_id: value}``.
        raise_errors : bool, default True
            Raise ``FactorWriteError`` when any factor failed.
        create : bool, default False
            Make missing factors (and their folders) as ``get_h5`` does.
        client : dask.distributed.Client, optional
            Run the tasks on this cluster's workers.
        progress : bool, default False
            Show how many factors are done (on a cluster, Dask's own display).
        max_workers : int, optional
            Files written at once on threads; the larger of 4 and the number
            of cores by default.
        strict : bool, default False
            Refuse the whole write, before anything is written, if any value
            would be skipped.

        Returns
        -------
        WriteReport
            ``{name: None or the exception}``, with ``details``.

        Raises
        ------
        FactorWriteError
            After every factor was attempted, if some failed and
            `raise_errors` is true.
        KeyError
            Before anything is written, if a factor does not exist (without
            `create`).
        TypeError, ValueError
            Before anything is written: a `date` that is no date or a
            `client` that is no Client; a value that does not convert, naming
            the factor, the date, the instrument and the value; with
            `strict`, a value that would be skipped.
        ImportError
            If `client` is given without Dask installed.

        Examples
        --------
        >>> lib = FactorLibrary("/data/factors")
        >>> lib.write(20240102, {"value/bp": {"600000.XSHG": 0.7, "000001.XSHE": 1.2}}).ok
        True
        """
        _client_argument(client)
        code = date_code(date)
        jobs = _converted(self.root, values, create,
                          lambda payload, where: _value_items(payload, f"{where}, date {code}"))
        return self._run(jobs, "value", code, create, raise_errors, client, progress, max_workers, strict)

    def write_packs(self, packs, *, raise_errors=True, create=False, client=None, progress=False,
                    max_workers=None, strict=False) -> WriteReport:
        """Stores many dates into many factors.

        Every argument is checked, and every value converted by the writers'
        own rule (None is NaN, numeric text is parsed, True is 1.0), before
        anything is written: bad arguments write nothing. Then each file is
        written by one task (files in parallel) through ``get_h5(path,
        write=True)`` and ``put_factor_packs``; names that reach one file
        share a task. Every factor is attempted.

        Parameters
        ----------
        packs : mapping
            ``{name: its packs}``, packs as ``put_factor_packs`` takes them:
            each with a ``date`` and its ``values`` (value items, or a
            mapping or pandas Series ``{order_book_id: value}``). A
            factor's packs may also be a mapping ``{date: values}``, whose
            dates must then be distinct.
        raise_errors : bool, default True
            Raise ``FactorWriteError`` when any factor failed.
        create : bool, default False
            Make missing factors (and their folders) as ``get_h5`` does.
        client : dask.distributed.Client, optional
            Run the tasks on this cluster's workers, with the workers' own
            settings. A task whose worker is lost is reported failed, never
            run twice.
        progress : bool, default False
            Show how many dates are written, the time taken and the time
            still to go (on a cluster, Dask's own display of factors).
        max_workers : int, optional
            Files written at once on threads; the larger of 4 and the number
            of cores by default.
        strict : bool, default False
            Count what every factor's write would skip before anything is
            written (from this process's calendar and instrument index), and
            raise ``ValueError`` naming each factor, reason and a few
            examples if any value would be skipped.

        Returns
        -------
        WriteReport
            ``{name: None or the exception}``; its ``details`` say what each
            factor's write stored and skipped (a date off the calendar or
            between trading dates, an unlisted instrument), and one WARNING
            on the root logger sums up what the call skipped. A factor given
            numbers of which none would be stored is not written at all: it
            fails with ``NothingStoredError``, its file left as it was.

        Raises
        ------
        FactorWriteError
            After every factor was attempted, if some failed and
            `raise_errors` is true; its message names every one and why.
        KeyError
            Before anything is written, if a factor does not exist (without
            `create`).
        TypeError
            Before anything is written, naming the factor: a pack without
            ``date`` and ``values``, a value item without ``order_book_id``
            or ``value``, a value without a float form, values that cannot
            be sent to the cluster.
        ValueError
            Before anything is written, naming the factor: a factor without
            packs, a date that is no calendar day, text that is no number;
            with `strict`, a value that would be skipped. Also a factor name
            that is no name, and an instrument index that moved instruments
            this library holds to other rows (naming the first of them).
        ConnectionError
            Before anything is written, if the instrument index cannot be
            reached.
        ImportError
            If `client` is given without Dask installed.

        Examples
        --------
        >>> import types
        >>> lib = FactorLibrary("/data/factors")
        >>> packs = [types.SimpleNamespace(date=20240102, values={"600000.XSHG": 0.7}),
        ...          types.SimpleNamespace(date=20240103, values={"600000.XSHG": 0.8})]
        >>> report = lib.write_packs({"value/bp": packs}, raise_errors=False)
        >>> report.failed
        {}
        """
        _client_argument(client)
        jobs = _converted(self.root, packs, create, _packs)
        return self._run(jobs, "packs", None, create, raise_errors, client, progress, max_workers, strict)

    def write_frame(self, frames, *, raise_errors=True, create=False, client=None, progress=False,
                    max_workers=None, strict=False) -> WriteReport:
        """Stores frames of many dates into many factors: a backfill.

        Each frame is made into arrays once (no Python object per value) and
        handed to the engine, which writes the dates of one chunk column
        together and compresses each chunk once per backfill. The file ends
        up cell for cell as writing each date with ``put_factor_value``
        would leave it: a date off the calendar and an instrument the index
        does not list are skipped and logged as that write logs them. After
        a crash the file holds the frame's first dates, each whole; a date
        that fails (an instrument row past the matrix) ends the factor's
        write with every date before it written.

        Parameters
        ----------
        frames : mapping
            ``{name: frame}``. A frame is wide, one row per date and one
            column per instrument: a pandas DataFrame indexed by date with
            ``order_book_id`` columns, or a polars DataFrame or pyarrow
            Table with a ``date`` column beside them. Every cell of a wide
            frame is written, NaN included, except on a date whose values
            are all NaN, which leaves the file's values as they are. Or it is
            long, one row per value: columns ``date``, ``order_book_id`` and
            ``value`` (pandas, polars or pyarrow); only the pairs given are
            written. Dates are in any form :func:`date_code` takes, in any
            order; they are written in date order.
        raise_errors, create, client, progress, max_workers, strict
            As :meth:`write_packs` takes them.

        Returns
        -------
        WriteReport
            ``{name: None or the exception}``, with ``details``, as
            :meth:`write_packs` returns it.

        Raises
        ------
        FactorWriteError
            After every factor was attempted, if some failed and
            `raise_errors` is true.
        KeyError
            Before anything is written, if a factor does not exist (without
            `create`).
        TypeError
            Before anything is written, naming the factor: a frame of
            another type, an ``order_book_id`` that is no text.
        ValueError
            Before anything is written, naming the factor and what is
            repeated or wrong: a date given twice, an instrument given twice
            (twice on one date, in a long frame), a date that is no date, a
            value that is no number, a long frame without its columns.
        ImportError
            If `client` is given without Dask installed.

        Examples
        --------
        >>> import pandas as pd
        >>> lib = FactorLibrary("/data/factors")
        >>> frame = pd.DataFrame({"600000.XSHG": [0.7, 0.8], "000001.XSHE": [1.2, 1.1]},
        ...                      index=pd.to_datetime(["2024-01-02", "2024-01-03"]))
        >>> lib.write_frame({"value/bp": frame}).ok
        True
        """
        _client_argument(client)
        jobs = _converted(self.root, frames, create, frame_block)
        return self._run(jobs, "block", None, create, raise_errors, client, progress, max_workers, strict)

    def write_cube(self, cube, *, raise_errors=True, create=False, client=None, progress=False,
                   max_workers=None, strict=False) -> WriteReport:
        """Stores a cube (factor x date x instrument) into its factors: the
        way back of :meth:`read`.

        Each factor's slice of the cube goes to the engine as it is, written
        as :meth:`write_frame` writes a wide frame: every cell, NaN
        included, except on a date whose values are all NaN.

        Parameters
        ----------
        cube : xarray.DataArray
            Numbers with the dims ``factor`` (names), ``date`` (dates in any
            form :func:`date_code` takes) and ``instrument``
            (``order_book_id`` texts), in any order, as :meth:`read`
            returns it; Dask-backed, each factor is computed when it is
            written.
        raise_errors, create, client, progress, max_workers, strict
            As :meth:`write_packs` takes them.

        Returns
        -------
        WriteReport
            ``{name: None or the exception}``, with ``details``, as
            :meth:`write_packs` returns it.

        Raises
        ------
        FactorWriteError
            After every factor was attempted, if some failed and
            `raise_errors` is true.
        KeyError
            Before anything is written, if a factor does not exist (without
            `create`).
        TypeError
            Before anything is written: no DataArray, values that are no
            numbers, an instrument that is no text.
        ValueError
            Before anything is written: other dims, a factor, date or
            instrument given twice, a date that is no date.
        ImportError
            If `client` is given without Dask installed.

        Examples
        --------
        >>> lib = FactorLibrary("/data/factors")
        >>> cube = lib.read(["value/bp"], start=20240102, end=20240131)
        >>> lib.write_cube(cube * 2).ok
        True
        """
        _client_argument(client)
        blocks = cube_blocks(cube)
        jobs = _converted(self.root, blocks, create, lambda block, where: block)
        return self._run(jobs, "block", None, create, raise_errors, client, progress, max_workers, strict)

    def clear(self, name: str, date) -> None:
        """Clears one date of a factor: every instrument's value becomes NaN.

        A write of NaN values cannot do this: values that are all NaN leave
        the stored column as it is. The clear is one write of the date's
        whole column, journalled like any write (after a crash the date is
        wholly cleared or not at all); ``cursor_col`` rises to the date as a
        write's would.

        Parameters
        ----------
        name : str
            The factor.
        date : date
            A trading date, as ``date_code`` takes it.

        Raises
        ------
        KeyError
            If the library holds no factor `name`.
        ValueError
            Before the file is touched: a date that is no date, not a
            trading date, or outside the calendar.
        OSError
            Naming the file, if it is no factor file or cannot be written.

        Examples
        --------
        >>> lib = FactorLibrary("/data/factors")
        >>> lib.clear("value/bp", 20240102)
        >>> lib.cross_section(20240102, ["value/bp"])["value/bp"].isna().all()
        True
        """
        _clear_date(self.root, name, date)

    def _run(self, jobs: dict, kind: str, code, create: bool, raise_errors: bool, client, progress: bool,
             max_workers, strict: bool) -> WriteReport:
        if strict:
            refuse_skips(jobs, kind, code)
        tasks = _tasks_by_file(list(jobs), self.path)
        check_before_write(self.root)
        if client is not None:
            outcome = _run_on_cluster(client, tasks, {name: (self.path(name), jobs[name]) for name in jobs},
                                      kind, code, create, progress)
        else:
            outcome = _write_on_threads(tasks, jobs, self.path, kind, code, create, progress, max_workers)
        return _write_report(list(jobs), outcome, raise_errors)
