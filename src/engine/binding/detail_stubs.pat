# Names of quorbel.detail that the stub generator cannot see through: the
# functions bound from dravolc and the three that decorators of utils wrap.

quorbel\.detail\.get_trading_dates$:
    def get_trading_dates(start_date: str, end_date: str, /) -> list:
        """The market-data client's trading dates (bound from dravolc)."""

quorbel\.detail\.get_all_trading_dates$:
    def get_all_trading_dates() -> list[int]:
        \doc

quorbel\.detail\._get_all_instrument_index$:
    def _get_all_instrument_index() -> dict[str, int]:
        \doc

quorbel\.detail\.get_h5$:
    def get_h5(path: str, write: bool = False, read_wait: float = 0.1, rate: float = 2) -> FactorFile | None:
        \doc
