"""Settings of the engine's environment.

Every value has a default and an environment override:

==========================  ==============================  =========================
name                        environment variable            default
==========================  ==============================  =========================
``get_mongodb_uri()``       ``QUORBEL_MONGODB_URI``         ``mongodb://127.0.0.1:27017``
``DATABASE``                ``QUORBEL_DATABASE``            ``quorbel``
``COLLECTION``              ``QUORBEL_COLLECTION``          ``instruments``
``MIN_FACTOR_DAY``          ``QUORBEL_MIN_FACTOR_DAY``      ``20050101``
==========================  ==============================  =========================

``DATABASE``, ``COLLECTION`` and ``MIN_FACTOR_DAY`` are read once, when this
module is imported; the connection string is read at every call, so that a
process can be pointed at another server without a restart.
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


def dravolc_init():
    """Initialise the market-data client before its first use."""
    import dravolc

    dravolc.init()
