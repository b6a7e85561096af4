"""Exploring a recorded scenario: its distinct crash states, their checks, and
the smallest reproduction of each kind of violation."""

import base64
import json
import os
import random
import zlib
from dataclasses import dataclass

from .checking import check_state, journal_targets
from .crash_model import CrashModel, Layout, enumerate_states
from .scenarios import CALENDAR
from .sync_classes import role

REPRO_FORMAT = "quorbel-crash-state-1"


@dataclass
class State:
    """A distinct crash state: what happened (ops[:point]) and what was lost."""

    point: int
    context: tuple      # (last call returned, call in flight or None)
    pattern: str
    lost: tuple
    has_journal: bool

    def size(self):
        """Smaller is a simpler reproduction: fewer lost operations, an earlier point."""
        return len(self.lost), self.point


def distinct_states(model, seed=0, torn=True, random_subsets=3):
    """The crash states of `model` that differ in what the checker would see:
    states with the same files and names at a point with the same calls
    returned and in flight are one, kept in its simplest form."""
    seen, contexts = {}, {}
    for torn_mode in (False, True) if torn else (False,):
        for p, pattern, lost in enumerate_states(model, seed, torn_mode, random_subsets):
            if p not in contexts:
                contexts[p] = model.context(p)
            layout = model.layout(p, lost)
            key = (contexts[p], layout.digest())
            state = State(p, contexts[p], pattern, tuple(lost), any(role(n) == "journal" for n in layout.names))
            if key not in seen or state.size() < seen[key].size():
                seen[key] = state
    return sorted(seen.values(), key=lambda s: (s.point, s.size(), s.pattern))


def sample(states, count, seed):
    """`count` states chosen with a seeded generator (all of them when fewer)."""
    if count is None or len(states) <= count:
        return list(states)
    chosen = random.Random(seed).sample(range(len(states)), count)
    return [states[i] for i in sorted(chosen)]


def _inject(listed):
    import quorbel.detail as detail

    detail.get_all_trading_dates = lambda: CALENDAR
    detail._get_all_instrument_index = lambda: {f"I{i}": i for i in range(listed)}


def check_jobs(run, states, without_journals=False, model=None):
    """(state, function for a forked child) for every state; states alternate
    between opening read-only first and read-write first."""
    model = model or run.model
    for number, state in enumerate(states):
        def job(scratch, state=state, write_first=bool(number % 2)):
            _inject(run.scenario.listed)
            layout = model.layout(state.point, state.lost)
            verdict = check_state(layout, lambda s: journal_targets(layout, model.recording, s),
                                  run.expectations(state.context), scratch, write_first, CALENDAR,
                                  run.scenario.listed, without_journals)
            verdict["write_first"] = write_first
            return verdict
        yield state, job


@dataclass
class Findings:
    """What the checks of one scenario (or one sync removal) found."""

    states: int = 0
    violating: int = 0
    by_kind: dict = None       # kind -> states showing it
    smallest: dict = None      # kind -> (state, verdict)
    errors: list = None

    def __post_init__(self):
        self.by_kind = self.by_kind or {}
        self.smallest = self.smallest or {}
        self.errors = self.errors or []

    def add(self, state, verdict):
        self.states += 1
        if "error" in verdict:
            self.errors.append(verdict["error"])
            return
        kinds = sorted({v[0] for v in verdict["violations"]})
        if kinds:
            self.violating += 1
        for kind in kinds:
            self.by_kind[kind] = self.by_kind.get(kind, 0) + 1
            if kind not in self.smallest or state.size() < self.smallest[kind][0].size():
                self.smallest[kind] = (state, verdict)


def check(run, states, pool, without_journals=False, model=None):
    """Findings of checking `states` of `run` (of `model`, when a sync removal
    changed it) in the forked children of `pool`."""
    findings = Findings()
    jobs = list(check_jobs(run, states, without_journals, model))
    functions = {id(state): (state, job) for state, job in jobs}
    for key, verdict in pool.run((id(state), job) for state, job in jobs):
        findings.add(functions[key][0], verdict)
    return findings


def removal_model(run, sync_class):
    return CrashModel(run.model.recording, removed_syncs={sync_class})


def _encode(content):
    return base64.b64encode(zlib.compress(content, 9)).decode("ascii")


def reproduction(run, kind, state, verdict, without_journals=False, model=None):
    """A self-contained description of one crash state and its check."""
    model = model or run.model
    layout = model.layout(state.point, state.lost)
    detail = next((v for v in verdict["violations"] if v[0] == kind), [kind, "", ""])
    return {
        "format": REPRO_FORMAT,
        "kind": kind,
        "file": detail[1],
        "detail": detail[2],
        "scenario": run.scenario.name,
        "about": run.scenario.about,
        "crash_point": f"after {state.point} of {len(model.ops)} recorded operations",
        "calls": {"returned": state.context[0], "in_flight": state.context[1],
                  "steps": run.scenario.steps},
        "pattern": state.pattern,
        "lost": [model.describe(u) for u in state.lost],
        "removed_syncs": sorted(set(op.sync_class for op, active in zip(model.ops, model.active)
                                    if op.kind == "sync" and not active)),
        "write_first": verdict.get("write_first", False),
        "without_journals": without_journals,
        "calendar": CALENDAR,
        "listed": run.scenario.listed,
        "names": layout.names,
        "contents": {str(ident): _encode(content) for ident, content in layout.contents.items()},
        "dirs": sorted(layout.dirs),
        "targets": verdict.get("targets", {}),
        "expectations": run.expectations(state.context),
    }


def write_reproductions(findings, run, out_dir, prefix="repro", without_journals=False, model=None):
    """One file per kind, the smallest state that shows it; returns their paths."""
    paths = {}
    for kind, (state, verdict) in sorted(findings.smallest.items()):
        path = os.path.join(out_dir, f"{prefix}-{kind}.json")
        with open(path, "w") as f:
            json.dump(reproduction(run, kind, state, verdict, without_journals, model), f, indent=1)
        paths[kind] = path
    return paths


def load_reproduction(path):
    """(layout, document) of a reproduction file.

    Raises
    ------
    ValueError
        The file is not a reproduction this tool wrote (naming the file and
        what is wrong with it).
    """
    try:
        with open(path) as f:
            document = json.load(f)
    except json.JSONDecodeError as error:
        raise ValueError(f"{path}: not a reproduction file (not JSON: {error})") from None
    if not isinstance(document, dict) or document.get("format") != REPRO_FORMAT:
        raise ValueError(f"{path}: not a reproduction file (format is not {REPRO_FORMAT!r})")
    needed = ("names", "contents", "dirs", "targets", "expectations", "calendar", "listed", "write_first")
    missing = [k for k in needed if k not in document]
    if missing:
        raise ValueError(f"{path}: reproduction lacks {missing}")
    try:
        contents = {int(k): zlib.decompress(base64.b64decode(v)) for k, v in document["contents"].items()}
        names = {str(n): int(i) for n, i in document["names"].items()}
    except (ValueError, TypeError, zlib.error) as error:
        raise ValueError(f"{path}: damaged file contents in the reproduction ({error})") from None
    unknown = sorted(n for n, i in names.items() if i not in contents)
    if unknown:
        raise ValueError(f"{path}: names {unknown} refer to contents the reproduction does not hold")
    return Layout(names, contents, set(document["dirs"])), document


def replay_job(layout, document):
    """The function a forked child runs to check a reproduction again."""
    def job(scratch):
        import quorbel.detail as detail

        calendar = list(document["calendar"])
        listed = int(document["listed"])
        detail.get_all_trading_dates = lambda: calendar
        detail._get_all_instrument_index = lambda: {f"I{i}": i for i in range(listed)}
        return check_state(layout, lambda _: dict(document["targets"]), document["expectations"], scratch,
                           bool(document["write_first"]), calendar, listed, bool(document.get("without_journals")))
    return job
