"""A folder of factor files used as one library.

A factor's name is its path relative to the library's root without ".h5"
("style/momentum_20d"). Reads gather many factors into one cube
(factor x date x instrument) in a single pass of the engine over all the
files, on every core; writes store one date, or many, into many factors at
once, one task per file, and report every factor that failed. With Dask
installed (quorbel[dask]) a read can be lazy, one task per factor and block
of dates, and writes can run on a dask.distributed cluster.

The package's modules, one job each:

- ``factor_library``: ``FactorLibrary``, the front that checks a call and
  hands it on;
- ``catalog``: names, files and what a file tells (``FactorInfo``);
- ``arguments``: dates as every call takes them (``date_code``);
- ``cube_plan``, ``eager_reads``, ``lazy_reads``: the cube of a read, filled
  at once or by Dask (``FactorBlocks``);
- ``tables``: a read as a tidy Arrow, polars or pandas table;
- ``metadata``: a factor's description, units, owner and tags, kept in its
  file;
- ``writes``, ``collector_pause``, ``cluster_writes``: writes on threads or
  on a cluster, and their report (``WriteReport``,
  ``FactorWriteError``);
- ``skip_counts``, ``write_details``: what each factor's write stores and
  skips, counted before it is written (``WriteDetails``, ``Skipped``,
  ``NothingStoredError``);
- ``clearing``: a date of a factor cleared on purpose;
- ``history_reads``, ``history_revert``, ``snapshots``, ``history_methods``:
  reads as of a past time, first-known times, reverts
  (``RevertReport``) and snapshot labels, from each factor's history.
"""

import sys
import types

from ..progress import progress_display as _progress
from . import cube_plan, eager_reads, lazy_reads
from .arguments import date_code
from .catalog import SUFFIX, FactorInfo, check_hdf5_signature
from .collector_pause import _collector_paused
from .factor_library import FactorLibrary
from .history_revert import RevertReport
from .lazy_reads import FactorBlocks, _auto_block, _block_sizes
from .write_details import NothingStoredError, Skipped, WriteDetails
from .writes import FactorWriteError, WriteReport, _run_on_threads

__all__ = ["FactorLibrary", "FactorInfo", "WriteReport", "FactorWriteError", "FactorBlocks", "WriteDetails",
           "Skipped", "NothingStoredError", "RevertReport"]

# The private names above (_progress, _collector_paused, _auto_block,
# _block_sizes, _run_on_threads) stay importable from here for the callers
# that used them when the library was one module.

# Sizes a caller may tune, each read at every call from the module that uses
# it. `quorbel.library.OPEN_AT_ONCE = 64` keeps working: reading or setting
# one of these names here reads or sets the using module's own.
_TUNABLES = {
    "OPEN_AT_ONCE": cube_plan,
    "PROGRESS_BATCH": eager_reads,
    "BLOCK_BYTES": lazy_reads,
    "BLOCK_BYTES_MAX": lazy_reads,
}


class _LibraryPackage(types.ModuleType):
    def __getattr__(self, name):
        owner = _TUNABLES.get(name)
        if owner is None:
            raise AttributeError(f"module {self.__name__!r} has no attribute {name!r}")
        return getattr(owner, name)

    def __setattr__(self, name, value):
        owner = _TUNABLES.get(name)
        if owner is None:
            super().__setattr__(name, value)
        else:
            setattr(owner, name, value)

    def __dir__(self):
        return sorted(set(super().__dir__()) | set(_TUNABLES))


sys.modules[__name__].__class__ = _LibraryPackage
