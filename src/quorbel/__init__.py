"""quorbel: a storage engine for quantitative factors.

Each factor lives in an HDF5 file of its own as one matrix ``data``
(rows = instruments, columns = trading dates, NaN where no value).

The package's parts:

- :mod:`quorbel.detail`, the engine (a compiled module): open, create,
  write and read factor files one at a time;
- :func:`quorbel.read_panel`, one factor file's values as a
  ``pandas.DataFrame``;
- :mod:`quorbel.dates`, the one way every reader takes a date
  (``20240102``, ``"2024-01-02"``, a date or a timestamp);
- :class:`quorbel.FactorLibrary` (``quorbel.library``), a folder of factor
  files read and written at once, eagerly or with Dask;
- :func:`quorbel.instruments`, the instrument index (instruments to rows) as
  a ``pandas.DataFrame``; :mod:`quorbel.index_server`, a local one;
- :mod:`quorbel.config`, the settings, read from the environment;
- :mod:`quorbel.cli`, the ``quorbel`` command.

``read_panel`` and ``FactorLibrary`` are loaded on first use, so that
``import quorbel`` (and ``import quorbel.config``) starts no engine.

Examples
--------
>>> import quorbel
>>> frame = quorbel.read_panel("momentum.h5", ["600000.XSHG"], 20240102, 20240131)  # doctest: +SKIP
>>> lib = quorbel.FactorLibrary("factors")  # doctest: +SKIP
"""

import os as _os
from typing import TYPE_CHECKING

# The MongoDB driver starts when the engine's library is loaded, and would
# keep its performance counters in a shared-memory file per process
# (/dev/shm/mongoc-<pid>) that a killed process never removes; a later
# process with the same pid then warns on stderr at every start. Nothing
# reads those counters, so they stay in private memory (a user's own setting
# wins). This must happen before the engine is loaded.
_os.environ.setdefault("MONGOC_DISABLE_SHM", "1")

__version__ = "0.1.0"

__all__ = ["read_panel", "FactorLibrary", "instruments", "__version__"]

if TYPE_CHECKING:  # what __getattr__ resolves, for type checkers and the API reference
    from .instrument_index import instruments
    from .library import FactorLibrary
    from .panel import read_panel


def __getattr__(name):
    # Resolved on first use: importing quorbel._extras starts quorbel.detail,
    # which must not happen as a side effect of importing quorbel.config.
    if name == "read_panel":
        from .panel import read_panel

        return read_panel
    if name == "FactorLibrary":
        from .library import FactorLibrary

        return FactorLibrary
    if name == "instruments":
        from .instrument_index import instruments

        return instruments
    raise AttributeError(f"module 'quorbel' has no attribute {name!r}")


def __dir__():
    # The lazy names exist only once used; tab completion and dir() should
    # offer them from the start.
    return sorted(set(globals()) | set(__all__))
