"""Settings of the engine's environment.

Every value has a default and an environment override:

==========================  ==============================  =========================
name                        environment variable            default
==========================  ==============================  =========================
``get_mongodb_uri()``       ``QUORBEL_MONGODB_URI``         ``mongodb://127.0.0.1:27017``
``DATABASE``                ``QUORBEL_DATABASE``            ``quorbel``
``COLLECTION``              ``QUORBEL_COLLECTION``          ``instruments``
``MIN_FACTOR_DAY``          ``QUORBEL_MIN_FACTOR_DAY``      ``20050101``
``get_file_locking()``      ``QUORBEL_FILE_LOCKING``        ``on``
==========================  ==============================  =========================

``DATABASE``, ``COLLECTION`` and ``MIN_FACTOR_DAY`` are read once, when this
module is imported; the connection string and the file-locking setting are
read at every call, so that a process can be pointed at another server, or
switched to unlocked access, without a restart.

``QUORBEL_FILE_LOCKING`` is ``on`` (factor files are opened under file locks),
``off`` (never locked: for shared file systems whose locks fail or lie; each
factor file must then have one writer at a time) or ``best-effort`` (locked,
but a file system that refuses locks is used unlocked).
"""

import os

DEFAULT_MONGODB_URI = "mongodb://127.0.0.1:27017"


def _int_from_env(name, default):
    text = os.environ.get(name)
    if text is None or text.strip() == "":
        return default
    try:
        return int(text)
    except ValueError:
        raise ValueError(f"{name} must be an integer date code such as 20050101, not {text!r}") from None


DATABASE = os.environ.get("QUORBEL_DATABASE") or "quorbel"
COLLECTION = os.environ.get("QUORBEL_COLLECTION") or "instruments"
MIN_FACTOR_DAY = _int_from_env("QUORBEL_MIN_FACTOR_DAY", 20050101)


def get_mongodb_uri():
    """The connection string of the MongoDB server that holds the instrument index."""
    return os.environ.get("QUORBEL_MONGODB_URI") or DEFAULT_MONGODB_URI


FILE_LOCKING_VALUES = ("on", "off", "best-effort")


def get_file_locking():
    """How factor files are locked: "on", "off" or "best-effort".

    Read at every open rather than at import: a bad value then fails the
    operations that open files with a message saying what to fix, and never
    the import that a user may need in order to fix it.
    """
    text = os.environ.get("QUORBEL_FILE_LOCKING")
    if text is None or text.strip() == "":
        return "on"
    value = text.strip().lower()
    if value not in FILE_LOCKING_VALUES:
        raise ValueError(f"QUORBEL_FILE_LOCKING must be one of on, off, best-effort, not {text!r}")
    return value


def dravolc_init():
    """Initialise the market-data client before its first use."""
    import dravolc

    dravolc.init()
