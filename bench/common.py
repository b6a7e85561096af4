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


def scratch_path(pid):
    """Where worker `pid` writes its copies of a market file."""
    return RESULTS / f"scratch-{pid}.h5"


def remove_stale_scratch():
    """Copies left by workers that were killed."""
    for path in RESULTS.glob("scratch-*.h5*"):
        pid = int(path.name.split("-")[1].split(".")[0])
        try:
            os.kill(pid, 0)
        except ProcessLookupError:
            path.unlink(missing_ok=True)
        except PermissionError:
            pass


def median(values):
    return statistics.median(values) if values else None


def touch(nbytes):
    """Faults in `nbytes` and frees them: pages freed for a few seconds go back
    to the host here, and faulting them in again would be timed otherwise."""
    if nbytes:
        import numpy as np

        block = np.empty(nbytes, dtype=np.uint8)
        block[::4096] = 1
        del block


def publish(stem, record, text):
    """Writes bench/results/<stem>.json and .md and prints the table."""
    import json

    RESULTS.mkdir(exist_ok=True)
    (RESULTS / f"{stem}.json").write_text(json.dumps(record, indent=1))
    (RESULTS / f"{stem}.md").write_text(text)
    print(text)
