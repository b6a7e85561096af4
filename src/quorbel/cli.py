"""The ``quorbel`` command: inspect and maintain factor files.

Commands (``quorbel COMMAND --help`` describes each):

- ``quorbel info FILE [--json]``: shape, chunks, filters, ``cursor_col`` and
  its date, the dates holding values, size, two compression ratios and
  metadata;
- ``quorbel show FILE ID... [--start D] [--end D]``: the values as a table;
- ``quorbel verify FILE``: checks the layout and reads every chunk;
- ``quorbel coverage FILE -o PNG [--start D] [--end D]``: a labelled picture
  of where values exist;
- ``quorbel rewrite FILE``: ``rewrite_factor`` with its time and sizes;
- ``quorbel ls ROOT [--json]``: one line per factor of a library folder;
- ``quorbel index serve [--from FILE] [--port N]``: a local instrument index;
  ``quorbel index show``: the instrument index, one line per instrument;
- ``quorbel history FILE [--date D] [--json]``: a factor file's commits, or
  one date's revisions; ``quorbel history enable PATH``: start recording them.

Failures print ``quorbel: error: ...`` and exit with status 1 (2 for a usage
error); Ctrl-C ends a long pass with status 130.

Parsing and printing live here; the progress display is quorbel.progress's
(its names are kept here too, for callers that import them from the command
line). The work on the files
(the scans, the chunk checks, the coverage picture, the rewrite) is
quorbel._extras's: it runs without the GIL and returns plain data, calling a
progress callable between batches.

Examples
--------
>>> from quorbel import cli
>>> cli.main(["info", "momentum.h5"])  # doctest: +SKIP
0
"""

import argparse
import json
import math
import os
import stat
import sys
import time

from . import _extras, cli_reports, detail
from ._extras import CommandError
from .history_commands import add_history_commands, run_history_command
from .index_commands import add_index_commands, run_index_command
from .dates import date_code
from .spans import date_of_column
from .progress import ProgressDisplay, progress_display

__all__ = ["main", "build_parser", "ProgressDisplay", "progress_display"]

# ---- output --------------------------------------------------------------------


def say(text):
    print(text, flush=True)


def warn(text):
    print(text, file=sys.stderr, flush=True)


def mib(size):
    return f"{size / (1 << 20):.1f} MiB"


def existing_file(path):
    if not path:
        raise CommandError("path is empty")
    try:
        st = os.stat(path)
    except (OSError, ValueError):
        raise CommandError(f"no such file: {path}") from None
    if not stat.S_ISREG(st.st_mode):
        raise CommandError(f"not a file: {path}")
    return path


def file_size(path):
    try:
        return os.stat(path).st_size
    except OSError:
        return 0


def column_text(column):
    """The column with its trading date, through quorbel.detail's calendar."""
    try:
        date = detail._get_date_by_index(column, column)[0]
    except IndexError:
        return f"column {column}, beyond the calendar"
    return f"column {column}, {date}"


def filters_text(filters):
    if not filters:
        return "none"
    return ", ".join(f"{name or f'filter {number}'}({','.join(map(str, options))})"
                     for number, name, options in filters)


def extent_text(n):
    return "unlimited" if n is None else str(n)


# ---- info ----------------------------------------------------------------------


def cursor_col_value(layout):
    """cursor_col as a column, None when absent; it must be a scalar integer."""
    stored = layout["cursor_col"]
    if stored is None:
        return None
    if stored["kind"] not in ("int", "uint") or math.prod(stored["shape"]) != 1 or stored["value"] is None:
        raise CommandError("Attribute 'cursor_col' is not a scalar integer")
    return stored["value"]


def meta_lines(meta):
    """The metadata as `info` prints it: a key a line, text as it is, other values as JSON."""
    if not meta:
        return ["none"]
    return [f"{key}: {value if isinstance(value, str) else json.dumps(value, ensure_ascii=False)}"
            for key, value in meta.items()]


def info(args):
    from .library.metadata import parse_meta

    path = existing_file(args.file)
    layout = _extras._matrix_layout(path)
    rows, cols = layout["rows"], layout["cols"]
    cursor = cursor_col_value(layout)
    try:
        meta, meta_problem = parse_meta(layout["meta"], path), None
    except ValueError as error:  # the rest of the file still has its say
        meta, meta_problem = None, str(error)
    with ProgressDisplay("scanning") as progress:
        extent = _extras._value_extent(path, progress)
    size = file_size(path)
    if args.json:
        fill = layout["fill_value"]
        say(json.dumps({"file": path, "shape": [rows, cols], "max_shape": list(layout["max_shape"]),
                        "chunks": list(layout["chunks"]) if layout["chunks"] else None, "dtype": layout["dtype"],
                        "filters": [[number, name, list(options)] for number, name, options in layout["filters"]],
                        "fill_value": None if fill is None else format(fill, "g"), "cursor_col": cursor,
                        "cursor_date": date_of_column(cursor), "first_value_date": date_of_column(extent["first"]),
                        "last_value_date": date_of_column(extent["last"]),
                        "instruments_with_values": extent["instruments"], "size": size, "meta": meta,
                        **({"meta_error": meta_problem} if meta_problem else {})},
                       indent=2, ensure_ascii=False))
        return 1 if meta_problem else 0
    say(f"file          {path}")
    say(f"shape         {rows} instruments x {cols} dates")
    say(f"max shape     {extent_text(layout['max_shape'][0])} x {extent_text(layout['max_shape'][1])}")
    chunks = layout["chunks"]
    say("chunks        " + (f"{chunks[0]} x {chunks[1]}" if chunks else "none (contiguous)"))
    say(f"dtype         {layout['dtype']}")
    say(f"filters       {filters_text(layout['filters'])}")
    fill = layout["fill_value"]
    say("fill value    " + ("not a float" if fill is None else format(fill, "g")))
    if cursor is None:
        say("cursor_col    absent (nothing written yet)")
    else:
        say("cursor_col    " + (column_text(cursor) if cursor >= 0 else str(cursor)))
    if extent["first"] is None:
        say("values        none")
    else:
        say(f"first value   {column_text(extent['first'])}")
        say(f"last value    {column_text(extent['last'])}")
    say(f"instruments   {extent['instruments']} hold values")
    say(f"file size     {mib(size)} ({size} bytes)")
    for line in cli_reports.compression_lines(size, rows, cols, extent["cells"], mib):
        say(line)
    for number, line in enumerate([f"unreadable: {meta_problem}"] if meta_problem else meta_lines(meta)):
        say(f"{'meta' if number == 0 else '':<14}{line}")
    return 1 if meta_problem else 0


# ---- verify --------------------------------------------------------------------


def layout_problems(layout):
    problems = [f"the file holds '{name}' besides 'data'" for name in layout["members"] if name != "data"]
    if layout["dtype"] != "<f8":
        problems.append(f"'data' is {layout['dtype']}, not <f8")
    if not layout["chunks"]:
        problems.append("'data' is not chunked")
    filters = layout["filters"]
    deflate9 = len(filters) == 1 and filters[0][0] == 1 and filters[0][2][:1] == [9]
    if not deflate9:
        problems.append(f"filters are {filters_text(filters)}, not DEFLATE level 9 alone")
    fill = layout["fill_value"]
    if fill is None or not math.isnan(fill):
        problems.append("the fill value is not NaN")
    if tuple(layout["max_shape"]) != (None, None):
        problems.append("the maximum shape is not unlimited in both dimensions")
    cursor = layout["cursor_col"]
    if cursor is not None:
        if cursor["kind"] != "int" or cursor["size"] != 8 or cursor["shape"]:
            problems.append("cursor_col is not a scalar int64")
        elif not 0 <= cursor["value"] < layout["cols"]:
            problems.append(f"cursor_col {cursor['value']} lies outside the matrix's {layout['cols']} columns")
    return problems


def verify(args):
    path = existing_file(args.file)
    layout = _extras._matrix_layout(path)
    problems = layout_problems(layout)
    if layout["journal_is_own"]:
        problems.append(f"an unfinished write left its journal {layout['journal']}; "
                        "opening the file through get_h5 with write access undoes that write")
    elif os.path.exists(layout["journal"]):
        say(f"note: {layout['journal']} was written for another file that stood at this path; "
            "the next write to this file sets it aside")
    with ProgressDisplay("reading chunks") as progress:
        unreadable = _extras._unreadable_chunks(path, progress)
    problems += [f"the chunk at row {row}, column {col} cannot be read: {error}" for row, col, error in unreadable]
    # Only a file whose layout and chunks are sound is read for where its values lie.
    past_cursor = None if problems else cli_reports.values_past_cursor(path)
    if past_cursor:
        say(f"warning: {past_cursor}")
    for problem in problems:
        say(f"problem: {problem}")
    if problems:
        say(f"{path}: {len(problems)} " + ("problem" if len(problems) == 1 else "problems"))
        return 1
    say(f"{path}: OK ({layout['rows']} x {layout['cols']}, every chunk readable)")
    return 0


# ---- coverage ------------------------------------------------------------------


def coverage(args):
    path = existing_file(args.file)
    if args.width < 1 or args.height < 1:
        raise CommandError("--width and --height must be at least 1")
    start, end = date_arguments(args, None, None) if args.start or args.end else (None, None)
    first, stop = cli_reports.coverage_section(path, start, end)
    layout = _extras._matrix_layout(path)
    x_ticks, y_ticks = cli_reports.axis_ticks(first, stop, layout["rows"])
    # No matrix is wider or taller than this; larger requests mean "as is".
    most = 2**62
    with ProgressDisplay("scanning") as progress:
        picture = _extras._draw_coverage(path, args.output, min(args.width, most), min(args.height, most), progress,
                                         first, stop, x_ticks, y_ticks)
    dates = " to ".join(str(d) for d in (date_of_column(first), date_of_column(stop - 1)) if d is not None)
    say(f"wrote {args.output}: {picture['image_width']} x {picture['image_height']} pixels, the plot "
        f"{picture['width']} x {picture['height']} at the top left: {picture['rows']} instruments top to bottom "
        f"(counted on the right) x {stop - first} dates left to right (columns {first} to {stop - 1}"
        + (f", {dates}" if dates else "") + "; years below)")
    cursor = picture["cursor_col"]
    say("dark = values, grey = some, white = none"
        + (f"; red line = cursor_col ({column_text(cursor)})" if cursor is not None else ""))
    return 0


# ---- rewrite -------------------------------------------------------------------


def rewrite(args):
    path = existing_file(args.file)
    _extras._matrix_layout(path)  # a clear error for a file that is no factor file
    before = file_size(path)
    warn(f"rewriting {path} ...")
    started = time.monotonic()
    with ProgressDisplay("reading ") as reading, ProgressDisplay("writing ") as writing:

        def writing_progress(done, total):
            reading.close()  # the reading pass is over: end its line first
            writing(done, total)

        _extras._rewrite(path, reading, writing_progress)
    seconds = time.monotonic() - started
    say(f"rewrote {path} in {seconds:.1f} s: {mib(before)} -> {mib(file_size(path))}")
    return 0


# ---- show ----------------------------------------------------------------------


def date_argument(value, fallback, what):
    if value is None:
        return fallback
    try:
        return date_code(value, what)
    except ValueError as e:
        raise CommandError(str(e)) from None


def date_arguments(args, first=0, last=99991231):
    """(start, end) of --start and --end, read as every reader of the package reads a date."""
    start, end = date_argument(args.start, first, "--start"), date_argument(args.end, last, "--end")
    if start is not None and end is not None and start > end:
        raise CommandError(f"--start {start} lies after --end {end}: give the earlier date first")
    return start, end


def show(args):
    path = existing_file(args.file)
    _extras._matrix_layout(path)
    start, end = date_arguments(args)
    frame = _extras._show_panel(path, args.ids, start, end)
    for order_book_id in args.ids:
        if order_book_id not in frame.columns:
            warn(f"not in the instrument index: {order_book_id}")
    if len(frame.columns) == 0:
        raise CommandError("none of the instruments is in the instrument index")
    if len(frame) == 0:
        say("no trading dates with values in that range")
        return 0
    say(frame.to_string())
    return 0


# ---- ls ------------------------------------------------------------------------


def ls(args):
    from . import cli_ls

    if not os.path.isdir(args.root):
        raise CommandError(f"not a folder: {args.root}")
    with ProgressDisplay("scanning factors") as progress:
        entries = cli_ls.factor_entries(args.root, progress)
    if args.json:
        say(json.dumps(entries, indent=2))
    else:
        for line in cli_ls.listing_lines(entries, mib):
            say(line)
    return 1 if any("error" in e for e in entries) else 0


# ---- the parser ----------------------------------------------------------------

COMMANDS = {"info": info, "show": show, "verify": verify, "coverage": coverage, "rewrite": rewrite, "ls": ls,
            "index": run_index_command, "history": run_history_command}


def build_parser():
    parser = argparse.ArgumentParser(
        prog="quorbel",
        description="Inspect and maintain quorbel factor files. Dates are read through the trading calendar; "
                    "only `show` and `index show` need the instrument index (MongoDB), which `index serve` "
                    "runs locally.")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def command(name, text):
        sub = commands.add_parser(name, help=text, description=text)
        sub.add_argument("file", help="the factor file (HDF5)")
        return sub

    info_p = command("info", "Shape, chunks, filters, fill value, cursor_col and its date, the first and last dates "
                             "holding values, how many instruments hold values, file size, compression ratio and "
                             "the factor's metadata.")
    info_p.add_argument("--json", action="store_true", help="print the same as JSON")
    show_p = command("show", "The values of some instruments as a table (dates x instruments), up to cursor_col. "
                             "Needs the instrument index (MongoDB).")
    show_p.add_argument("ids", nargs="+", metavar="ID", help="order_book_id of an instrument")
    show_p.add_argument("--start", help="first date, 20180102 or 2018-01-02 (default: the first)")
    show_p.add_argument("--end", help="last date (default: the last, as far as cursor_col)")
    command("verify", "Check the layout (one dataset 'data', <f8, DEFLATE 9 alone, NaN fill, unlimited maximum "
                      "shape, cursor_col a scalar int64 inside the matrix) and read every chunk. Exit status 1 when "
                      "anything is wrong.")
    cov = command("coverage", "Draw where values exist as a PNG: instruments top to bottom against dates left to "
                              "right, downsampled to fit, with cursor_col as a red line, years labelled below and "
                              "instrument counts on the right; over the dates holding values unless --start or "
                              "--end says otherwise.")
    cov.add_argument("-o", "--output", required=True, help="the PNG file to write")
    cov.add_argument("--width", type=int, default=1200, help="at most this many pixels across (default 1200)")
    cov.add_argument("--height", type=int, default=800, help="at most this many pixels down (default 800)")
    cov.add_argument("--start", help="first date, 20180102 or 2018-01-02 (default: the first date holding a value)")
    cov.add_argument("--end", help="last date (default: the last date holding a value)")
    command("rewrite", "Replace the file by a compact fresh copy (rewrite_factor): same cells and attributes.")
    ls_p = commands.add_parser(
        "ls", help="One line per factor of a library folder: name, shape, first and last dates holding a value, "
                   "cursor date, file size, metadata.",
        description="One line per factor of a library folder (every *.h5 below ROOT, hidden ones aside): name, "
                    "shape, first and last dates holding a value, cursor date, file size and the metadata as JSON "
                    "(a column shown when some factor has any). Exit status 1 when a file cannot be read (its "
                    "line says why).")
    ls_p.add_argument("root", metavar="ROOT", help="the library folder")
    ls_p.add_argument("--json", action="store_true", help="print the listing as JSON")
    add_index_commands(commands)
    add_history_commands(commands)
    return parser


def _type_name(error):
    kind = type(error)
    return kind.__qualname__ if kind.__module__ == "builtins" else f"{kind.__module__}.{kind.__qualname__}"


def main(argv=None):
    """Runs the command in argv (default sys.argv[1:]); returns the exit status."""
    try:
        args = build_parser().parse_args(sys.argv[1:] if argv is None else argv)
        return COMMANDS[args.command](args)
    except SystemExit as e:
        if e.code is None:
            return 0
        if isinstance(e.code, int):
            return e.code
        warn(str(e.code))
        return 1
    except KeyboardInterrupt:
        warn("interrupted")
        return 130
    except BrokenPipeError:
        # The reader of the output went away (`quorbel info f | head`): not
        # a failure of the command. Later writes, and the flush at exit, go
        # nowhere instead of raising again.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
        return 0
    except CommandError as e:
        warn(f"quorbel: error: {e}")
        return 1
    except Exception as e:
        warn(f"quorbel: error: {_type_name(e)}: {e}")
        return 1


if __name__ == "__main__":
    sys.exit(main())
