"""Decorators the engine is wrapped with: a result cache and a retry loop.

``quorbel.detail`` wraps ``get_all_trading_dates`` and
``_get_all_instrument_index`` in ``ttl_cache(3600)``, and ``get_h5`` in
``retry(5, OSError, 1, error_func=do_not_decrease_when_temporarily_unavailable)``.
"""

import functools
import threading
import time

# An attempt whose failure the retry predicate declares temporary does not use
# up the budget, but a condition that never clears must not loop for ever.
MAX_UNCOUNTED_ATTEMPTS = 30
"""Failures that ``retry`` absorbs in one call when its predicate calls them temporary."""


def ttl_cache(seconds):
    """Cache the result of a function without arguments for ``seconds`` seconds.

    An error is not cached: the next call computes again.  Threads that call
    at the same time wait for one computation instead of each running their
    own.  The wrapper offers ``cache_clear()``, which forgets the result.

    Parameters
    ----------
    seconds : float
        How long a result is served before the function runs again, counted
        from the end of the call that computed it.

    Returns
    -------
    callable
        A decorator for a function that takes no arguments.

    Examples
    --------
    >>> from quorbel.utils import ttl_cache
    >>> calls = []
    >>> @ttl_cache(3600)
    ... def calendar():
    ...     calls.append(1)
    ...     return [20240102, 20240103]
    >>> calendar() is calendar()
    True
    >>> len(calls)
    1
    >>> calendar.cache_clear()
    >>> _ = calendar()
    >>> len(calls)
    2
    """

    def decorator(func):
        lock = threading.RLock()
        state = {"expires": None, "value": None}

        @functools.wraps(func)
        def wrapper():
            with lock:
                now = time.monotonic()
                if state["expires"] is not None and now < state["expires"]:
                    return state["value"]
                value = func()
                state["value"] = value
                state["expires"] = time.monotonic() + seconds
                return value

        def cache_clear():
            with lock:
                state["expires"] = None
                state["value"] = None

        wrapper.cache_clear = cache_clear
        return wrapper

    return decorator


def retry(times, exceptions, pause, error_func=None):
    """Call the wrapped function again when it raises one of ``exceptions``.

    ``times`` failures that count end the retries and the last error is
    raised.  ``error_func(error)``, when given, decides whether a failure
    counts: a false answer marks it as temporary, so it does not use up the
    budget; at most ``MAX_UNCOUNTED_ATTEMPTS`` such failures are absorbed in
    one call.  An error whose ``retry_cannot_help`` attribute is true is
    raised at once: the engine marks so a damaged file that its own read
    loop has already waited for.  Between attempts the wrapper sleeps
    ``pause`` seconds.

    Parameters
    ----------
    times : int
        Failures that count before the last one is raised.
    exceptions : type or tuple of type
        The exceptions that are retried; any other passes through at once.
    pause : float
        Seconds to sleep between attempts.
    error_func : callable, optional
        ``error_func(error) -> bool``: whether a failure counts against
        ``times``. Every failure counts when it is None.

    Returns
    -------
    callable
        A decorator; the wrapped function keeps its name and docstring.

    Raises
    ------
    Exception
        The wrapped function's last error, once the retries are used up.

    Examples
    --------
    >>> from quorbel.utils import retry
    >>> attempts = []
    >>> @retry(3, OSError, 0)
    ... def flaky():
    ...     attempts.append(1)
    ...     if len(attempts) < 3:
    ...         raise OSError("busy")
    ...     return "done"
    >>> flaky(), len(attempts)
    ('done', 3)
    """

    def decorator(func):
        @functools.wraps(func)
        def wrapper(*args, **kwargs):
            counted = 0
            uncounted = 0
            while True:
                try:
                    return func(*args, **kwargs)
                except exceptions as error:
                    if getattr(error, "retry_cannot_help", False):
                        raise
                    if error_func is None or error_func(error):
                        counted += 1
                    else:
                        uncounted += 1
                    if counted >= times or uncounted > MAX_UNCOUNTED_ATTEMPTS:
                        raise
                time.sleep(pause)

        return wrapper

    return decorator
