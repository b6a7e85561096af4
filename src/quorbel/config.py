"""Settings of the engine's environment.

Every setting has a default and an environment variable that overrides it:

| setting | environment variable | default |
|---|---|---|
| `get_mongodb_uri()` | `QUORBEL_MONGODB_URI` | `mongodb://127.0.0.1:27017` |
| `DATABASE` | `QUORBEL_DATABASE` | `quorbel` |
| `COLLECTION` | `QUORBEL_COLLECTION` | `instruments` |
| `MIN_FACTOR_DAY` | `QUORBEL_MIN_FACTOR_DAY` | `20050101` |
| `get_file_locking()` | `QUORBEL_FILE_LOCKING` | `on` |

``DATABASE``, ``COLLECTION`` and ``MIN_FACTOR_DAY`` are read once, when this
module is imported; the connection string and the file-locking setting are
read at every call, so that a process can be pointed at another server, or
switched to unlocked access, without a restart. Importing this module starts
no engine.

Examples
--------
>>> from quorbel import config
>>> config.COLLECTION
'instruments'
"""

import os

DEFAULT_MONGODB_URI = "mongodb://127.0.0.1:27017"
"""The connection string used when ``QUORBEL_MONGODB_URI`` is unset or empty."""


def _int_from_env(name, default):
    text = os.environ.get(name)
    if text is None or text.strip() == "":
        return default
    try:
        return int(text)
    except ValueError:
        raise ValueError(f"{name} must be an integer date code such as 20050101, not {text!r}") from None


DATABASE = os.environ.get("QUORBEL_DATABASE") or "quorbel"
"""The MongoDB database of the instrument index (``QUORBEL_DATABASE``)."""
COLLECTION = os.environ.get("QUORBEL_COLLECTION") or "instruments"
"""The collection of the instrument index (``QUORBEL_COLLECTION``)."""
MIN_FACTOR_DAY = _int_from_env("QUORBEL_MIN_FACTOR_DAY", 20050101)
"""The first day of the trading calendar, so of every factor matrix's column 0
(``QUORBEL_MIN_FACTOR_DAY``, a date code). Every process that shares factor
files must use the same one."""


def get_mongodb_uri():
    """The connection string of the MongoDB server that holds the instrument index.

    Read from ``QUORBEL_MONGODB_URI`` at every call (every fetch of the
    instrument index). Time-outs and other client options go into the
    connection string, for example ``serverSelectionTimeoutMS=5000``.

    Returns
    -------
    str
        ``QUORBEL_MONGODB_URI``, or ``DEFAULT_MONGODB_URI`` when that is unset
        or empty.

    Examples
    --------
    >>> import os
    >>> from unittest import mock
    >>> from quorbel import config
    >>> with mock.patch.dict(os.environ, {"QUORBEL_MONGODB_URI": "mongodb://db.example:27017"}):
    ...     config.get_mongodb_uri()
    'mongodb://db.example:27017'
    """
    return os.environ.get("QUORBEL_MONGODB_URI") or DEFAULT_MONGODB_URI


FILE_LOCKING_VALUES = ("on", "off", "best-effort")
"""The values ``QUORBEL_FILE_LOCKING`` may take."""


def get_file_locking():
    """How factor files are locked: ``"on"``, ``"off"`` or ``"best-effort"``.

    ``on`` (the default): writers take HDF5's exclusive file lock, so writers
    exclude each other. ``off``: no lock at all, for shared file systems whose
    locks fail or lie; each factor file must then have one writer at a time.
    ``best-effort``: locked, but a file system that refuses locks is used
    unlocked. Readers take no lock in any mode.

    Read at every open rather than at import: a bad value then fails the
    operations that open files with a message saying what to fix, and never
    the import that a user may need in order to fix it.

    Returns
    -------
    str
        ``QUORBEL_FILE_LOCKING`` in lower case without surrounding blanks, or
        ``"on"`` when it is unset or empty.

    Raises
    ------
    ValueError
        When the variable holds another value; the message names the
        variable and the allowed values.

    Examples
    --------
    >>> import os
    >>> from unittest import mock
    >>> from quorbel import config
    >>> with mock.patch.dict(os.environ, {"QUORBEL_FILE_LOCKING": " Best-Effort "}):
    ...     config.get_file_locking()
    'best-effort'
    """
    text = os.environ.get("QUORBEL_FILE_LOCKING")
    if text is None or text.strip() == "":
        return "on"
    value = text.strip().lower()
    if value not in FILE_LOCKING_VALUES:
        raise ValueError(f"QUORBEL_FILE_LOCKING must be one of on, off, best-effort, not {text!r}")
    return value


def dravolc_init():
    """Initialise the market-data client before its first use.

    ``quorbel.detail`` calls it when it starts, so that a client that cannot
    load fails the import instead of the first date lookup.

    Returns
    -------
    None

    Raises
    ------
    ImportError
        When the client or its calendar package cannot be imported.

    Examples
    --------
    >>> from quorbel import config
    >>> config.dravolc_init()
    """
    import dravolc

    dravolc.init()
