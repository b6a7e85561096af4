"""Power-loss crash states of quorbel's writers, checked through the engine.

Each scenario's engine calls are recorded under strace (writes, truncations,
syncs, directory entries, inode numbers). A power cut may lose what no sync
made durable yet: a file's data operations since its last sync and a
directory's entry operations since that directory's last sync, each one
independently. At every crash point (before and after each sync, after each
directory operation, at the end) the operations at risk are lost in several
ways (none, all, each alone, all but one, seeded random subsets; in torn mode
each 4 KiB page of a write alone), every distinct state is laid out in a
fresh directory and opened by the engine in a forked child, and what it reads
is judged against a reference run of the same calls.

    PYTHONPATH=src python3 tools/crash_explorer.py                  # full run
    PYTHONPATH=src python3 tools/crash_explorer.py --quick          # what CI runs
    PYTHONPATH=src python3 tools/crash_explorer.py --remove-syncs   # which sync protects what
    PYTHONPATH=src python3 tools/crash_explorer.py --replay OUT/repro-torn.json

Exit status: 0 when no state shows a violation and the check is live (states
rechecked with their journals deleted do show violations), 1 otherwise.
"""

import argparse
import json
import os
import shutil
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from crash_states import exploring, scenarios  # noqa: E402
from crash_states.checking import ForkPool  # noqa: E402
from crash_states.verdicts import KINDS  # noqa: E402

QUICK_SAMPLE = 120           # states per scenario in the quick run
QUICK_LIVENESS_SAMPLE = 40   # journal-holding states rechecked without their journals
LIVENESS_SAMPLE = 300        # the same in the full run: enough to show what the journals prevent
REMOVAL_SAMPLE = 150         # states per scenario and removed sync class


def _arguments(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true",
                        help=f"scenarios {', '.join(scenarios.QUICK)}, {QUICK_SAMPLE} sampled states each")
    parser.add_argument("--scenarios", help="comma-separated scenario names (default: all, or the quick ones)")
    parser.add_argument("--sample", type=int, help="check at most this many states per scenario (seeded)")
    parser.add_argument("--liveness-sample", type=int,
                        help="recheck at most this many journal-holding states per scenario without journals")
    parser.add_argument("--no-torn", action="store_true", help="lose whole writes only, not their pages")
    parser.add_argument("--remove-syncs", action="store_true",
                        help="remove each kind of sync in turn and report which guarantees break")
    parser.add_argument("--replay", metavar="REPRO", help="lay out a reproduction file again and check it")
    parser.add_argument("--out", default=os.path.join("build", "crash-explorer"),
                        help="directory for summary.json and the reproductions (default: %(default)s)")
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1, help="checking children at a time")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--workdir", help="keep recordings here instead of a temporary directory")
    args = parser.parse_args(argv)
    names = args.scenarios.split(",") if args.scenarios else (scenarios.QUICK if args.quick else
                                                               [s.name for s in scenarios.SCENARIOS])
    try:
        args.chosen = scenarios.by_name(names)
    except ValueError as error:
        parser.error(str(error))
    if args.quick:
        args.sample = args.sample or QUICK_SAMPLE
        args.liveness_sample = args.liveness_sample or QUICK_LIVENESS_SAMPLE
    args.liveness_sample = args.liveness_sample or LIVENESS_SAMPLE
    return args


def _start_engine():
    """The fork server's imports: every child starts with them done."""
    os.environ["QUORBEL_FILE_LOCKING"] = "on"
    import h5py  # noqa: F401
    import numpy  # noqa: F401
    import quorbel.detail  # noqa: F401
    from quorbel import _extras  # noqa: F401


def _kinds(by_kind):
    return ", ".join(f"{kind} {count}" for kind, count in sorted(by_kind.items())) or "none"


def _figures(findings):
    return {"states": findings.states, "violating_states": findings.violating, "by_kind": dict(findings.by_kind),
            "errors": findings.errors[:3]}


def explore(args, pool, workdir, out):
    """The normal run; returns (summary, exit status)."""
    summary = {"scenarios": {}, "states": 0, "violations": 0, "by_kind": {}, "liveness": {}, "errors": 0}
    smallest = {}       # kind -> (size, run, state, verdict)
    live_smallest = {}
    started = time.monotonic()
    for scenario in args.chosen:
        t0 = time.monotonic()
        run = scenarios.run_scenario(scenario, os.path.join(workdir, scenario.name))
        states = exploring.distinct_states(run.model, args.seed, torn=not args.no_torn)
        chosen = exploring.sample(states, args.sample, args.seed)
        findings = exploring.check(run, chosen, pool)
        journal_states = [s for s in states if s.has_journal]
        rechecked = exploring.sample(journal_states, args.liveness_sample, args.seed)
        live = exploring.check(run, rechecked, pool, without_journals=True) if rechecked else None
        for kind, (state, verdict) in findings.smallest.items():
            if kind not in smallest or state.size() < smallest[kind][0]:
                smallest[kind] = (state.size(), run, state, verdict)
        if live:
            for kind, (state, verdict) in live.smallest.items():
                if kind not in live_smallest or state.size() < live_smallest[kind][0]:
                    live_smallest[kind] = (state.size(), run, state, verdict)
        seconds = time.monotonic() - t0
        entry = _figures(findings)
        entry.update(distinct_states=len(states), seconds=round(seconds, 1), about=scenario.about,
                     liveness=_figures(live) if live else None)
        summary["scenarios"][scenario.name] = entry
        summary["states"] += findings.states
        summary["violations"] += findings.violating
        summary["errors"] += len(findings.errors) + (len(live.errors) if live else 0)
        for kind, count in findings.by_kind.items():
            summary["by_kind"][kind] = summary["by_kind"].get(kind, 0) + count
        liveness = (f"without journals {live.violating} of {live.states} violate" if live
                    else "no state holds a journal")
        print(f"{scenario.name:18s} {findings.states:5d} states ({len(states)} distinct), {findings.violating:4d} "
              f"violations [{_kinds(findings.by_kind)}]; {liveness}; {seconds:.0f} s", flush=True)
        for error in findings.errors[:1] + (live.errors[:1] if live else []):
            print(f"  checking error: {error.strip().splitlines()[-1]}", flush=True)

    applicable = {n: e["liveness"] for n, e in summary["scenarios"].items() if e["liveness"]}
    dead = sorted(n for n, live in applicable.items() if live["violating_states"] == 0)
    summary["liveness"] = {"held": bool(applicable) and not dead, "scenarios_without_violations": dead}
    summary["seconds"] = round(time.monotonic() - started, 1)

    summary["reproductions"] = {}
    for kind, (_, run, state, verdict) in sorted(smallest.items()):
        path = os.path.join(out, f"repro-{kind}.json")
        with open(path, "w") as f:
            json.dump(exploring.reproduction(run, kind, state, verdict), f, indent=1)
        summary["reproductions"][kind] = path
    live_dir = os.path.join(out, "without-journals")
    os.makedirs(live_dir, exist_ok=True)
    summary["liveness"]["reproductions"] = {}
    for kind, (_, run, state, verdict) in sorted(live_smallest.items()):
        path = os.path.join(live_dir, f"repro-{kind}.json")
        with open(path, "w") as f:
            json.dump(exploring.reproduction(run, kind, state, verdict, without_journals=True), f, indent=1)
        summary["liveness"]["reproductions"][kind] = path

    print(f"{summary['states']} states, {summary['violations']} violations")
    for kind, count in sorted(summary["by_kind"].items()):
        print(f"  {kind}: {count} states ({KINDS.get(kind, '')}); smallest: {summary['reproductions'][kind]}")
    if summary["liveness"]["held"]:
        print("liveness: held (with the journals deleted before recovery, every scenario that journals shows "
              "violations)")
    else:
        print(f"liveness: FAILED: no violation without journals in {dead or 'any scenario'}")
    if summary["errors"]:
        print(f"{summary['errors']} checks failed to run (see summary.json)")
    status = 0 if summary["violations"] == 0 and summary["liveness"]["held"] and not summary["errors"] else 1
    return summary, status


def remove_syncs(args, pool, workdir, out):
    """Each class of sync removed in turn; returns (summary, exit status)."""
    sample = args.sample or REMOVAL_SAMPLE
    table = {}   # class -> scenario -> figures
    baseline = {}
    for scenario in args.chosen:
        run = scenarios.run_scenario(scenario, os.path.join(workdir, scenario.name))
        states = exploring.distinct_states(run.model, args.seed, torn=False)
        base = exploring.check(run, exploring.sample(states, sample, args.seed), pool)
        baseline[scenario.name] = _figures(base)
        print(f"{scenario.name}: with every sync, {base.violating} of {base.states} states violate "
              f"[{_kinds(base.by_kind)}]", flush=True)
        classes = sorted({op.sync_class for op in run.model.ops if op.kind == "sync"})
        for sync_class in classes:
            model = exploring.removal_model(run, sync_class)
            removed_states = exploring.distinct_states(model, args.seed, torn=False)
            found = exploring.check(run, exploring.sample(removed_states, sample, args.seed), pool, model=model)
            new = {k: n for k, n in found.by_kind.items() if k not in base.by_kind}
            table.setdefault(sync_class, {})[scenario.name] = dict(_figures(found), new_kinds=new)
            print(f"  without {sync_class}: {found.violating} of {found.states} violate [{_kinds(found.by_kind)}]",
                  flush=True)
            slug = "".join(c if c.isalnum() else "-" for c in sync_class).strip("-")
            for kind, (state, verdict) in found.smallest.items():
                if kind in new:
                    os.makedirs(os.path.join(out, "sync-removal"), exist_ok=True)
                    path = os.path.join(out, "sync-removal", f"{slug}--{scenario.name}--{kind}.json")
                    with open(path, "w") as f:
                        json.dump(exploring.reproduction(run, kind, state, verdict, model=model), f, indent=1)
    print("\nwhich sync protects what (kinds that appear only once the sync is removed):")
    for sync_class, per_scenario in sorted(table.items()):
        broken = {}
        for figures in per_scenario.values():
            for kind, count in figures["new_kinds"].items():
                broken[kind] = broken.get(kind, 0) + count
        print(f"  {sync_class}: {_kinds(broken) if broken else 'nothing breaks'} "
              f"(in {', '.join(n for n, f in per_scenario.items() if f['new_kinds']) or 'no scenario'})")
    return {"baseline": baseline, "removed": table}, 0


def replay(path):
    """Checks a reproduction file again; prints the verdict; 1 when it still violates."""
    layout, document = exploring.load_reproduction(path)
    _start_engine()
    pool = ForkPool(1)
    try:
        [(_, verdict)] = list(pool.run([(path, exploring.replay_job(layout, document))]))
    finally:
        pool.close()
    print(f"{document.get('scenario')}: {document.get('about')}")
    print(f"  crash {document.get('crash_point')}, calls {document.get('calls', {}).get('returned')} returned, "
          f"{document.get('calls', {}).get('in_flight')} in flight; lost ({document.get('pattern')}):")
    for line in document.get("lost", []):
        print(f"    {line}")
    print(f"  opened {'read-write' if document['write_first'] else 'read-only'} first"
          f"{', journals deleted first' if document.get('without_journals') else ''}")
    if "error" in verdict:
        print(f"  the check failed to run:\n{verdict['error']}")
        return 2
    for kind, name, detail in verdict["violations"]:
        print(f"  VIOLATION {kind} in {name}: {detail}")
    print(f"  outcome: {verdict['outcomes']}")
    for line in verdict.get("log", []):
        print(f"  engine log: {line}")
    if not verdict["violations"]:
        print(f"  no violation (recorded as {document.get('kind')}: {document.get('detail')})")
    return 1 if verdict["violations"] else 0


def main(argv=None):
    args = _arguments(argv)
    if args.replay:
        try:
            return replay(args.replay)
        except (OSError, ValueError) as error:
            print(f"crash_explorer: {error}", file=sys.stderr)
            return 2
    os.makedirs(args.out, exist_ok=True)
    # Reproductions of an earlier run would read as this run's findings.
    for directory in (args.out, os.path.join(args.out, "without-journals"), os.path.join(args.out, "sync-removal")):
        for stale in os.listdir(directory) if os.path.isdir(directory) else []:
            if stale.endswith(".json") and (stale.startswith("repro-") or directory.endswith("sync-removal")):
                os.remove(os.path.join(directory, stale))
    workdir = args.workdir or tempfile.mkdtemp(prefix="quorbel-crash-explorer-")
    _start_engine()
    pool = ForkPool(args.workers)
    try:
        if args.remove_syncs:
            summary, status = remove_syncs(args, pool, workdir, args.out)
        else:
            summary, status = explore(args, pool, workdir, args.out)
    finally:
        pool.close()
        if not args.workdir:
            shutil.rmtree(workdir, ignore_errors=True)
    name = "sync-removal.json" if args.remove_syncs else "summary.json"
    with open(os.path.join(args.out, name), "w") as f:
        json.dump(summary, f, indent=1)
    return status


if __name__ == "__main__":
    sys.exit(main())
