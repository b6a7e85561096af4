"""Benchmark of FactorLibrary on a library of 24 factors, beside h5py reading
the files one after another and beside the codec floor on all cores. Prints
the table and writes bench/results/library.md and .json (library-quick.* for
--quick, which are not kept in git). The docs' performance page includes
library.md as it is.

    python3 bench/library.py                  # 24 factors x 5,300 instruments x 1,250 dates
    python3 bench/library.py --quick          # small, for development
    python3 bench/library.py --scenarios L2,L5 --runs 2
    python3 bench/library.py --report-only    # library.md again from library.json, nothing measured
"""

import argparse
import gc
import hashlib
import json
import os
import shutil
import subprocess
import sys
import time
from dataclasses import dataclass

import numpy as np

from common import REPO, RESULTS, child_environment, touch, use_source_tree
from market import DATA_VERSION, SCATTERED_NAN_SHARE, SEED, Item, Market, Pack, inject, xshg_calendar
import report

SCENARIOS = ("L1", "L2", "L3", "L4", "L5")
CLUSTER_WORKERS = 2
# Headroom the cube read may take beyond the cube itself (interpreter and modules included).
MEMORY_HEADROOM = 256 << 20
# Raise when the way the library is filled changes, so that it is made anew.
LIBRARY_VERSION = 2


@dataclass(frozen=True)
class Scale:
    name: str
    factors: int
    instruments: int
    dates: int
    runs: int
    budget_seconds: float


SCALES = {
    "full": Scale("library scale", 24, 5300, 1250, 3, 40),
    "quick": Scale("quick run, small scale (development only)", 6, 600, 500, 2, 5),
}

TEXT = {
    "L1": "cube: {f} factors x all instruments x last 250 dates (lib.read)",
    "L2": "cube: {f} factors x all instruments x all {d:,} dates (lib.read)",
    "L3": "lib.cross_section: {f} factors x all instruments x 1 date",
    "L4": "lib.write: 1 new date into {f} factors",
    "L5 read": "L2 through lib.read(chunks=\"auto\").compute(): cluster of 2 worker processes vs in process",
    "L5 reduce": "the same reads summed over dates on the workers (only the sums come back)",
    "L5 write": "L4 through lib.write(client=client) vs lib.write in process",
}


def log(message):
    print(message, file=sys.stderr, flush=True)


# --- the library ------------------------------------------------------------------


def market_of(scale):
    return Market(scale.instruments, xshg_calendar(scale.dates))


def file_format():
    """What the engine makes of a new factor file (chunks, filters, attributes),
    so that a cached library is made again when that changes."""
    import tempfile

    import h5py

    import quorbel.detail as detail

    with tempfile.TemporaryDirectory() as folder:
        probe = os.path.join(folder, "probe.h5")
        detail.create_new_factor_h5(probe, (5800, 1500)).close()
        with h5py.File(probe, "r") as f:
            d = f["data"]
            shape = [d.chunks, d.compression, d.compression_opts, d.shuffle, str(d.dtype), d.maxshape,
                     sorted(d.attrs), sorted(f.attrs)]
    return hashlib.sha256(repr(shape).encode()).hexdigest()[:10]


def library_root(scale):
    return RESULTS / (f"factor-library-{scale.factors}x{scale.instruments}x{scale.dates}"
                      f"-v{DATA_VERSION}.{LIBRARY_VERSION}-{file_format()}")


def factor_name(k):
    return f"factor_{k:02d}"


def block_values(market, factor, first, stop):
    """Values of `factor` on columns first..stop-1: N(0,1) rounded, NaN before
    listing and about 3% NaN after it."""
    rng = np.random.default_rng([SEED, 1 + factor, first])
    block = np.round(rng.standard_normal((market.instruments, stop - first)), 4)
    block[rng.random(block.shape) < SCATTERED_NAN_SHARE] = np.nan
    block[market.listing_col[:, None] > np.arange(first, stop)[None, :]] = np.nan
    return block


def new_date_values(market, factor):
    """The new date's values of `factor`, as value items."""
    return market.items(market.new_col, range(market.instruments), revision=1 + factor)


def build_library(scale, market):
    """Every date but the new one, written in whole blocks; made once and cached."""
    import quorbel.detail as detail

    root = library_root(scale)
    if (root / "complete").exists():
        return root
    for stale in RESULTS.glob(f"factor-library-{scale.factors}x{scale.instruments}x{scale.dates}-*"):
        shutil.rmtree(stale)
    root.mkdir(parents=True)
    inject(detail, market)
    started = time.perf_counter()
    shape = (market.instruments + detail.EXPAND_INSTRUMENT_LENGTH, market.dates + detail.EXPAND_TRADING_DATE_LENGTH)
    for k in range(scale.factors):
        path = str(root / f"{factor_name(k)}.h5")
        f = detail.create_new_factor_h5(path, shape)
        try:
            # The chunk column holding the new date is written date by date, as
            # daily writes leave it (its chunks have room for the dates to come).
            split = (market.new_col - 1) // f["data"].chunks[1] * f["data"].chunks[1]
            for first in range(0, split, 250):
                stop = min(first + 250, split)
                f["data"][:market.instruments, first:stop] = block_values(market, k, first, stop)
            f["data"].attrs["cursor_col"] = split - 1
        finally:
            f.close()
        if split < market.new_col:
            block = block_values(market, k, split, market.new_col)
            packs = [Pack(market.calendar[split + j], [Item(oid, v) for oid, v in zip(market.ids, block[:, j].tolist())])
                     for j in range(block.shape[1])]
            h5 = detail.get_h5(path, True)
            try:
                detail.put_factor_packs(h5, packs)
            finally:
                h5.close()
        log(f"  filled {k + 1}/{scale.factors} factors, {time.perf_counter() - started:.0f} s")
    seconds = time.perf_counter() - started
    (root / "complete").write_text(json.dumps({"seconds": seconds}))
    log(f"library filled in {seconds:.0f} s")
    return root


def paths_of(root, scale):
    return [str(root / f"{factor_name(k)}.h5") for k in range(scale.factors)]


def columns(scenario, market):
    """The matrix columns a scenario reads or writes."""
    last = market.dates
    return {"L1": range(last - 250, last), "L2": range(0, last), "L3": range(market.new_col - 1, market.new_col),
            "L4": range(market.new_col, market.new_col + 1)}[scenario]


# --- measuring, in a worker process -------------------------------------------------


def status_kib(field):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(field + ":"))


def restart_peak():
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def digest(array):
    """Equal for equal values, whatever the NaN payloads."""
    array = np.ascontiguousarray(array, dtype=np.float64)
    missing = np.isnan(array)
    h = hashlib.blake2b(missing.tobytes())
    h.update(np.where(missing, 0.0, array).tobytes())
    return [list(array.shape), int(missing.sum()), h.hexdigest()[:20]]


def time_runs(before_each, call, runs, budget, warm_up=None):
    """Up to `runs` timed calls after one untimed one (imports, first-use set-up),
    or after `warm_up()` where one call is too long to spend untimed."""
    before_each()
    (warm_up or call)()
    times, cpu, peaks, result = [], [], [], None
    while len(times) < runs and (not times or sum(times) < budget):
        result = None
        before_each()
        gc.collect()
        restart_peak()
        start, start_cpu = time.perf_counter(), time.process_time()
        result = call()
        times.append(time.perf_counter() - start)
        cpu.append(time.process_time() - start_cpu)
        peaks.append(status_kib("VmHWM"))
    time_runs.cpu = cpu  # read by run_job: the CPU time of this process's threads, per run
    return times, max(peaks), result


def fresh_copy(source, target):
    """A copy of the library already on disk, so its write-back is not timed."""
    shutil.rmtree(target, ignore_errors=True)
    shutil.copytree(source, target)
    for name in os.listdir(target):
        with open(os.path.join(target, name), "rb+") as f:
            os.fsync(f.fileno())


def written_column(paths, col, instruments):
    import h5py

    block = np.empty((len(paths), instruments))
    for k, path in enumerate(paths):
        with h5py.File(path, "r") as f:
            block[k] = f["data"][:instruments, col]
    return block


def cube_bytes(scale, cols):
    return scale.factors * len(cols) * scale.instruments * 8


def engine_side(scenario, scale, market, root, scratch, runs, budget):
    import quorbel
    import quorbel.detail as detail

    inject(detail, market)
    cols = columns(scenario, market)
    if scenario == "L4":
        fresh_copy(root, scratch)
        lib = quorbel.FactorLibrary(scratch)
        names = lib.names()
        values = {n: new_date_values(market, k) for k, n in enumerate(names)}
        date = market.calendar[market.new_col]
        times, peak, _ = time_runs(lambda: fresh_copy(root, scratch), lambda: lib.write(date, values), runs, budget)
        return times, peak, digest(written_column(paths_of(scratch, scale), market.new_col, scale.instruments))
    lib = quorbel.FactorLibrary(root)
    names = lib.names()
    first, last = market.calendar[cols.start], market.calendar[cols.stop - 1]
    if scenario == "L3":
        times, peak, frame = time_runs(lambda: None, lambda: lib.cross_section(first, names), runs, budget)
        return times, peak, digest(frame.values.T)
    size = cube_bytes(scale, cols)
    times, peak, cube = time_runs(lambda: touch(size), lambda: lib.read(names, None, first, last), runs, budget)
    return times, peak, digest(cube.values)


def baseline_cache(path, instruments):
    """A chunk cache holding one stripe of chunk rows across the whole matrix
    (and so a column of chunks too, for these shapes)."""
    import h5py

    with h5py.File(path, "r") as f:
        d = f["data"]
        chunk_rows, chunk_cols = d.chunks
        stripe = -(-d.shape[1] // chunk_cols)
        column = -(-d.shape[0] // chunk_rows)
        count = max(stripe, column) + 1
        nbytes = count * chunk_rows * chunk_cols * d.dtype.itemsize
    slots = next(n for n in range(count * 100, count * 200) if all(n % p for p in range(2, int(n ** 0.5) + 1)))
    return {"rdcc_nbytes": nbytes, "rdcc_nslots": slots, "rdcc_w0": 0.75}


def baseline_side(scenario, scale, market, root, scratch, runs, budget):
    """h5py, one file after another, each with a chunk cache sized for its stripe."""
    import h5py

    from baseline_h5py import write_date

    paths = paths_of(root, scale)
    cache = baseline_cache(paths[0], scale.instruments)
    n, cols = scale.instruments, columns(scenario, market)
    if scenario == "L4":
        targets = paths_of(scratch, scale)
        values = [new_date_values(market, k) for k in range(scale.factors)]

        def write():
            for path, items in zip(targets, values):
                with h5py.File(path, "r+", **cache) as f:
                    write_date(f["data"], market.new_col, market.index, items)
                    f.flush()

        times, peak, _ = time_runs(lambda: fresh_copy(root, scratch), write, runs, budget)
        return times, peak, digest(written_column(targets, market.new_col, n)), cache
    if scenario == "L3":
        def cross_section():
            out = np.empty((scale.factors, n))
            for k, path in enumerate(paths):
                with h5py.File(path, "r", **cache) as f:
                    out[k] = f["data"][:n, cols.start]
            return out

        times, peak, out = time_runs(lambda: None, cross_section, runs, budget)
        return times, peak, digest(out), cache

    def cube():
        out = np.empty((scale.factors, len(cols), n))
        block = np.empty((n, len(cols)))
        for k, path in enumerate(paths):
            with h5py.File(path, "r", **cache) as f:
                f["data"].read_direct(block, np.s_[:n, cols.start:cols.stop])
            out[k] = block.T
        return out

    size = cube_bytes(scale, cols) + len(cols) * n * 8
    times, peak, out = time_runs(lambda: touch(size), cube, runs, budget)
    return times, peak, digest(out), cache


def floor_side(scenario, scale, market, root, runs, budget):
    """One thread inflating (and for writes deflating) exactly the chunks touched."""
    import h5py

    from floor import Codec, chunk_bytes, chunk_offsets, stored_offsets, write_into

    codec, cols, rows = Codec(), columns(scenario, market), range(scale.instruments)
    work = []  # (stored bytes, content to deflate or None, plain size)
    for k, path in enumerate(paths_of(root, scale)):
        with h5py.File(path, "r") as f:
            d = f["data"]
            size, stored = chunk_bytes(d), stored_offsets(d)
            new = ({market.new_col: np.array([v for _, v in new_date_values(market, k)])}
                   if scenario == "L4" else None)
            for offset in chunk_offsets(d, rows, cols):
                if offset not in stored:
                    if new is not None:  # a write fills a chunk never stored: deflate only
                        chunk = np.full(d.chunks, d.fillvalue)
                        write_into(chunk, offset, np.asarray(rows), new)
                        work.append((None, chunk.tobytes(), size))
                    continue
                mask, raw = d.id.read_direct_chunk(offset)
                if mask:
                    raise ValueError(f"{path}: a chunk stored without DEFLATE")
                content = None
                if new is not None:
                    chunk = np.frombuffer(codec.inflate(raw, size), dtype=d.dtype).reshape(d.chunks).copy()
                    write_into(chunk, offset, np.asarray(rows), new)
                    content = chunk.tobytes()
                work.append((raw, content, size))

    def run():
        for raw, content, size in work:
            if raw is not None:
                codec.inflate(raw, size)
            if content is not None:
                codec.deflate(content)

    times, peak, _ = time_runs(lambda: None, run, runs, budget)
    return times, peak, {"codec": codec.name, "chunks": len(work)}


def start_cluster(scale):
    import distributed

    cluster = distributed.LocalCluster(n_workers=CLUSTER_WORKERS, threads_per_worker=1, processes=True,
                                       dashboard_address=None)
    client = distributed.Client(cluster)
    client.run(worker_setup, str(REPO / "bench"), str(REPO / "src"), scale.instruments, scale.dates)
    return cluster, client


def worker_setup(bench, src, instruments, dates):
    """Points a cluster worker's engine at the benchmark's market, as this
    process is (a real cluster's workers would take it from their settings)."""
    for folder in (src, bench):
        if folder not in sys.path:
            sys.path.insert(0, folder)
    import quorbel.detail as engine
    from market import Market as WorkerMarket, inject as worker_inject, xshg_calendar as worker_calendar

    worker_inject(engine, WorkerMarket(instruments, worker_calendar(dates)))


def l5_side(side, part, scale, market, root, scratch, runs, budget):
    """L2 (part "read", or "reduce": summed over dates where it is read) or L4
    (part "write") through the Dask calls, on the
    cluster (side "cluster") or in this process (side "inprocess")."""
    import quorbel
    import quorbel.detail as detail

    inject(detail, market)
    cluster = client = None
    if side == "cluster":
        cluster, client = start_cluster(scale)
    try:
        if part == "write":
            fresh_copy(root, scratch)
            lib = quorbel.FactorLibrary(scratch)
            names = lib.names()
            values = {n: new_date_values(market, k) for k, n in enumerate(names)}
            date = market.calendar[market.new_col]
            times, peak, _ = time_runs(lambda: fresh_copy(root, scratch),
                                       lambda: lib.write(date, values, client=client), runs, budget)
            return times, peak, digest(written_column(paths_of(scratch, scale), market.new_col, scale.instruments))
        lib = quorbel.FactorLibrary(root)
        names = lib.names()
        cols = columns("L2", market)
        first, last = market.calendar[cols.start], market.calendar[cols.stop - 1]
        size = cube_bytes(scale, cols)

        def before():
            # What the read will allocate. In process: the blocks, then the
            # cube Dask joins them into. On the cluster: the cube in the caller;
            # one worker receives the other's blocks and joins them all.
            if client is None:
                touch(2 * size)
            else:
                touch(size)
                client.run(touch, size * 5 // 4)

        if part == "reduce":  # the same reads, but only a per-(factor, instrument) sum comes back
            times, peak, total = time_runs(
                lambda: None, lambda: lib.read(names, None, first, last, chunks="auto").sum("date").compute(),
                runs, budget)
            return times, peak, digest(total.values)
        times, peak, cube = time_runs(before, lambda: lib.read(names, None, first, last, chunks="auto").compute(),
                                      runs, budget)
        return times, peak, digest(cube.values)
    finally:
        if client is not None:
            client.close()
            cluster.close()


def run_job(job):
    use_source_tree()
    sys.path.insert(0, str(REPO / "bench"))
    scale = SCALES[job["scale"]]
    market = market_of(scale)
    root = library_root(scale)
    scratch = RESULTS / f"scratch-library-{os.getpid()}"
    side, scenario, runs, budget = job["side"], job["scenario"], job["runs"], scale.budget_seconds
    result = {}
    try:
        if side == "engine":
            times, peak, result["digest"] = engine_side(scenario, scale, market, root, scratch, runs, budget)
        elif side == "baseline":
            times, peak, result["digest"], result["cache"] = baseline_side(scenario, scale, market, root, scratch,
                                                                            runs, budget)
        elif side == "floor":
            times, peak, result["notes"] = floor_side(scenario, scale, market, root, runs, budget)
        else:
            times, peak, result["digest"] = l5_side(side, job["part"], scale, market, root, scratch, runs, budget)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    return {"times": times, "cpu": getattr(time_runs, "cpu", []), "peak_kib": peak, **result}


# --- the run -------------------------------------------------------------------------


def run_worker(job, script=__file__):
    """Runs `job` in a process of its own: `script` --worker, whose run_job prints its result."""
    started = time.perf_counter()
    done = subprocess.run([sys.executable, script, "--worker", json.dumps(job)], capture_output=True, text=True,
                          env=child_environment(), timeout=3600)
    label = f"{job['scenario']}{'-' + job['part'] if job.get('part') else ''} {job['side']}"
    if done.returncode != 0:
        log(f"  {label}: FAILED\n{done.stderr.strip()[-3000:]}")
        return {"error": (done.stderr.strip().splitlines() or [f"exit {done.returncode}"])[-1]}
    result = json.loads(done.stdout.strip().splitlines()[-1])
    log(f"  {label:<22} {report.format_time(report.median(result['times'])):>9} median of {len(result['times'])}, "
        f"peak {result['peak_kib'] / 1024:.0f} MiB ({time.perf_counter() - started:.0f} s)")
    return result


def cpu_of(result):
    return report.median(result["cpu"]) if result and result.get("cpu") else None


def median_of(result):
    return report.median(result["times"]) if result and "times" in result else None


def measure(args, scale):
    runs = args.runs or scale.runs
    rows = []
    for scenario in args.scenarios:
        if scenario == "L5":
            for part in ("read", "reduce", "write"):
                row = {"name": f"L5 {part}", "part": part}
                for side in ("inprocess", "cluster"):
                    row[side] = run_worker({"side": side, "part": part, "scenario": "L5", "scale": args.scale,
                                            "runs": runs})
                rows.append(row)
            continue
        row = {"name": scenario}
        for side in ("engine", "baseline", "floor"):
            row[side] = run_worker({"side": side, "scenario": scenario, "scale": args.scale, "runs": runs})
        rows.append(row)
    for row in rows:
        sides = [s for s in ("engine", "baseline", "inprocess", "cluster") if s in row]
        digests = [row[s].get("digest") for s in sides]
        row["equal"] = None if None in digests else all(d == digests[0] for d in digests)
        if row["equal"] is False:
            log(f"  {row['name']}: results differ: {digests}")
    return rows


def targets(rows, scale, cores):
    found = []
    by_name = {r["name"]: r for r in rows}
    for name in ("L1", "L2", "L3", "L4"):
        row = by_name.get(name)
        if not row:
            continue
        e, b, f = (median_of(row.get(s)) for s in ("engine", "baseline", "floor"))
        bound = 1.3 if name == "L4" else 1.25
        if e and f:
            ratio = e / (f / cores)
            found.append((f"{name} within {bound}x of the all-core floor", f"{ratio:.2f}x", ratio <= bound))
        if name != "L4" and e and b:
            speed = b / e
            found.append((f"{name} at least 3x faster than the baseline", f"{speed:.2f}x", speed >= 3))
        if name == "L2" and row["engine"].get("peak_kib"):
            limit = cube_bytes(scale, range(scale.dates)) + MEMORY_HEADROOM
            peak = row["engine"]["peak_kib"] * 1024
            found.append(("L2 peak memory at most the cube plus 256 MiB",
                          f"{peak / 2**20:,.0f} MiB (limit {limit / 2**20:,.0f} MiB)", peak <= limit))
    for part in ("read", "write"):
        row = by_name.get(f"L5 {part}")
        if row:
            i, c = median_of(row.get("inprocess")), median_of(row.get("cluster"))
            if i and c:
                found.append((f"L5 {part} on the cluster within 1.5x of in process", f"{c / i:.2f}x", c / i <= 1.5))
    return found


def summary(record):
    f = report.format_time
    lines = [f"## Factor library: {record['title']}", ""]
    lines += [f"- {k}: {v}" for k, v in record["machine"].items()]
    lines += ["", record["library"], ""]
    lines += ["| Scenario | What | Engine | Baseline | Engine/baseline | Floor 1 thread | Floor all cores | "
              "Engine/all-core floor | Engine CPU | Peak memory engine | Equal |", "|---|---|---|---|---|---|---|---|---|---|---|"]
    cores = record["cores"]
    for row in record["rows"]:
        equal = {True: "yes", False: "**NO**", None: "-"}[row.get("equal")]
        if row["name"].startswith("L5"):
            i, c = median_of(row.get("inprocess")), median_of(row.get("cluster"))
            lines.append(f"| {row['name']} | {row['text']} | cluster {f(c)} | in process {f(i)} | "
                         f"{report.format_ratio(c / i) if i and c else '-'} | | | | | "
                         f"{row['cluster'].get('peak_kib', 0) / 1024:,.0f} MiB (caller) | {equal} |")
            continue
        e, b, fl = (median_of(row.get(s)) for s in ("engine", "baseline", "floor"))
        lines.append(f"| {row['name']} | {row['text']} | {f(e)} | {f(b)} | "
                     f"{report.format_ratio(e / b) if e and b else '-'} | {f(fl)} | {f(fl / cores if fl else None)} | "
                     f"{report.format_ratio(e / (fl / cores)) if e and fl else '-'} | {f(cpu_of(row.get('engine')))} | "
                     f"{row['engine'].get('peak_kib', 0) / 1024:,.0f} MiB | {equal} |")
    lines += ["", "### Targets", "", "| Target | Measured | Met |", "|---|---|---|"]
    lines += [f"| {t} | {m} | {'yes' if ok else '**no**'} |" for t, m, ok in record["targets"]]
    lines += ["", "### Notes", ""] + [f"- {n}" for n in record["notes"]]
    return "\n".join(lines) + "\n"


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small scale, for development")
    parser.add_argument("--scenarios", default=",".join(SCENARIOS), help=f"comma-separated, from {','.join(SCENARIOS)}")
    parser.add_argument("--runs", type=int, help="timed runs per side (default 3, --quick 2)")
    parser.add_argument("--report-only", action="store_true",
                        help="measure nothing: write the table again from the last run's .json")
    parser.add_argument("--worker", help=argparse.SUPPRESS)
    args = parser.parse_args()
    args.scale = "quick" if args.quick else "full"
    args.scenarios = [s.strip() for s in args.scenarios.split(",") if s.strip()]
    if set(args.scenarios) - set(SCENARIOS):
        parser.error(f"unknown scenarios: {', '.join(sorted(set(args.scenarios) - set(SCENARIOS)))}")
    return args


def main():
    args = parse_args()
    if args.worker:
        print(json.dumps(run_job(json.loads(args.worker))))
        return
    suffix = "library-quick" if args.quick else "library"
    if args.report_only:
        publish(json.loads((RESULTS / f"{suffix}.json").read_text()), suffix)
        return
    use_source_tree()
    import quorbel.detail as detail

    from common import engine_tag

    scale = SCALES[args.scale]
    RESULTS.mkdir(exist_ok=True)
    market = market_of(scale)
    started, load_at_start = time.perf_counter(), os.getloadavg()
    log(f"library: {scale.factors} factors x {scale.instruments:,} instruments x {market.dates:,} dates")
    root = build_library(scale, market)
    rows = measure(args, scale)
    for row in rows:
        row["text"] = TEXT[row["name"]].format(f=scale.factors, d=market.dates)
    load_at_end = os.getloadavg()
    cores = os.cpu_count()
    h5 = detail.get_h5(paths_of(root, scale)[0])
    try:
        shape, chunks = h5["data"].shape, h5["data"].chunks
    finally:
        h5.close()
    size = sum(os.path.getsize(p) for p in paths_of(root, scale))
    baseline_cache_bytes = next((r["baseline"]["cache"]["rdcc_nbytes"] for r in rows if "cache" in r.get("baseline", {})),
                                None)
    floor_codec = next((r["floor"]["notes"]["codec"] for r in rows if "notes" in r.get("floor", {})), "?")
    import h5py

    record = {
        "title": scale.name,
        "cores": cores,
        "machine": report.machine_info(engine_tag(), {"h5py": h5py.version.version,
                                                       "hdf5": h5py.version.hdf5_version},
                                       {"codec": floor_codec}),
        "library": (f"Library: {scale.factors} factor files of {scale.instruments:,} instruments x "
                    f"{market.dates:,} XSHG trading dates ({market.calendar[0]} to {market.calendar[-1]}), "
                    f"matrix {shape[0]:,} x {shape[1]:,}, chunks {chunks[0]} x {chunks[1]}, "
                    f"{size / 2**20:,.0f} MiB on disk; N(0,1) values rounded to 4 places, NaN before each listing "
                    f"date and about 3% NaN after it; every date but the last written: in blocks of 250 dates through the matrix view, the chunk "
                    f"column holding the new date through put_factor_packs (made once, then cached). The new date is the last one."),
        "rows": rows,
        "notes": [
            f"Times are medians of up to {args.runs or scale.runs} runs, each side in a process of its own. "
            f"Load average (1/5 min) {load_at_start[0]:.2f}/{load_at_start[1]:.2f} at the start, "
            f"{load_at_end[0]:.2f}/{load_at_end[1]:.2f} at the end; {cores} cores; the page cache is warm; "
            f"whole run {(time.perf_counter() - started) / 60:.1f} min.",
            "Baseline: h5py reading (or writing) the files one after another, each opened with a chunk cache of "
            f"{(baseline_cache_bytes or 0) / 2**20:.1f} MiB holding a whole stripe of chunk rows; reads take each "
            "file's block in one read_direct and transpose it into the cube; the write is a read-modify-write "
            "of the date's column and a flush per file.",
            "Floor: one thread of the codec inflating exactly the stored chunks a read touches (for the write: "
            "inflating each chunk of the new date's column and deflating it at level 9 with the new values), on "
            "raw chunks held in memory; the all-core floor is that time divided by the cores.",
            "Large reads: the cube's size is faulted in and freed, untimed, just before each run on every side "
            "(memory freed for a few seconds goes back to the host here); for L5 read, what the read allocates "
            "beyond it too: the blocks Dask joins into the cube (in process twice the cube, on the cluster the "
            "cube in the caller and 1.25 times the cube on each worker). Peak memory is VmHWM of the process "
            "doing the read, restarted before each run; it includes the interpreter and the modules.",
            "L4 and L5 write run on a fresh copy of the library each time (copy not timed). L5 runs "
            "lib.read(..., chunks=\"auto\").compute() and lib.write(..., client=client) on a LocalCluster of "
            f"{CLUSTER_WORKERS} worker processes (1 thread each), beside the same calls without a cluster; the "
            "cluster's start is not timed, the cube's transfer to the caller is.",
            "Engine CPU: the median CPU time of all the engine's threads in one run; beside the one-thread "
            "floor it shows the work done whatever else runs on the machine.",
            "Equal: the engine's, the baseline's (and for L5 the cluster's) cubes, cross-sections or written "
            "columns were compared by a digest of their values.",
        ],
    }
    record["targets"] = targets(rows, scale, cores)
    (RESULTS / f"{suffix}.json").write_text(json.dumps(record, indent=1))
    publish(record, suffix)


def publish(record, suffix):
    text = summary(record)
    (RESULTS / f"{suffix}.md").write_text(text)
    print(text)


if __name__ == "__main__":
    main()
