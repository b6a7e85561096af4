"""quorbel: a storage engine for quantitative factors.

Each factor lives in an HDF5 file of its own as one matrix ``data``
(rows = instruments, columns = trading dates, NaN where no value).
The engine is the extension module :mod:`quorbel.detail`; ``read_panel`` comes
from :mod:`quorbel._extras`, the ``quorbel`` command line tool is
:mod:`quorbel.cli`, and ``FactorLibrary`` (:mod:`quorbel.library`) reads and
writes a folder of factors at once.
"""

__version__ = "0.1.0"


def __getattr__(name):
    # Resolved on first use: importing quorbel._extras starts quorbel.detail,
    # which must not happen as a side effect of importing quorbel.config.
    if name == "read_panel":
        from ._extras import read_panel

        return read_panel
    if name == "FactorLibrary":
        from .library import FactorLibrary

        return FactorLibrary
    raise AttributeError(f"module 'quorbel' has no attribute {name!r}")
