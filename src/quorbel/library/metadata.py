"""A factor's metadata (description, units, owner, tags and whatever else a
researcher adds): stored in the factor file itself, read back as a dict.

The metadata is one JSON object kept as a text attribute ``meta`` of the
dataset ``data``. Not on the root group: the file format keeps the root group
free of attributes and a rewrite carries over only ``data`` and its
attributes, every one of them, so an attribute of ``data`` is the place that
travels with the file through ``rewrite_factor`` and through any copy of the
``.h5`` alone. Text holding JSON, not one attribute per key, so that any
HDF5 reader gets nested values and lists back with one parse, and a key can
never collide with ``cursor_col``. It is set through the engine's handle, so
the write is journalled like any other: after a crash the file holds the old
metadata or the new, never a torn one.
"""

from __future__ import annotations

import json
import math
from collections.abc import Mapping

import numpy as np

from .. import detail
from .catalog import _existing_path, check_hdf5_signature

__all__ = ["META_ATTRIBUTE", "parse_meta", "read_meta", "describe_factor"]

# The attribute of `data` that holds the metadata, as JSON text.
META_ATTRIBUTE = "meta"

# The fields every factor may have, and what each must be.
_TEXT_FIELDS = ("description", "units", "owner")
_STORE_ANEW = "store the metadata anew with describe(name, ..., replace=True)"


def _json_value(value, where: str):
    """`value` as plain JSON types (tuples become lists, NumPy scalars
    Python numbers); TypeError or ValueError naming `where` otherwise."""
    if isinstance(value, np.generic) and not isinstance(value, (np.void, np.datetime64, np.timedelta64)):
        value = value.item()
    if value is None or isinstance(value, (bool, str, int)):
        return value
    if isinstance(value, float):
        if not math.isfinite(value):
            raise ValueError(f"metadata {where} is {value!r}: JSON has no NaN or infinity; leave the key out")
        return value
    if isinstance(value, (list, tuple)):
        return [_json_value(item, f"{where}[{i}]") for i, item in enumerate(value)]
    if isinstance(value, Mapping):
        converted = {}
        for key, item in value.items():
            if not isinstance(key, str):
                raise TypeError(f"metadata {where} has the key {key!r} of type {type(key).__name__}: "
                                "JSON object keys are str")
            converted[key] = _json_value(item, f"{where}[{key!r}]")
        return converted
    raise TypeError(f"metadata {where} is a {type(value).__name__} ({value!r:.80}), which JSON cannot hold: "
                    "give str, int, float, bool, None, or lists and dicts of them")


def _checked_fields(fields: dict) -> dict:
    """The fields given to describe, None ones dropped, every value checked."""
    checked = {}
    for key, value in fields.items():
        if value is None:
            continue
        if key in _TEXT_FIELDS and not isinstance(value, str):
            raise TypeError(f"metadata '{key}' must be a str, not {type(value).__name__}")
        if key == "tags":
            if isinstance(value, (str, bytes)) or not isinstance(value, (list, tuple)):
                raise TypeError(f"metadata 'tags' must be a list of str, not {type(value).__name__}")
            for tag in value:
                if not isinstance(tag, str):
                    raise TypeError(f"metadata 'tags' holds {tag!r} of type {type(tag).__name__}, not str")
        checked[key] = _json_value(value, repr(key))
    return checked


def parse_meta(stored, path: str) -> dict:
    """The metadata in the attribute as stored (None when absent); {} when none.

    Parameters
    ----------
    stored : str or None
        The attribute ``meta`` of ``data``, as read.
    path : str
        The file, for errors.

    Returns
    -------
    dict

    Raises
    ------
    ValueError
        Naming `path`, if the attribute holds no JSON object (another tool
        wrote something else under that name).
    """
    if stored is None:
        return {}
    if isinstance(stored, bytes):
        stored = stored.decode("utf-8", "replace")
    if not isinstance(stored, str):
        raise ValueError(f"factor file {path}: attribute '{META_ATTRIBUTE}' of 'data' is not text holding a JSON "
                         f"object but {type(stored).__name__}; {_STORE_ANEW}")
    try:
        meta = json.loads(stored)
    except ValueError as error:
        raise ValueError(f"factor file {path}: attribute '{META_ATTRIBUTE}' of 'data' is not valid JSON ({error}); "
                         f"{_STORE_ANEW}") from None
    if not isinstance(meta, dict):
        raise ValueError(f"factor file {path}: attribute '{META_ATTRIBUTE}' of 'data' holds a JSON "
                         f"{type(meta).__name__}, not an object; {_STORE_ANEW}")
    return meta


def read_meta(h5, path: str) -> dict:
    """The metadata of an open factor file; {} when none (see :func:`parse_meta`)."""
    return parse_meta(h5["data"].attrs.get(META_ATTRIBUTE), path)


def describe_factor(root: str, name: str, fields: dict, replace: bool) -> dict:
    """Stores the metadata of one factor (see FactorLibrary.describe)."""
    path = _existing_path(root, name)
    checked = _checked_fields(fields)
    check_hdf5_signature(path)
    # Opening for writing keeps other writers out until the close, so the
    # metadata read here is the one the new text replaces.
    handle = detail.get_h5(path, write=True)
    with handle:
        meta = {} if replace else read_meta(handle, path)
        meta.update(checked)
        text = json.dumps(meta, ensure_ascii=False, sort_keys=True, allow_nan=False)
        stored = handle["data"].attrs.get(META_ATTRIBUTE)
        if not (isinstance(stored, str) and stored == text):  # an unchanged file is left untouched
            handle["data"].attrs[META_ATTRIBUTE] = text
    return json.loads(text)  # as info() will read it: keys sorted
