"""The writer runs the explorer records, and what each engine call promises.

A scenario prepares factor files (untraced), then runs its engine calls
twice from copies of them: once under strace (the recording) and once
without, reading every file with h5py after each call (the reference). The
recording is checked against the directory it left behind: replaying all of
it must give those files byte for byte, or the model missed a write.
"""

import json
import os
import shutil
import subprocess
import sys
from dataclasses import dataclass, field

import numpy as np

from .crash_model import CrashModel
from .history_check import chain_of
from .recording import record
from .strace_log import STRACE_OPTIONS, TraceError
from .verdicts import ABSENT, FileHistory, summarize


def rows_of(states, prefixes):
    """The rows every summary of a file is taken over (FileHistory's rule)."""
    shapes = [s[0].shape[0] for s in states if s is not None]
    shapes += [m.shape[0] for found in prefixes.values() for m, _ in found]
    return max(shapes) if shapes else 0


def verdicts_summary(state, rows):
    return ABSENT if state is None else summarize(state[0], state[1], rows)



def _weekdays(first, count):
    """Date codes of `count` weekdays from `first` on: a calendar the library's
    date checks accept."""
    import datetime

    day, out = first, []
    while len(out) < count:
        if day.weekday() < 5:
            out.append(day.year * 10000 + day.month * 100 + day.day)
        day += datetime.timedelta(days=1)
    return out


CALENDAR = _weekdays(__import__("datetime").date(2010, 1, 4), 600)
LISTED = 300
WRITER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "writer.py")


@dataclass
class Scenario:
    """Prepared factor files and the engine calls the writer makes on them.

    Attributes
    ----------
    name : str
    about : str
        One line for reports.
    prepared : dict
        ``{file: (shape, columns written)}`` made before the recording.
    steps : list
        Writer steps (see writer.py), one engine call each.
    files : list
        The factor files every state is checked for.
    listed : int
        Instruments in the injected index.
    locking : str
        QUORBEL_FILE_LOCKING of the writer (the checks always use ``on``).
    grows : str
        "rows" or "columns" when the scenario is there to grow the matrix:
        the reference run must show it grew along that axis.
    bands : int
        The bands of chunk columns each batch (``packs`` step) spans; the
        prepared file must show it, or the scenario tests less than it says.
        0: not checked.
    write_again : int
        A ``packs`` step (numbered from 1) that the checks write again into
        every crash state (see verdicts.FileHistory); 0: none.
    history : bool
        The prepared files keep a history (started after their dates, then
        one date revised in part, so that it holds old values too).
    """

    name: str
    about: str
    prepared: dict
    steps: list
    files: list = field(default_factory=lambda: ["f.h5"])
    listed: int = LISTED
    locking: str = "on"
    grows: str = ""
    bands: int = 0
    write_again: int = 0
    history: bool = False

    def written(self, file):
        """call -> the columns that call writes into `file`."""
        out = {}
        for call, step in enumerate(self.steps, 1):
            if step.get("file") == file and step["op"] == "put":
                out[call] = [step["column"]]
            elif step.get("file") == file and step["op"] == "packs":
                out[call] = list(step["columns"])
            elif step["op"] == "library" and file in step["files"]:
                out[call] = [step["column"]]
        return out


def _one_date(column):
    return [{"op": "open", "file": "f.h5"}, {"op": "put", "file": "f.h5", "column": column},
            {"op": "close", "file": "f.h5"}]


# Chunks of a (320, 250) matrix are 40 x 63: band 1 is columns 63-125.
SCENARIOS = [
    Scenario("mid-band", "a date in the middle of a band of chunk columns",
             {"f.h5": ((320, 250), range(28, 40))}, _one_date(40)),
    Scenario("growth-columns", "a date past the last column: the matrix grows by 250 columns",
             {"f.h5": ((320, 250), range(244, 250))}, _one_date(250), grows="columns"),
    Scenario("growth-rows", "a date with more instruments listed than rows: the matrix grows by 500 rows",
             {"f.h5": ((300, 250), range(4, 10))}, _one_date(10), listed=330, grows="rows"),
    Scenario("batch", "put_factor_packs of 3 dates, the last opening a new band",
             {"f.h5": ((320, 250), range(55, 61))},
             [{"op": "open", "file": "f.h5"}, {"op": "packs", "file": "f.h5", "columns": [61, 62, 63]},
              {"op": "close", "file": "f.h5"}], bands=2),
    Scenario("backfill", "put_factor_packs of 60 dates over two bands: 53 rewritten in band 0, then 3 rewritten "
                         "and 4 new in band 1; the batch written again into every state",
             {"f.h5": ((320, 250), range(0, 66))},
             [{"op": "open", "file": "f.h5"},
              {"op": "packs", "file": "f.h5", "columns": list(range(10, 70)), "round": 1},
              {"op": "close", "file": "f.h5"}], bands=2, write_again=2),
    Scenario("rewrite-then-date", "rewrite_factor, then a date into the file it made",
             {"f.h5": ((320, 250), range(28, 40))}, [{"op": "rewrite", "file": "f.h5"}, *_one_date(40)]),
    Scenario("create", "create_new_factor_h5 of a (320, 250) matrix, then close",
             {}, [{"op": "create", "file": "f.h5", "shape": [320, 250]}, {"op": "close", "file": "f.h5"}]),
    Scenario("create-by-open", "get_h5(path, write=True) on a missing path, then close",
             {}, [{"op": "open", "file": "f.h5"}, {"op": "close", "file": "f.h5"}]),
    Scenario("remove", "remove_factor",
             {"f.h5": ((320, 250), range(28, 40))}, [{"op": "remove", "file": "f.h5"}]),
    Scenario("library", "FactorLibrary.write of one date into 3 factors (on threads)",
             {f: ((320, 250), range(28, 40)) for f in ("a.h5", "b.h5", "c.h5")},
             [{"op": "library", "files": ["a.h5", "b.h5", "c.h5"], "column": 40}],
             files=["a.h5", "b.h5", "c.h5"]),
    Scenario("locking-off", "a date written with QUORBEL_FILE_LOCKING=off",
             {"f.h5": ((320, 250), range(28, 40))}, _one_date(40), locking="off"),
    Scenario("history-date", "a date into a file that keeps a history: the date and its record",
             {"f.h5": ((320, 250), range(28, 40))}, _one_date(40), history=True),
    Scenario("history-backfill", "the backfill into a file that keeps a history: one record holding the old "
                                 "values of 56 dates",
             {"f.h5": ((320, 250), range(0, 66))},
             [{"op": "open", "file": "f.h5"},
              {"op": "packs", "file": "f.h5", "columns": list(range(10, 70)), "round": 1},
              {"op": "close", "file": "f.h5"}], bands=2, write_again=2, history=True),
    Scenario("history-enable", "a history started (published by a rename), then a date recorded in it",
             {"f.h5": ((320, 250), range(28, 40))},
             [{"op": "open", "file": "f.h5"}, {"op": "enable_history", "file": "f.h5"},
              {"op": "put", "file": "f.h5", "column": 40}, {"op": "close", "file": "f.h5"}]),
    Scenario("history-prune", "a history pruned (rewritten whole and put in place by a rename)",
             {"f.h5": ((320, 250), range(28, 40))},
             [{"op": "open", "file": "f.h5"}, {"op": "prune_history", "file": "f.h5"},
              {"op": "close", "file": "f.h5"}], history=True),
]

QUICK = ["mid-band", "batch", "rewrite-then-date", "create", "remove", "history-date"]


def by_name(names):
    known = {s.name: s for s in SCENARIOS}
    unknown = [n for n in names if n not in known]
    if unknown:
        raise ValueError(f"unknown scenario(s) {unknown}; known: {sorted(known)}")
    return [known[n] for n in names]


def _engine_env(locking="on"):
    """The environment of writer children: the engine the explorer itself
    imports comes first on their path, whatever PYTHONPATH says."""
    import quorbel

    env = dict(os.environ, QUORBEL_FILE_LOCKING=locking, PYTHONDONTWRITEBYTECODE="1")
    package_parent = os.path.dirname(os.path.dirname(os.path.abspath(quorbel.__file__)))
    env["PYTHONPATH"] = os.pathsep.join(p for p in (package_parent, env.get("PYTHONPATH")) if p)
    return env


def run_writer(scenario, root, mode, steps, workdir, trace=None, reference_dir=None):
    listed = scenario.listed
    if mode == "prepare":
        # Listing more instruments than a prepared matrix has rows would grow
        # it now, and leave the scenario's growth nothing to do.
        listed = min([listed] + [shape[0] for shape, _ in scenario.prepared.values()])
    job = {"root": root, "calendar": CALENDAR, "listed": listed, "steps": steps, "mode": mode,
           "files": scenario.files, "locking": scenario.locking if mode != "prepare" else "on",
           "reference_dir": reference_dir}
    job_path = os.path.join(workdir, f"{mode}.json")
    with open(job_path, "w") as f:
        json.dump(job, f)
    command = [sys.executable, WRITER, job_path]
    if trace:
        command = ["strace", *STRACE_OPTIONS, "-o", trace, *command]
    done = subprocess.run(command, capture_output=True, text=True, timeout=600, cwd=workdir,
                          env=_engine_env(job["locking"]))
    if done.returncode != 0:
        raise RuntimeError(f"the {mode} run of scenario {scenario.name} failed (exit {done.returncode}):\n"
                           f"{done.stderr[-3000:]}")
    marks = [line for line in done.stdout.splitlines() if line.startswith("QXMARK")]
    if len(marks) != 2 * len(steps):
        raise RuntimeError(f"the {mode} run of scenario {scenario.name} marked {len(marks)} of "
                           f"{2 * len(steps)} call boundaries")


@dataclass
class ScenarioRun:
    """A scenario recorded and run for reference."""

    scenario: Scenario
    model: CrashModel
    histories: dict     # file -> FileHistory
    workdir: str

    def expectations(self, context):
        returned, in_flight = context
        return {f: h.expectation(returned, in_flight) for f, h in self.histories.items()}


def _snapshot(directory, tag, name):
    path = os.path.join(directory, f"{tag}-{name}.npy")
    with open(os.path.join(directory, f"{tag}.json")) as f:
        cursors = json.load(f)
    if name not in cursors:
        return None
    return np.load(path), cursors[name]


def _history_records(directory, tag, name):
    """The records of `name`'s history after step `tag` of the reference run; None: no history."""
    with open(os.path.join(directory, f"{tag}.history.json")) as f:
        return json.load(f).get(name)


def _tree(root):
    """{relative path: bytes} of every file under root."""
    out = {}
    for directory, _, names in os.walk(root):
        for name in names:
            path = os.path.join(directory, name)
            with open(path, "rb") as f:
                out[os.path.relpath(path, root)] = f.read()
    return out


def _band_ends(scenario, name, prepared):
    """call -> the numbers of its batch's first dates after which a band of
    chunk columns ends, for each batch into the prepared file `name`.

    Raises
    ------
    RuntimeError
        A batch spans another number of bands than the scenario says.
    """
    path = os.path.join(prepared, name)
    if not os.path.exists(path):
        return {}
    import h5py

    with h5py.File(path, "r", locking=False) as f:
        width = f["data"].chunks[1]
    out = {}
    for call, step in enumerate(scenario.steps, 1):
        if step["op"] != "packs" or step["file"] != name:
            continue
        columns = step["columns"]
        out[call] = [0] + [k + 1 for k, c in enumerate(columns)
                           if k + 1 == len(columns) or columns[k + 1] // width != c // width]
        if scenario.bands and len(out[call]) - 1 != scenario.bands:
            raise RuntimeError(f"scenario {scenario.name}: the batch of call {call} spans {len(out[call]) - 1} "
                               f"band(s) of {width} chunk columns in {name}, not {scenario.bands}")
    return out


def run_scenario(scenario, workdir):
    """Prepares, records and runs `scenario` for reference in `workdir`.

    Raises
    ------
    TraceError
        The recording holds a write the model does not represent, or its
        replay does not give the files the writer left.
    """
    os.makedirs(workdir, exist_ok=True)
    prepared = os.path.join(workdir, "prepared")
    os.makedirs(prepared)
    prepare_steps = []
    for name, (shape, columns) in scenario.prepared.items():
        prepare_steps.append({"op": "create", "file": name, "shape": list(shape)})
        if list(columns):
            prepare_steps.append({"op": "packs", "file": name, "columns": list(columns)})
        if scenario.history:
            prepare_steps.append({"op": "enable_history", "file": name})
            prepare_steps.append({"op": "packs", "file": name, "columns": list(columns)[-2:], "round": 9})
        prepare_steps.append({"op": "close", "file": name})
    if prepare_steps:
        run_writer(scenario, prepared, "prepare", prepare_steps, workdir)

    recorded_root = os.path.join(workdir, "recorded")
    reference_root = os.path.join(workdir, "reference")
    snapshots = os.path.join(workdir, "snapshots")
    for target in (recorded_root, reference_root):
        shutil.copytree(prepared, target)
    os.makedirs(snapshots)

    before = {}
    for rel, content in _tree(recorded_root).items():
        st = os.stat(os.path.join(recorded_root, rel))
        before[rel] = (content, (st.st_dev, st.st_ino))
    trace = os.path.join(workdir, "writer.strace")
    run_writer(scenario, recorded_root, "record", scenario.steps, workdir, trace=trace)
    recording = record(trace, recorded_root, before, cwd=workdir)
    os.remove(trace)  # a few MB; the recording holds what matters
    model = CrashModel(recording)
    replayed = model.layout(len(recording.ops))
    left = _tree(recorded_root)
    replayed_files = {name: replayed.contents[ident] for name, ident in replayed.names.items()}
    if replayed_files != left:
        differ = sorted(n for n in set(left) | set(replayed_files) if left.get(n) != replayed_files.get(n))
        raise TraceError(f"scenario {scenario.name}: replaying the recording does not give the files the writer "
                         f"left ({differ}); a write escaped the model")

    run_writer(scenario, reference_root, "reference", scenario.steps, workdir, reference_dir=snapshots)
    histories = {}
    for name in scenario.files:
        states = [_snapshot(snapshots, str(i), name) for i in range(len(scenario.steps) + 1)]
        prefixes = {}
        for call, step in enumerate(scenario.steps, 1):
            if step["op"] == "packs" and step["file"] == name:
                prefixes[call] = [_snapshot(snapshots, f"{call}.{k}", name) for k in range(1, len(step["columns"]))]
        prepared_columns = list(scenario.prepared.get(name, (None, []))[1])
        again = None
        if scenario.write_again and scenario.steps[scenario.write_again - 1].get("file") == name:
            step = scenario.steps[scenario.write_again - 1]
            again = {"call": scenario.write_again, "columns": step["columns"], "round": step.get("round", 0)}
        counts = [_history_records(snapshots, str(i), name) for i in range(len(scenario.steps) + 1)]
        history = None
        if any(c is not None for c in counts):
            summaries = [verdicts_summary(s, rows_of(states, prefixes)) for s in states]
            history = {"chain": chain_of(summaries, counts, scenario.name, name), "counts": counts}
        histories[name] = FileHistory(states, prefixes, scenario.written(name), prepared_columns,
                                      _band_ends(scenario, name, prepared), again, history)
        unchanged = histories[name].unchanged_writes()
        if unchanged:
            raise RuntimeError(f"scenario {scenario.name}: calls leave columns they write in {name} as they were "
                               f"({unchanged}); no crash state could show whether those dates were written")
        if scenario.grows:
            axis = 0 if scenario.grows == "rows" else 1
            first, last = states[0][0].shape[axis], states[-1][0].shape[axis]
            if last <= first:
                raise RuntimeError(f"scenario {scenario.name} should grow the matrix's {scenario.grows}, "
                                   f"but they stayed at {first}")
    shutil.rmtree(reference_root)
    shutil.rmtree(snapshots)
    return ScenarioRun(scenario, model, histories, workdir)
