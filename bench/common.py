"""Paths and the engine the benchmark measures."""

import hashlib
import os
import statistics
import sys
from pathlib import Path

BENCH = Path(__file__).resolve().parent
REPO = BENCH.parent
SRC = REPO / "src"
RESULTS = BENCH / "results"
WORKER = BENCH / "worker.py"


def source_tree_has_engine():
    return any((SRC / "quorbel").glob("detail*.so"))


def use_source_tree():
    """Import the engine built by tools/dev-build.sh when there is one, else
    the installed package."""
    if source_tree_has_engine() and str(SRC) not in sys.path:
        sys.path.insert(0, str(SRC))


def child_environment():
    env = dict(os.environ)
    if source_tree_has_engine():
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(SRC), env.get("PYTHONPATH")]))
    return env


def engine_tag():
    """Identifies the engine build, so that a rebuilt engine refills its files."""
    import quorbel.detail

    digest = hashlib.sha256(Path(quorbel.detail.__file__).read_bytes()).hexdigest()
    return digest[:12]


def median(values):
    return statistics.median(values) if values else None
