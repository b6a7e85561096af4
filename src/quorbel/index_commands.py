"""``quorbel index serve`` and ``quorbel index show``: the instrument index at hand.

``serve`` runs a local MongoDB wire-protocol server (quorbel.index_server)
filled with instruments from a file, or the demo's, and prints the line that
points the engine at it; ``show`` prints the index the engine reads.
"""

from __future__ import annotations

import os
import signal
import sys
import time

from . import config
from ._extras import CommandError

__all__ = ["add_index_commands", "run_index_command"]


def _say(text):
    print(text, flush=True)


def _tell(text):
    print(text, file=sys.stderr, flush=True)


def _interrupted(signum, frame):
    raise KeyboardInterrupt


def _documents(source):
    from .index_server import demo_instruments, load_instruments

    if source is None:
        documents = demo_instruments()
        return documents, f"the demo's {len(documents)} instruments"
    try:
        documents = load_instruments(source)
    except (ImportError, ValueError, OSError) as error:
        raise CommandError(str(error)) from None
    return documents, f"{len(documents)} instruments from {source}"


def serve(args) -> int:
    """Serves until Ctrl-C (or SIGTERM); exit status 0 once stopped."""
    from .index_server import IndexServer, seed_collection

    if not 0 <= args.port <= 65535:
        raise CommandError(f"--port must be from 0 to 65535, not {args.port}")
    documents, origin = _documents(args.source)
    # Whatever the parent left SIGINT at, Ctrl-C ends the server here; SIGTERM
    # (a service manager, kill) ends it the same clean way.
    previous = {s: signal.signal(s, h) for s, h in ((signal.SIGINT, signal.default_int_handler),
                                                     (signal.SIGTERM, _interrupted))}
    try:
        server = IndexServer(args.port)
        try:
            server.start()
        except ImportError as error:
            raise CommandError(str(error)) from None
        except OSError as error:
            raise CommandError(f"{error.strerror}; choose another --port, or --port 0 for a free one") from None
        try:
            seed_collection(server.uri, documents)
            _tell(f"serving the instrument index at {server.uri}: {origin}, in database {config.DATABASE}, "
                  f"collection {config.COLLECTION}. Ctrl-C stops it (and forgets them).")
            _say(f"export QUORBEL_MONGODB_URI={server.uri}")
            while True:
                time.sleep(3600)
        except KeyboardInterrupt:
            pass
        finally:
            server.stop()
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)
    _tell("the instrument index server stopped")
    return 0


def show(args) -> int:
    """Prints the instrument index the engine reads, one line per instrument."""
    from .instrument_index import instruments

    table = instruments()
    if table.empty:
        _say(f"the instrument index is empty: no documents in {config.DATABASE}.{config.COLLECTION}")
        return 0
    try:
        _say(table.to_string(index=False))
    except BrokenPipeError:
        # The reader (head, a pager) has seen enough; the exit flush must
        # not fail on the closed pipe either.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    return 0


def add_index_commands(commands) -> None:
    """Adds ``index serve`` and ``index show`` to the ``quorbel`` parser's subcommands."""
    text = "The instrument index (MongoDB) that maps instruments to rows: serve one locally, or show it."
    index = commands.add_parser("index", help=text, description=text)
    actions = index.add_subparsers(dest="index_command", metavar="ACTION", required=True)
    serve_text = ("Run a local MongoDB wire-protocol server on 127.0.0.1 (needs quorbel[local]) holding the "
                  "instruments of FILE, or the demo's 5,000; print the export line that points "
                  "QUORBEL_MONGODB_URI at it and serve until Ctrl-C. Everything it holds lives in memory.")
    serve_p = actions.add_parser("serve", help=serve_text, description=serve_text)
    serve_p.add_argument("--from", dest="source", metavar="FILE",
                         help="a CSV or Parquet file with columns order_book_id and index (the row), and any "
                              "further fields")
    serve_p.add_argument("--port", type=int, default=0, help="the TCP port (default 0: a free one)")
    show_text = ("Print the instrument index that QUORBEL_MONGODB_URI points at: order_book_id, row and the "
                 "other fields, sorted by row.")
    actions.add_parser("show", help=show_text, description=show_text)


def run_index_command(args) -> int:
    """Runs ``quorbel index ACTION``; returns the exit status."""
    return {"serve": serve, "show": show}[args.index_command](args)
