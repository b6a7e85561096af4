"""Python's cyclic garbage collector paused while a write makes its value items.

Both sides of a write make them: the caller converting mappings and Series,
and a Dask worker rebuilding the items it was sent.
"""

from __future__ import annotations

import contextlib
import gc
import threading


class _CollectorPause:
    """Python's cyclic garbage collector off while value items are made.
    A write makes a small item per instrument and date, thousands per factor
    (the caller converting mappings and Series, a Dask worker rebuilding what
    it was sent); in a process whose heap is large, as a worker's or a
    research session's is, their allocations set off full collections that
    cost two to four times the making itself, or about a tenth of a write on
    a worker. The items hold no cycles. Pauses on several threads overlap:
    the first one in turns the collector off, the last one out turns it back
    on (when it was on before the first came in)."""

    def __init__(self):
        self._lock = threading.Lock()
        self._running = 0
        self._was_enabled = False

    @contextlib.contextmanager
    def __call__(self):
        with self._lock:
            if self._running == 0:
                self._was_enabled = gc.isenabled()
                gc.disable()
            self._running += 1
        try:
            yield
        finally:
            with self._lock:
                self._running -= 1
                if self._running == 0 and self._was_enabled:
                    gc.enable()


_collector_paused = _CollectorPause()
