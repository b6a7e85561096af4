"""`quorbel ls ROOT`: one line per factor of a library folder.

Every file is read through the engine's span scan (quorbel.spans), which
stops at the first chunk column holding a value from each end, so a listing
of a thousand factors reads two chunk columns of each instead of every chunk.
"""

from __future__ import annotations

import json
import os

from .spans import FileSpan, file_spans


def _size(path: str) -> int:
    try:
        return os.stat(path).st_size
    except OSError:
        return 0


def _error_text(error: BaseException) -> str:
    kind = type(error)
    return str(error) or (kind.__qualname__ if kind.__module__ == "builtins" else f"{kind.__module__}.{kind.__qualname__}")


def factor_entries(root: str, progress=None) -> list:
    """One dict per factor of the folder (and per dangling link), sorted by
    name; a file that cannot be read gets its error instead of the figures."""
    from .library.catalog import _dangling_factors, _factor_names, _factor_path

    names = _factor_names(root)
    paths = [_factor_path(root, name) for name in names]
    entries = []
    for name, path, span in zip(names, paths, file_spans(paths, progress)):
        entry = {"name": name, "path": path, "size": _size(path)}
        if isinstance(span, FileSpan):
            entry.update(shape=list(span.shape), first_value_date=span.first_date, last_value_date=span.last_date,
                         cursor_date=span.cursor_date)
            _add_meta(entry, span)
        else:
            entry["error"] = _error_text(span)
        entries.append(entry)
    for name, path, target in _dangling_factors(root):
        entries.append({"name": name, "path": path, "size": 0,
                        "error": f"dangling symbolic link to {target}: no such file"})
    return sorted(entries, key=lambda e: e["name"])


def _add_meta(entry: dict, span: FileSpan) -> None:
    """The factor's metadata into its entry, or the reason it cannot be read."""
    from .library.metadata import parse_meta

    try:
        entry["meta"] = parse_meta(span.meta, span.path)
    except ValueError as error:
        entry["error"] = _error_text(error)


def listing_lines(entries: list, mib) -> list:
    """The text listing: a header and a line per entry, with a metadata
    column only when some factor has metadata to show."""
    width = max([len("name")] + [len(e["name"]) for e in entries])
    with_meta = any(e.get("meta") for e in entries)
    lines = [f"{'name':<{width}}  {'shape':>13}  {'first':>8}  {'last':>8}  {'cursor':>8}  {'size':>10}"
             + ("  meta" if with_meta else "")]
    for entry in entries:
        if "error" in entry:
            lines.append(f"{entry['name']:<{width}}  error: {entry['error']}")
            continue
        shown = ["-" if entry[key] is None else str(entry[key])
                 for key in ("first_value_date", "last_value_date", "cursor_date")]
        shape = f"{entry['shape'][0]} x {entry['shape'][1]}"
        line = (f"{entry['name']:<{width}}  {shape:>13}  {shown[0]:>8}  {shown[1]:>8}  {shown[2]:>8}  "
                f"{mib(entry['size']):>10}")
        if with_meta and entry.get("meta"):
            line += "  " + json.dumps(entry["meta"], ensure_ascii=False)
        lines.append(line)
    return lines
