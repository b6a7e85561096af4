"""Decorators the engine is wrapped with: a result cache and a retry loop."""

import functools
import threading
import time

# An attempt whose failure the retry predicate declares temporary does not use
# up the budget, but a condition that never clears must not loop for ever.
MAX_UNCOUNTED_ATTEMPTS = 30


def ttl_cache(seconds):
    """Cache the result of a function without arguments for ``seconds`` seconds.

    An error is not cached: the next call computes again.  Threads that call
    at the same time wait for one computation instead of each running their
    own.  The wrapper offers ``cache_clear()``.
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
    one call.  Between attempts the wrapper sleeps ``pause`` seconds.
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
                    if error_func is None or error_func(error):
                        counted += 1
                    else:
                        uncounted += 1
                    if counted >= times or uncounted > MAX_UNCOUNTED_ATTEMPTS:
                        raise
                time.sleep(pause)

        return wrapper

    return decorator
