"""Benchmark of backfills through FactorLibrary, each beside its peers and the
codec floor on all cores. Prints the table and writes
bench/results/library-backfill.md and .json (library-backfill-quick.* for
--quick, which are not kept in git). The docs' performance page includes
library-backfill.md as it is.

L6 writes one cube (factor x date x instrument, the DataArray lib.read
returns) of 24 factors x 1,250 dates x 5,300 instruments with
lib.write_cube(cube, create=True) into an empty folder. Beside it: the floor
(every chunk of every file deflated once, on all cores), h5py writing the
files one after another (each made as the engine makes it, then filled by
read-modify-write of whole chunk-column blocks), the same write_cube on a
LocalCluster of 2 worker processes, and the peak memory of the write in a
fresh process.

L7 writes one wide DataFrame (dates x order_book_ids) of 400 dates x 2,000
instruments into an existing factor with lib.write_frame, beside
lib.write_packs of the same values and the floor.

    python3 bench/library_backfill.py                  # the sizes above
    python3 bench/library_backfill.py --quick          # small, for development
    python3 bench/library_backfill.py --scenarios L7 --runs 2
    python3 bench/library_backfill.py --report-only    # the .md again from the .json, nothing measured
"""

import argparse
import functools
import gc
import hashlib
import json
import os
import shutil
import sys
import tempfile
import time
from dataclasses import dataclass

import numpy as np

import library
import report
from all_cores import CodecPool, cores, prepared, shares_of
from common import REPO, RESULTS, engine_tag, use_source_tree
from library import (CLUSTER_WORKERS, MEMORY_HEADROOM, block_values, build_library, digest, factor_name, log,
                     restart_peak, start_cluster, status_kib, time_runs, touch)
from market import Market, Pack, inject, xshg_calendar

SCENARIOS = ("L6", "L7")
SIDES = {"L6": ("engine", "floor", "baseline", "cluster", "memory"), "L7": ("engine", "packs", "floor")}
# Seeds L7's new values apart from the fill's (block_values takes it for a factor number).
FRAME_REVISION = 100
TARGETS = {"L6 floor": 1.5, "L6 baseline": 10, "L6 cluster": 1.5, "L7 seconds": 0.6}


@dataclass(frozen=True)
class Scale:
    name: str
    factors: int
    instruments: int
    dates: int
    frame_instruments: int
    frame_dates: int
    runs: int
    budget_seconds: float


SCALES = {
    "full": Scale("library scale", 24, 5300, 1250, 2000, 400, 3, 40),
    "quick": Scale("quick run, small scale (development only)", 6, 600, 500, 500, 100, 2, 5),
}

LABELS = {
    ("L6", "engine"): "lib.write_cube(cube, create=True), in process",
    ("L6", "floor"): "floor: every chunk of every file deflated once, all cores",
    ("L6", "baseline"): "h5py, one file after another, read-modify-write of whole chunk-column blocks",
    ("L6", "cluster"): f"the same write_cube on a LocalCluster of {CLUSTER_WORKERS} worker processes (client=)",
    ("L6", "memory"): "peak memory of the in-process write_cube, in a fresh process",
    ("L7", "engine"): "lib.write_frame({name: frame})",
    ("L7", "packs"): "lib.write_packs({name: packs}) of the same values, one pack a date",
    ("L7", "floor"): "floor: every chunk the frame reaches deflated once, all cores",
}


# --- the data --------------------------------------------------------------------


def cube_market(scale):
    return Market(scale.instruments, xshg_calendar(scale.dates))


def frame_library_scale(scale):
    """The existing factor L7 writes into, made and cached as bench/library.py makes its library."""
    return library.Scale("one factor", 1, scale.frame_instruments, scale.dates, scale.runs, scale.budget_seconds)


def frame_market(scale):
    return Market(scale.frame_instruments, xshg_calendar(scale.dates))


def frame_cols(scale, market):
    """The frame's dates: frame_dates consecutive ones in the middle of the written history."""
    first = max(0, (market.new_col - scale.frame_dates) // 2)
    return range(first, first + scale.frame_dates)


def date_labels(codes):
    """Date codes as the datetime64 labels lib.read gives its dates."""
    import pandas as pd

    return pd.to_datetime(np.asarray(codes, dtype=np.int64).astype(str), format="%Y%m%d").astype("datetime64[ns]")


def cube_values(scale, market):
    """factor x date x instrument: each factor's values as bench/library.py fills them."""
    values = np.empty((scale.factors, market.dates, market.instruments))
    for k in range(scale.factors):
        values[k] = block_values(market, k, 0, market.dates).T
    return values


def as_cube(values, market):
    import xarray

    return xarray.DataArray(values, dims=("factor", "date", "instrument"),
                            coords={"factor": [factor_name(k) for k in range(values.shape[0])],
                                    "date": date_labels(market.calendar),
                                    "instrument": np.asarray(market.ids, dtype=object)},
                            name="value")


def frame_of(scale, market):
    """The wide frame L7 writes: its dates as the index, order_book_ids as the columns."""
    import pandas as pd

    cols = frame_cols(scale, market)
    block = block_values(market, FRAME_REVISION, cols.start, cols.stop)
    return pd.DataFrame(block.T, index=date_labels(market.calendar[cols.start:cols.stop]),
                        columns=pd.Index(market.ids, dtype=object))


def engine_chunks(shape):
    """The chunk shape and DEFLATE level of a new engine-made matrix of `shape`."""
    import h5py

    import quorbel.detail as detail

    with tempfile.TemporaryDirectory() as folder:
        probe = os.path.join(folder, "probe.h5")
        detail.create_new_factor_h5(probe, shape).close()
        with h5py.File(probe, "r") as f:
            return tuple(f["data"].chunks), f["data"].compression_opts


def files_digest(paths, instruments, cols):
    """One digest of every file's block of `instruments` rows x `cols`."""
    import h5py

    h = hashlib.blake2b(digest_size=10)
    for path in paths:
        with h5py.File(path, "r") as f:
            h.update(repr(digest(f["data"][:instruments, cols.start:cols.stop])).encode())
    return h.hexdigest()


def cube_digest(values):
    """files_digest of files holding `values` (factor x date x instrument)."""
    h = hashlib.blake2b(digest_size=10)
    for k in range(values.shape[0]):
        h.update(repr(digest(values[k].T)).encode())
    return h.hexdigest()


def fresh_folder(path):
    """Empties `path` (made if missing) and says how many bytes its files held."""
    held = sum(entry.stat().st_size for entry in os.scandir(path) if entry.is_file()) if os.path.isdir(path) else 0
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    return held


def factor_paths(folder, count):
    return [os.path.join(folder, f"{factor_name(k)}.h5") for k in range(count)]


# --- L6 ----------------------------------------------------------------------------


def l6_write(scale, scratch, runs, budget, cluster):
    """write_cube of the whole cube into an emptied folder, in process or on a cluster."""
    import quorbel

    market = cube_market(scale)
    values = cube_values(scale, market)
    cube = as_cube(values, market)
    expected = cube_digest(values)
    cluster_handle = client = None
    if cluster:
        cluster_handle, client = start_cluster(scale)
    try:
        def before():
            # What the write leaves behind, the files in the page cache, and
            # the room it may take beyond the cube are faulted in, untimed.
            room = fresh_folder(scratch) + MEMORY_HEADROOM
            touch(room)
            if client is not None:
                client.run(touch, values.nbytes // CLUSTER_WORKERS + room)

        def write():
            quorbel.FactorLibrary(scratch).write_cube(cube, create=True, client=client)

        times, peak, _ = time_runs(before, write, runs, budget)
        written = files_digest(factor_paths(scratch, scale.factors), scale.instruments, range(scale.dates))
        return times, peak, {"digest": written, "expected": expected}
    finally:
        if client is not None:
            client.close()
            cluster_handle.close()


def l6_memory(scale, scratch):
    """One write_cube in this fresh process: its peak (VmHWM) over the cube's bytes."""
    import quorbel

    market = cube_market(scale)
    values = cube_values(scale, market)
    cube = as_cube(values, market)
    fresh_folder(scratch)
    gc.collect()
    restart_peak()
    start = time.perf_counter()
    quorbel.FactorLibrary(scratch).write_cube(cube, create=True)
    seconds = time.perf_counter() - start
    peak = status_kib("VmHWM")
    return [seconds], peak, {"cube_bytes": values.nbytes}


def write_blocks(data, values):
    """`values` (date x instrument, from the first date on) written through h5py
    as a careful user does: a whole chunk-column block at a time, read, changed
    and written back, so that each chunk is compressed once."""
    dates, instruments = values.shape
    chunk_rows, chunk_cols = data.chunks
    height = min(-(-instruments // chunk_rows) * chunk_rows, data.shape[0])
    for first in range(0, dates, chunk_cols):
        stop = min(first + chunk_cols, data.shape[1])
        block = data[:height, first:stop]
        last = min(stop, dates)
        block[:instruments, :last - first] = values[first:last].T
        data[:height, first:stop] = block
    data.attrs["cursor_col"] = np.int64(dates - 1)


def l6_baseline(scale, scratch, runs, budget):
    """h5py: for each factor, a copy of an empty engine-made file, filled by write_blocks."""
    import h5py

    import quorbel.detail as detail

    market = cube_market(scale)
    inject(detail, market)
    values = cube_values(scale, market)
    template = scratch + "-empty.h5"
    detail.get_h5(template, True).close()  # the matrix get_h5 makes for this market
    paths = factor_paths(scratch, scale.factors)

    def write(factors):
        for k in factors:
            shutil.copyfile(template, paths[k])
            with h5py.File(paths[k], "r+") as f:
                write_blocks(f["data"], values[k])

    def before():
        touch(fresh_folder(scratch) + MEMORY_HEADROOM)

    try:
        # A warm-up of one factor: the whole write would spend a minute untimed.
        times, peak, _ = time_runs(before, lambda: write(range(scale.factors)), runs, budget,
                                   warm_up=lambda: write(range(1)))
    finally:
        os.remove(template)
    return times, peak, {"digest": files_digest(paths, scale.instruments, range(scale.dates)),
                         "h5py": h5py.version.version, "hdf5": h5py.version.hdf5_version}


def cube_chunks(scale_key, share, shares, chunk_shape):
    """This process's share of every chunk L6 writes, with its content: the
    cube's values, NaN (the fill value) past the last instrument and date."""
    scale = SCALES[scale_key]
    market = cube_market(scale)
    rows, cols = chunk_shape
    work, position = [], 0
    for k in range(scale.factors):
        block = None
        for r0 in range(0, market.instruments, rows):
            for c0 in range(0, market.dates, cols):
                if position % shares == share:
                    if block is None:
                        block = block_values(market, k, 0, market.dates)
                    chunk = np.full(chunk_shape, np.nan)
                    part = block[r0:r0 + rows, c0:c0 + cols]
                    chunk[:part.shape[0], :part.shape[1]] = part
                    work.append((None, chunk.tobytes(), chunk.nbytes))
                position += 1
    return work


def l6_floor(scale_key, runs, budget):
    scale = SCALES[scale_key]
    import quorbel.detail as detail

    chunk_shape, level = engine_chunks((scale.instruments + detail.EXPAND_INSTRUMENT_LENGTH,
                                        scale.dates + detail.EXPAND_TRADING_DATE_LENGTH))
    parts = cores()
    with CodecPool([functools.partial(cube_chunks, scale_key, share, parts, chunk_shape)
                    for share in range(parts)]) as pool:
        times, peak, _ = time_runs(lambda: None, pool, runs, budget)
    return times, peak, {"codec": pool.codec, "chunks": pool.items, "processes": parts,
                         "chunk_shape": list(chunk_shape), "level": level, "cpu": pool.cpu[-len(times):]}


# --- L7 ----------------------------------------------------------------------------


def l7_write(side, scale, scratch, runs, budget):
    """write_frame (side "engine") or write_packs (side "packs") of the frame
    into a fresh copy of the existing factor."""
    import quorbel
    import quorbel.detail as detail

    from library import fresh_copy, library_root

    market = frame_market(scale)
    inject(detail, market)
    root = library_root(frame_library_scale(scale))
    frame = frame_of(scale, market)
    name = factor_name(0)
    if side == "engine":
        payload, write = {name: frame}, "write_frame"
    else:
        cols = frame_cols(scale, market)
        codes = market.calendar[cols.start:cols.stop]
        payload, write = {name: [Pack(code, row) for code, (_, row) in zip(codes, frame.iterrows())]}, "write_packs"
    fresh_copy(root, scratch)
    lib = quorbel.FactorLibrary(scratch)
    times, peak, _ = time_runs(lambda: fresh_copy(root, scratch), lambda: getattr(lib, write)(payload), runs, budget)
    cols = frame_cols(scale, market)
    return times, peak, {"digest": files_digest([lib.path(name)], market.instruments, cols),
                         "expected": cube_digest(frame.to_numpy()[None])}


def l7_floor(scale, runs, budget):
    """Every chunk the frame reaches, as the write leaves it, deflated once on all cores."""
    import h5py

    from floor import Codec, chunk_content, chunk_offsets, stored_offsets, write_into
    from library import library_root

    market = frame_market(scale)
    cols = frame_cols(scale, market)
    frame = frame_of(scale, market)
    new_values = {col: frame.iloc[j].to_numpy() for j, col in enumerate(cols)}
    rows = np.arange(market.instruments)
    codec, work = Codec(), []
    with h5py.File(factor_paths(library_root(frame_library_scale(scale)), 1)[0], "r") as f:
        data = f["data"]
        stored = stored_offsets(data)
        for offset in chunk_offsets(data, rows, cols):
            chunk = chunk_content(data, offset, offset in stored, codec)
            write_into(chunk, offset, rows, new_values)
            work.append((None, chunk.tobytes(), chunk.nbytes))
        chunk_shape, level = list(data.chunks), data.compression_opts
    parts = cores()
    with CodecPool([functools.partial(prepared, share) for share in shares_of(work, parts)]) as pool:
        times, peak, _ = time_runs(lambda: None, pool, runs, budget)
    return times, peak, {"codec": pool.codec, "chunks": len(work), "processes": parts, "chunk_shape": chunk_shape,
                         "level": level, "cpu": pool.cpu[-len(times):]}


# --- a side, in a worker process ------------------------------------------------------


def run_job(job):
    use_source_tree()
    sys.path.insert(0, str(REPO / "bench"))
    import quorbel.detail as detail

    scale, side, scenario, runs = SCALES[job["scale"]], job["side"], job["scenario"], job["runs"]
    budget = scale.budget_seconds
    scratch = str(RESULTS / f"scratch-library-{os.getpid()}")
    if scenario == "L6":
        inject(detail, cube_market(scale))
    try:
        if scenario == "L7":
            if side == "floor":
                times, peak, notes = l7_floor(scale, runs, budget)
            else:
                times, peak, notes = l7_write(side, scale, scratch, runs, budget)
        elif side in ("engine", "cluster"):
            times, peak, notes = l6_write(scale, scratch, runs, budget, cluster=side == "cluster")
        elif side == "memory":
            times, peak, notes = l6_memory(scale, scratch)
        elif side == "baseline":
            times, peak, notes = l6_baseline(scale, scratch, runs, budget)
        else:
            times, peak, notes = l6_floor(job["scale"], runs, budget)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    # CPU time per run: this process's, all its threads (the floor's: its codec processes').
    cpu = notes.pop("cpu", None) or ([] if side == "memory" else getattr(time_runs, "cpu", []))
    return {"times": times, "cpu": cpu, "peak_kib": peak, **notes}


# --- the run and its report -----------------------------------------------------------


def measure(args, scale):
    rows = []
    for scenario in args.scenarios:
        row = {"name": scenario}
        for side in SIDES[scenario]:
            row[side] = library.run_worker({"side": side, "scenario": scenario, "scale": args.scale,
                                            "runs": args.runs or scale.runs}, script=__file__)
        found = {row[s][key] for s in SIDES[scenario] for key in ("digest", "expected") if key in row[s]}
        row["equal"] = None if not found else len(found) == 1
        if row["equal"] is False:
            log(f"  {scenario}: the written values differ between the sides or from the input")
        rows.append(row)
    return rows


median_of = library.median_of


def targets(rows):
    """(target, measured, met) of every target this run measured."""
    found = []
    by_name = {row["name"]: row for row in rows}
    l6, l7 = by_name.get("L6"), by_name.get("L7")
    if l6:
        e, f, b, c = (median_of(l6.get(s)) for s in ("engine", "floor", "baseline", "cluster"))
        if e and f:
            found.append(("L6 within 1.5x of the floor", f"{e / f:.2f}x", e / f <= TARGETS["L6 floor"]))
        if e and b:
            found.append(("L6 at least 10x faster than h5py", f"{b / e:.1f}x", b / e >= TARGETS["L6 baseline"]))
        if e and c:
            found.append(("L6 cluster within 1.5x of in process", f"{c / e:.2f}x", c / e <= TARGETS["L6 cluster"]))
        memory = l6.get("memory", {})
        if "peak_kib" in memory:
            over = memory["peak_kib"] * 1024 - memory["cube_bytes"]
            found.append(("L6 peak within cube + 256 MiB",
                          f"cube + {over / 2**20:,.0f} MiB (peak {memory['peak_kib'] / 1024:,.0f} MiB)",
                          over <= MEMORY_HEADROOM))
    if l7:
        e = median_of(l7.get("engine"))
        if e:
            found.append(("L7 at most 0.6 s", report.format_time(e), e <= TARGETS["L7 seconds"]))
    return found


def compared(scenario, side, row):
    """What the row's time says beside the engine's, as the targets read it."""
    e, t = median_of(row.get("engine")), median_of(row.get(side))
    if not e or not t or side == "engine":
        return ""
    return {"floor": f"engine / floor {e / t:.2f}", "baseline": f"h5py / engine {t / e:.1f}",
            "cluster": f"cluster / engine {t / e:.2f}", "packs": f"write_packs / write_frame {t / e:.2f}"}.get(side, "")


def summary(record):
    f = report.format_time
    lines = [f"## Backfills through the library: {record['title']}", ""]
    lines += [f"- {k}: {v}" for k, v in record["machine"].items()]
    lines += [""] + [text for text in record["data"]] + [""]
    lines += ["| Scenario | Side | Median | Runs | Compared | CPU | Peak memory | Equal |",
              "|---|---|---|---|---|---|---|---|"]
    for row in record["rows"]:
        equal = {True: "yes", False: "**NO**", None: "-"}[row.get("equal")]
        for side in SIDES[row["name"]]:
            result = row.get(side) or {}
            if "error" in result:
                lines.append(f"| {row['name']} | {LABELS[row['name'], side]} | failed | | | | | |")
                continue
            peak = f"{result['peak_kib'] / 1024:,.0f} MiB" if "peak_kib" in result else "-"
            lines.append(f"| {row['name']} | {LABELS[row['name'], side]} | {f(median_of(result))} | "
                         f"{len(result.get('times', []))} | {compared(row['name'], side, row)} | "
                         f"{f(library.cpu_of(result))} | {peak} | {equal if side == 'engine' else ''} |")
    lines += ["", "### Targets", "", "| Target | Measured | Met |", "|---|---|---|"]
    lines += [f"| {t} | {m} | {'yes' if ok else '**no**'} |" for t, m, ok in record["targets"]]
    lines += ["", "### Notes", ""] + [f"- {n}" for n in record["notes"]]
    return "\n".join(lines) + "\n"


def data_texts(scale, rows):
    """What each scenario wrote, with the files' layout as the floor found it."""
    texts = []
    for row in rows:
        floor = row.get("floor") or {}
        layout = (f"chunks {floor['chunk_shape'][0]} x {floor['chunk_shape'][1]}, DEFLATE level {floor['level']}"
                  if "chunk_shape" in floor else "chunks as the engine makes them")
        if row["name"] == "L6":
            texts.append(f"L6: one cube of {scale.factors} factors x {scale.dates:,} XSHG trading dates x "
                         f"{scale.instruments:,} instruments ({scale.factors * scale.dates * scale.instruments * 8 / 2**20:,.0f} MiB "
                         f"of float64, N(0,1) rounded to 4 places, NaN before each listing date and about 3% NaN "
                         f"after it), written into an empty folder: {scale.factors} new files, {layout}.")
        else:
            texts.append(f"L7: a wide DataFrame of {scale.frame_dates} dates x {scale.frame_instruments:,} "
                         f"instruments written into one existing factor of {scale.frame_instruments:,} instruments "
                         f"x {scale.dates:,} dates (filled as bench/library.py fills its library), {layout}; the "
                         f"frame's dates lie in the middle of the written history, other numbers than the fill.")
    return texts


def notes(args, scale, started, load_at_start):
    load = os.getloadavg()
    return [
        f"Times are medians of up to {args.runs or scale.runs} runs (fewer once a side has spent "
        f"{scale.budget_seconds:.0f} s), each side in a process of its own, after one untimed run (for h5py, an "
        f"untimed write of one factor). Load average (1/5 min) {load_at_start[0]:.2f}/{load_at_start[1]:.2f} at "
        f"the start, {load[0]:.2f}/{load[1]:.2f} at the end; {os.cpu_count()} cores; whole run "
        f"{(time.perf_counter() - started) / 60:.1f} min.",
        "Floor: the codec alone, deflating at the files' level, once, every chunk the write leaves holding a "
        "written cell, with the content it has after the write, on all cores: one process per core, each "
        "given its share of the chunks before the clock starts (the codec's binding holds the GIL for buffers "
        "of a chunk's size, so threads would deflate one chunk at a time). The floor inflates nothing: L7's "
        "engine also reads and inflates the chunks it changes.",
        "L6 starts every run in an empty folder. Before each run, untimed, every side faults in and frees the "
        "bytes the previous run's files held plus 256 MiB (memory freed for a few seconds goes back to the host "
        "here); on the cluster each worker does too, with its half of the cube. The cube is made before the "
        "clock starts; the cluster's start is not timed, the cube's transfer to the workers is.",
        "L6 h5py: each file is a copy of an empty factor file made by the engine for the same market (copy "
        "timed), opened with h5py's default chunk cache, which holds a chunk-column block; the block is read "
        "(the fill value), its cells set from the cube and written back, so each chunk is compressed once, "
        "by HDF5's own DEFLATE (zlib). The engine's write syncs its files (journalled transactions); h5py's "
        "does not.",
        "L6 peak memory: VmHWM of a fresh process that made the cube, restarted through /proc/self/clear_refs "
        "just before one in-process write_cube; the cube's bytes are taken off. It includes the interpreter and "
        "the modules.",
        "L7 runs on a fresh copy of the factor each time (copy not timed). The packs for write_packs are made "
        "from the frame before the clock starts (a pandas Series of every instrument per date).",
        "CPU: the median CPU time of one run, of every thread of the side's process (on the cluster, the "
        "caller's alone); for the floor, of its codec processes added up. On a machine that other work loads, "
        "it shows each side's own work where the wall times show the machine's share it got.",
        "Equal: the written blocks of every side were compared by a digest of their values, with each other "
        "and with the cube or the frame written.",
    ]


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
    suffix = "library-backfill-quick" if args.quick else "library-backfill"
    if args.report_only:
        publish(json.loads((RESULTS / f"{suffix}.json").read_text()), suffix)
        return
    use_source_tree()
    import h5py

    scale = SCALES[args.scale]
    RESULTS.mkdir(exist_ok=True)
    started, load_at_start = time.perf_counter(), os.getloadavg()
    if "L7" in args.scenarios:
        log(f"L7's factor: {scale.frame_instruments:,} instruments x {scale.dates:,} dates")
        build_library(frame_library_scale(scale), frame_market(scale))
    rows = measure(args, scale)
    floor_codec = next((r["floor"]["codec"] for r in rows if "codec" in r.get("floor", {})), "?")
    record = {
        "title": scale.name,
        "machine": report.machine_info(engine_tag(), {"h5py": h5py.version.version, "hdf5": h5py.version.hdf5_version},
                                       {"codec": floor_codec}),
        "data": data_texts(scale, rows),
        "rows": rows,
        "notes": notes(args, scale, started, load_at_start),
    }
    record["targets"] = targets(rows)
    (RESULTS / f"{suffix}.json").write_text(json.dumps(record, indent=1))
    publish(record, suffix)


def publish(record, suffix):
    text = summary(record)
    (RESULTS / f"{suffix}.md").write_text(text)
    print(text)


if __name__ == "__main__":
    main()
