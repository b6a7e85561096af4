"""How far a long pass has got, shown to whoever watches.

The command line (``quorbel.cli``) shows its scans and rewrites here, and
:class:`~quorbel.library.FactorLibrary` its reads and writes over many
factors (``progress=True``). On a terminal a bar is redrawn in place; into a
log file or a pipe one line is written when the pass completes, so that a log
gets a line per pass instead of a stream of carriage-return frames.
"""

import sys
import time

__all__ = ["ProgressDisplay", "progress_display"]

_BAR_FORMAT = "{desc} [{bar:30}] {percentage:3.0f}%"
# With a unit: how many of how many, the time taken and the time still to go.
_COUNTED_FORMAT = _BAR_FORMAT + " {n_fmt}/{total_fmt} <unit> [{elapsed}<{remaining}]"
_BAR_CHARS = "-#"  # empty, full


def _is_terminal(stream):
    """Whether `stream` is a terminal: false for a stream without isatty, or a closed one."""
    try:
        return bool(stream.isatty())
    except (AttributeError, ValueError, OSError):  # no isatty, or a closed stream
        return False


def _tqdm():
    # Loaded on first use: a library read or write without progress never
    # draws, and need not pay for importing tqdm.
    from tqdm import tqdm

    return tqdm


class ProgressDisplay:
    """How far a long pass over factor files has got: call it with ``(done, total)``.

    On a terminal this is a bar redrawn in place. Anywhere else (a log file, a
    pipe) nothing is drawn while the pass runs and one line is written when it
    completes. Used as a context manager, leaving it ends the line; leaving it
    through an exception writes no completion line when nothing was drawn.

    Parameters
    ----------
    label : str
        Text shown before the bar, such as ``"scanning"``.
    file : file-like, optional
        Where the display is written; ``sys.stderr`` by default.
    live : bool, optional
        Draw a bar redrawn in place (True) or one line at the end (False).
        By default, a bar exactly when `file` is a terminal.
    unit : str, optional
        What the steps are (``"dates"``): the display then also shows how
        many of how many are done, the time taken and the time still to go.

    See Also
    --------
    progress_display : A display, or one that shows nothing.

    Examples
    --------
    >>> import io
    >>> log = io.StringIO()
    >>> with ProgressDisplay("scanning", file=log) as shown:
    ...     for done in range(11):
    ...         shown(done, 10)
    >>> log.getvalue()
    'scanning [##############################] 100%\\n'
    """

    def __init__(self, label, file=None, live=None, unit=None):
        self.label = label
        self.bar_format = _BAR_FORMAT if unit is None else _COUNTED_FORMAT.replace("<unit>", unit)
        self._started = time.monotonic()
        self.file = sys.stderr if file is None else file
        self.live = _is_terminal(self.file) if live is None else live
        self._bar = None
        self._seen = None  # (done, total) last reported
        self._closed = False

    def __call__(self, done, total):
        """Shows that `done` of `total` steps are done.

        Calls after ``close`` are ignored, so a pass may report once more
        after its display ended.

        Parameters
        ----------
        done : int
            Steps done so far; clipped to ``[0, total]``.
        total : int
            Steps in the whole pass. A pass of no steps (``total <= 0``) is
            complete from the start.

        Returns
        -------
        None

        Examples
        --------
        >>> import io
        >>> shown = ProgressDisplay("writing", file=io.StringIO())
        >>> shown(3, 4)
        >>> shown.close()
        >>> shown.file.getvalue()
        'writing [######################--------]  75%\\n'
        """
        if self._closed:
            return
        done, total = int(done), int(total)
        if total <= 0:
            done = total = 1  # an empty pass is complete from the start
        done = min(max(done, 0), total)
        self._seen = (done, total)
        if not self.live:
            return
        tqdm = _tqdm()
        if self._bar is None:
            self._bar = tqdm(total=total, desc=self.label, file=self.file, bar_format=self.bar_format,
                             ascii=_BAR_CHARS, leave=True)
        elif self._bar.total != total:
            self._bar.total = total
        self._bar.update(done - self._bar.n)

    def close(self, completed=True):
        """Ends the display; later calls do nothing.

        A bar is closed where it stands. Off a terminal, the one line of the
        pass is written here, showing the last ``(done, total)`` reported.

        Parameters
        ----------
        completed : bool, default True
            Whether the pass ran to its end. Off a terminal, a pass that did
            not writes no line.

        Returns
        -------
        None

        Examples
        --------
        >>> import io
        >>> shown = ProgressDisplay("scanning", file=io.StringIO())
        >>> shown(1, 2)
        >>> shown.close(completed=False)
        >>> shown.file.getvalue()
        ''
        """
        if self._closed:
            return
        self._closed = True
        if self._bar is not None:
            self._bar.close()
        elif completed and self._seen is not None:
            done, total = self._seen
            self.file.write(_tqdm().format_meter(done, total, time.monotonic() - self._started, prefix=self.label,
                                                 bar_format=self.bar_format, ascii=_BAR_CHARS) + "\n")
            self.file.flush()

    def __enter__(self):
        return self

    def __exit__(self, kind, value, traceback):
        self.close(completed=kind is None)


class _NoProgress:
    """A display that shows nothing, for passes run without progress."""

    def __call__(self, done, total):
        pass

    def __enter__(self):
        return self

    def __exit__(self, kind, value, traceback):
        pass


def progress_display(label, enabled=True, file=None, unit=None):
    """The display of a pass over many factors, or one that shows nothing.

    This is what ``progress=True`` of ``FactorLibrary``'s reads and writes
    shows.

    Parameters
    ----------
    label : str
        Text shown before the bar, such as ``"reading 24 factors"``.
    enabled : bool, default True
        Show the progress (a :class:`ProgressDisplay`), or nothing.
    file : file-like, optional
        Where the display is written; ``sys.stderr`` by default.
    unit : str, optional
        What the steps are; see :class:`ProgressDisplay`.

    Returns
    -------
    ProgressDisplay or display showing nothing
        A context manager called with ``(done, total)``.

    Examples
    --------
    >>> import io
    >>> log = io.StringIO()
    >>> with progress_display("writing 2 factors", file=log) as shown:
    ...     shown(2, 2)
    >>> log.getvalue()
    'writing 2 factors [##############################] 100%\\n'
    >>> with progress_display("writing 2 factors", enabled=False) as shown:
    ...     shown(2, 2)
    """
    return ProgressDisplay(label, file=file, unit=unit) if enabled else _NoProgress()
