"""FactorLibrary's history methods that read or undo: when each date was first
written, reverting a factor, and named points in time (snapshots). Reads as
of a past time are ``read(..., as_of=T)`` and its siblings."""

from __future__ import annotations

from .history_reads import factor_known_at
from .history_revert import RevertReport, revert_factor
from .snapshots import add_snapshot, list_snapshots

__all__ = ["HistoryMethods"]


class HistoryMethods:
    """The history methods of :class:`FactorLibrary` (a mixin: it needs ``root``)."""

    root: str

    def known_at(self, name: str, dates=None):
        """When each date's values of a factor first existed.

        The time of the first commit that wrote any value at the date, from
        the factor's history. For a backtest, a date's values may be used
        from that time on; before it they did not exist. Dates whose values
        the factor held already when its history was enabled report the time
        history began: they existed then, maybe long before, and the history
        cannot tell. That is an upper bound, the honest side for a backtest:
        it may call a value late, never early, so no future value leaks
        into the past.

        Parameters
        ----------
        name : str
            The factor.
        dates : list of date, optional
            The dates, as :func:`date_code` takes them; by default every
            trading date from the first the history knows of to the last.

        Returns
        -------
        pandas.Series
            Timestamps in UTC (``datetime64[ns, UTC]``), indexed by date
            (datetime64), named after the factor; NaT where no value was
            ever written.

        Raises
        ------
        KeyError
            If the library holds no factor `name`.
        ValueError
            If the factor has no history (enable it with
            :meth:`enable_history`), or a date is no trading date.
        TypeError
            If `dates` is not a list of dates.

        Examples
        --------
        >>> lib = FactorLibrary("/data/factors")
        >>> lib.known_at("value/bp", ["2024-01-02"])
        date
        2024-01-02   2024-01-02 09:30:00.120000+00:00
        Name: value/bp, dtype: datetime64[ns, UTC]
        """
        return factor_known_at(self.root, name, dates)

    def revert(self, name: str, to) -> RevertReport:
        """Puts a factor back as it was at a past time, as one new commit.

        Every date that a commit after `to` changed is written back whole,
        with the values it held then, and ``cursor_col`` goes back to where
        it was. The history keeps everything, the revert included: reverting
        to a time before the revert undoes it.

        Parameters
        ----------
        name : str
            The factor.
        to : str, datetime, pandas.Timestamp, numpy.datetime64 or int
            A snapshot label or a time, as ``read``'s `as_of` takes it.

        Returns
        -------
        RevertReport
            The dates and cells changed, and the cursor before and after.
            Nothing is committed when nothing differs.

        Raises
        ------
        KeyError
            If the library holds no factor `name`.
        ValueError
            If the factor has no history, `to` lies before its history
            began (when it held values then), or the history was pruned past
            `to`.
        OSError
            Naming the file, if it cannot be written.

        Examples
        --------
        >>> lib = FactorLibrary("/data/factors")
        >>> lib.snapshot("before-fix")
        >>> lib.write(20240104, {"value/bp": {"600000.XSHG": 9.9}})
        >>> lib.revert("value/bp", to="before-fix").cells
        1
        """
        return revert_factor(self.root, name, to)

    def snapshot(self, label: str):
        """Names this moment, so that reads can ask for the library as it is now.

        Nothing is copied: every factor's history already keeps its past, so
        ``as_of=label`` in any read (and ``revert(..., to=label)``) means the
        time recorded here. Labels live in ``.quorbel/snapshots.json`` under
        the root.

        Parameters
        ----------
        label : str
            A name that does not read as a timestamp (``"close-2024-01-05"``
            is fine, ``"2024-01-05"`` is a time already).

        Returns
        -------
        pandas.Timestamp
            The time recorded, in UTC.

        Raises
        ------
        ValueError
            If the label exists (labels are never moved: pick another), is
            empty or reads as a timestamp.
        TypeError
            If the label is not a str.

        Examples
        --------
        >>> lib = FactorLibrary("/data/factors")
        >>> lib.snapshot("close-2024-01-05")
        Timestamp('2024-01-05 07:00:00.123456789+0000', tz='UTC')
        """
        from ..history_times import from_ns

        return from_ns(add_snapshot(self.root, label))

    def snapshots(self) -> dict:
        """The library's snapshot labels and their times.

        Returns
        -------
        dict of str to pandas.Timestamp
            Label -> time (UTC), in time order.

        Raises
        ------
        ValueError
            If ``.quorbel/snapshots.json`` is damaged (the message names it).

        Examples
        --------
        >>> lib = FactorLibrary("/data/factors")
        >>> lib.snapshots()
        {'close-2024-01-05': Timestamp('2024-01-05 07:00:00.123456789+0000', tz='UTC')}
        """
        return list_snapshots(self.root)
