# Names of quorbel.detail that the stub generator cannot see through: the
# functions bound from dravolc and the three that decorators of utils wrap.

quorbel\.detail\.get_trading_dates$:
    def get_trading_dates(start_date: str, end_date: str, /) -> list:
        """
        The market-data client's trading dates in a date range (``dravolc.get_trading_dates``).

        Parameters
        ----------
        start_date, end_date : str or datetime.date
            ISO texts (``"2024-01-02"``) or dates, both inclusive.

        Returns
        -------
        list of datetime.date
            The trading dates, ascending, clipped to what the calendar knows.

        Raises
        ------
        ValueError
            When a text is no ISO date.

        Examples
        --------
        >>> import quorbel.detail as qd
        >>> qd.get_trading_dates("2024-01-01", "2024-01-03")
        [datetime.date(2024, 1, 2), datetime.date(2024, 1, 3)]
        """

quorbel\.detail\.get_all_trading_dates$:
    def get_all_trading_dates() -> list[int]:
        \doc

quorbel\.detail\._get_all_instrument_index$:
    def _get_all_instrument_index() -> dict[str, int]:
        \doc

quorbel\.detail\.get_h5$:
    def get_h5(path: str | os.PathLike, write: bool = False, read_wait: float = 0.1, rate: float = 2) -> FactorFile | None:
        \doc
