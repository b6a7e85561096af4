"""Benchmark of the engine on the real workload, beside plain h5py and the
codec floor. Prints the table and writes bench/results/latest.md, .png and
.json (latest-quick.* for --quick, which are not kept in git). The docs'
performance page includes latest.md and shows latest.png as they are.

    python3 bench/run.py                      # market scale
    python3 bench/run.py --quick              # small scale, for development
    python3 bench/run.py --scenarios W1,R2    # some rows; "scaling" adds R2 and W1 at other sizes
"""

import argparse
import json
import os
import subprocess
import sys
import time
from dataclasses import dataclass

from common import RESULTS, WORKER, child_environment, engine_tag, remove_stale_scratch, use_source_tree
from market import Market, fill_record, filled_file, xshg_calendar
from workloads import SCALED_SCENARIOS, SCENARIOS, define, scaled_name
import report

SCALING = "scaling"


@dataclass(frozen=True)
class Scale:
    name: str
    instruments: int
    dates: int  # how many calendar dates from 2005 on; 0 for all
    scaled_instruments: tuple
    runs: int
    budget_seconds: float  # a side stops repeating once its runs took this long


SCALES = {
    "full": Scale("market scale", 5300, 0, (1500, 3000, 6000), 5, 60),
    "quick": Scale("quick run, small scale (development only)", 600, 750, (200, 400, 800), 3, 5),
}


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small scale, a minute or two")
    parser.add_argument("--scenarios", default=",".join(SCENARIOS + (SCALING,)),
                        help=f"comma-separated, from {','.join(SCENARIOS)},{SCALING}")
    parser.add_argument("--runs", type=int, help="timed runs per side (default: 5, --quick 3)")
    parser.add_argument("--refill", action="store_true", help="fill the market files again")
    parser.add_argument("--reuse-fill", action="store_true",
                        help="use a cached fill made by another engine build instead of filling again")
    parser.add_argument("--report-only", action="store_true",
                        help="measure nothing: write the table and chart again from the last run's .json")
    parser.add_argument("--baseline-cache-mib", type=float,
                        help="chunk cache of the baseline's files (default: h5py's default)")
    args = parser.parse_args()
    args.scenarios = [s.strip() for s in args.scenarios.split(",") if s.strip()]
    unknown = set(args.scenarios) - set(SCENARIOS + (SCALING,))
    if unknown:
        parser.error(f"unknown scenarios: {', '.join(sorted(unknown))}")
    return args


def log(message):
    print(message, file=sys.stderr, flush=True)


def planned_rows(args, scale):
    """(row name, scenario, instruments) for every row of the table, in order."""
    rows = [(s, s, scale.instruments) for s in SCENARIOS if s in args.scenarios]
    if SCALING in args.scenarios:
        for scenario in SCALED_SCENARIOS:
            for n in sorted(set(scale.scaled_instruments) | {scale.instruments}):
                if n != scale.instruments:
                    rows.append((scaled_name(scenario, n), scenario, n))
    return rows


def run_worker(side, name, scenario, market, path, args, scale):
    job = {"side": side, "name": name, "scenario": scenario, "instruments": market.instruments,
           "dates": market.dates, "file": str(path), "runs": args.runs or scale.runs,
           "budget_seconds": scale.budget_seconds,
           "baseline_cache_bytes": int(args.baseline_cache_mib * (1 << 20)) if args.baseline_cache_mib else None}
    started = time.perf_counter()
    done = subprocess.run([sys.executable, str(WORKER), json.dumps(job)], capture_output=True, text=True,
                          env=child_environment(), timeout=3600)
    if done.returncode != 0:
        log(f"  {name} {side}: FAILED\n{done.stderr.strip()}")
        return {"error": done.stderr.strip().splitlines()[-1:] or ["exit " + str(done.returncode)]}
    result = json.loads(done.stdout.strip().splitlines()[-1])
    log(f"  {name:<10} {side:<8} {report.format_time(report.seconds(result)):>9} median of "
        f"{len(result['times'])}, peak RSS {result['peak_rss_kib'] / 1024:.0f} MiB "
        f"({time.perf_counter() - started:.0f} s)")
    return result


def measure_row(name, scenario, market, path, args, scale):
    row = {"name": name, "scenario": scenario, "text": define(scenario, market).text}
    for side in report.SIDES:
        row[side] = run_worker(side, name, scenario, market, path, args, scale)
    digests = [row[side].get("digest") for side in ("engine", "baseline")]
    if None not in digests and digests[0] != digests[1]:
        row["mismatch"] = True
        log(f"  {name}: engine and baseline results differ: {digests}")
    return row


def main():
    args = parse_args()
    use_source_tree()
    if args.report_only:
        publish(json.loads(output(args, ".json").read_text()), args)
        return
    scale = SCALES["quick" if args.quick else "full"]
    RESULTS.mkdir(exist_ok=True)
    remove_stale_scratch()
    calendar = xshg_calendar(scale.dates or None)
    tag = engine_tag()
    started, load_at_start = time.perf_counter(), os.getloadavg()[0]

    rows, files = planned_rows(args, scale), {}
    for n in sorted({n for _, _, n in rows}):
        market = Market(n, calendar)
        log(f"market {n:,} instruments x {market.dates:,} dates")
        files[n] = filled_file(market, tag, refill=args.refill, reuse=args.reuse_fill, log=log)

    table_rows, references = [], {}
    for name, scenario, n in rows:
        market = Market(n, calendar)
        row = measure_row(name, scenario, market, files[n], args, scale)
        row["cells"] = market.instruments * market.dates
        table_rows.append(row)
        if scenario == "RW":
            for reference in ("read_all", "write_all"):
                references[reference] = run_worker("engine", reference, reference, market, files[n], args, scale)

    elapsed = time.perf_counter() - started
    load = f"load average (1 min) {load_at_start:.1f} at the start, {os.getloadavg()[0]:.1f} at the end"
    record = run_record(args, scale, calendar, tag, files, table_rows, references, f"{elapsed / 60:.1f} min, {load}")
    output(args, ".json").write_text(json.dumps(record, indent=1))
    publish(record, args)


def floor_processes(table_rows):
    """How many processes the write floor ran on (the reads' floor runs on one)."""
    counts = {row["floor"]["notes"].get("processes", 1) for row in table_rows if "notes" in row.get("floor", {})}
    return max(counts, default=os.cpu_count())


def side_notes(table_rows, side):
    return next((row[side]["notes"] for row in table_rows if row.get(side, {}).get("notes")), {})


def matrices(files):
    """Shape, chunks, size and fill time of each market file."""
    import quorbel.detail as detail

    found = []
    for n, path in sorted(files.items()):
        h5 = detail.get_h5(str(path))
        try:
            shape, chunks = h5["data"].shape, h5["data"].chunks
        finally:
            h5.close()
        fill = fill_record(path)
        found.append({"instruments": n, "shape": list(shape), "chunks": list(chunks),
                      "file_mib": path.stat().st_size / (1 << 20), "fill_seconds": fill.get("seconds")})
    return found


def run_record(args, scale, calendar, tag, files, table_rows, references, run_summary):
    """Everything the report shows, as written to latest.json."""
    baseline, floor = side_notes(table_rows, "baseline"), side_notes(table_rows, "floor")
    cache = baseline.get("chunk_cache_bytes")
    notes = [
        f"Baseline chunk cache: {cache / (1 << 20):g} MiB per open file "
        f"({'set by --baseline-cache-mib' if args.baseline_cache_mib else 'h5py default'})." if cache else None,
        "Floor: the codec above over the chunks the scenario touches, taken raw from the file. Reads inflate each "
        "touched chunk once and the rewrite inflates and deflates every stored chunk, on one thread; writes "
        f"deflate (level 9) each chunk holding a written cell once, on all cores ({floor_processes(table_rows)} "
        "processes, each given its share of the chunks, with their content after the write, before the clock "
        "starts).",
        "Every run starts from the same filled file; write scenarios run on a fresh copy each time (copy not timed). "
        "The page cache is warm.",
        "Engine and baseline results were compared (row digests for reads, the written columns for writes): "
        + ("all equal." if not any(r.get("mismatch") for r in table_rows) else "rows marked (!) differ."),
        "The engine's rewrite syncs the new file to disk before it publishes it; the baseline's does not.",
        "W3's floor deflates each chunk it dirties once. The engine does too: the dates of one chunk column are "
        "merged into its chunks, inflated once, and the column is deflated once, consecutive columns committed "
        "together in one transaction; "
        "the baseline flushes after every date, so it deflates the chunks of a date's column again for each of "
        "the 250 dates.",
        "The automatic chunk shape differs between the matrices (table above). A column write costs about rows x "
        "chunk width, so the W1 scaling rows follow the chunk width as much as the instrument count.",
        f"Whole run (market fills included when they were made): {run_summary}.",
    ]
    notes += [f"FAILED: {row['name']} {side}: {' '.join(row[side]['error'])}"
              for row in table_rows for side in report.SIDES if "error" in row.get(side, {})]
    return {
        "title": scale.name,
        "market": (f"Market: {scale.instruments:,} instruments x {len(calendar):,} XSHG trading dates "
                   f"({calendar[0]} to {calendar[-1]}); float64 N(0,1) values, NaN before each listing date and "
                   f"about 3% scattered NaN. The history but its last date was written through put_factor_packs "
                   f"in batches of 250 dates, once per engine build (then cached)."),
        "matrices": matrices(files),
        "machine": report.machine_info(tag, baseline, floor),
        "notes": [n for n in notes if n],
        "rows": table_rows,
        "references": references,
    }


def output(args, suffix):
    """Where a run writes its results: quick runs apart from full ones."""
    return RESULTS / (("latest-quick" if args.quick else "latest") + suffix)


def publish(record, args):
    text = report.summary(record)
    output(args, ".md").write_text(text)
    report.chart(output(args, ".png"),
                 f"quorbel benchmark, {record['title']}: engine vs h5py baseline vs codec floor", record["rows"])
    print(report.text_table(report.COLUMNS, [report.table_cells(row) for row in record["rows"]]))
    print()
    print(report.text_table(("Target", "Measured", "Met"),
                            [(t, m, {True: "yes", False: "NO", None: "-"}[ok])
                             for t, m, ok in report.targets(record["rows"], record["references"])]))
    print(f"\nwrote {', '.join(str(output(args, suffix)) for suffix in ('.md', '.png', '.json'))}")


if __name__ == "__main__":
    main()
