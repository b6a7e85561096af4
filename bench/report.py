"""The results: the table, the issue's targets, the machine, the chart."""

import ctypes
import datetime
import math
import os
import platform
import re
import subprocess
import zlib

import numpy as np

from common import REPO, median

SIDES = ("engine", "baseline", "floor")
MIB = 1 << 20


# --- numbers ---------------------------------------------------------------------


def seconds(result):
    """Median run time of one side of one row, None when it did not run."""
    return median(result.get("times", [])) if result else None


def ratio(a, b):
    return a / b if a is not None and b else None


def format_time(s):
    if s is None:
        return "-"
    if s < 1e-3:
        return f"{s * 1e6:.0f} us"
    if s < 1:
        return f"{s * 1e3:.3g} ms"
    return f"{s:.3g} s"


def format_ratio(r):
    if r is None:
        return "-"
    return f"{r:.3g}" if r < 100 else f"{r:.0f}"


def peak_rss_mib(result):
    return result["peak_rss_kib"] / 1024 if result and "peak_rss_kib" in result else None


# --- targets ---------------------------------------------------------------------


def chunk_cache_bound_bytes():
    """The memory bound of a reading stream's chunk cache, as the engine
    documents it next to its definition."""
    try:
        text = "".join(p.read_text() for p in sorted((REPO / "src/engine/storage").glob("*.hpp")))
    except OSError:
        return None
    found = re.search(r"kSectionCacheLimitBytes\s*=\s*size_t\((\d+)\)\s*<<\s*(\d+)", text)
    return int(found.group(1)) << int(found.group(2)) if found else None


def scaling_slope(rows, scenario):
    """Slope of log(engine time) over log(instruments x dates) across the
    rows of `scenario` at every scale: 1 is linear."""
    points = [(row["cells"], seconds(row.get("engine"))) for row in rows if row["scenario"] == scenario]
    points = [(c, t) for c, t in points if t]
    if len(points) < 2:
        return None
    cells, times = zip(*points)
    return float(np.polyfit(np.log(cells), np.log(times), 1)[0])


def faster_by(rows, name):
    row = rows.get(name)
    return ratio(seconds(row.get("baseline")), seconds(row.get("engine"))) if row else None


def engine_over_floor(rows, name):
    row = rows.get(name)
    return ratio(seconds(row.get("engine")), seconds(row.get("floor"))) if row else None


def rewrite_over_read_and_write(rows, references):
    parts = [seconds(references.get(k)) for k in ("read_all", "write_all")]
    row = rows.get("RW")
    if not row or None in parts:
        return None
    return ratio(seconds(row.get("engine")), sum(parts))


def targets(table_rows, references):
    """(target, measured, met) for each target of the issue; met is None when
    this run did not measure it."""
    rows = {row["name"]: row for row in table_rows}

    def at_least(value, limit, unit="x"):
        return (f"{value:.3g}{unit}", value >= limit) if value is not None else ("not measured", None)

    def at_most(value, limit, unit="x"):
        return (f"{value:.3g}{unit}", value <= limit) if value is not None else ("not measured", None)

    def between(value, low, high):
        return (f"slope {value:.2f}", low <= value <= high) if value is not None else ("not measured", None)

    bound = chunk_cache_bound_bytes()
    r2_engine = rows.get("R2", {}).get("engine")
    r2_rss = peak_rss_mib(r2_engine)
    r1 = faster_by(rows, "R1")
    checks = [
        ("R2 at least 80x faster than the baseline", at_least(faster_by(rows, "R2"), 80)),
        ("R2 within 2x of its inflate floor", at_most(engine_over_floor(rows, "R2"), 2)),
        ("R3 at least 10x faster than the baseline", at_least(faster_by(rows, "R3"), 10)),
        ("R1 no slower than the baseline", at_least(r1, 1)),
        ("W1 at least 4x faster than the baseline", at_least(faster_by(rows, "W1"), 4)),
        ("W3 at least 4x faster than the baseline", at_least(faster_by(rows, "W3"), 4)),
        ("W3 within 1.5x of the floor (deflating on all cores)", at_most(engine_over_floor(rows, "W3"), 1.5)),
        ("RW within 1.5x of one full read plus one full write",
         at_most(rewrite_over_read_and_write(rows, references), 1.5)),
        (f"R2 peak RSS within the chunk-cache bound ({bound // MIB if bound else '?'} MiB) plus 64 MiB",
         (f"{r2_rss:.0f} MiB peak, +{r2_rss - r2_engine['rss_before_kib'] / 1024:.0f} MiB during the runs",
          r2_rss <= bound / MIB + 64) if bound and r2_rss else ("not measured", None)),
        ("R2 grows about linearly with the matrix (slope 0.8-1.25)", between(scaling_slope(table_rows, "R2"), 0.8, 1.25)),
        ("W1 grows about linearly with the matrix (slope 0.8-1.25)", between(scaling_slope(table_rows, "W1"), 0.8, 1.25)),
    ]
    return [(text, measured, met) for text, (measured, met) in checks]


# --- the machine -------------------------------------------------------------------


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def loaded_hdf5_version():
    """Version of the HDF5 library this process has loaded for the engine (not
    the copy bundled with h5py, when the baseline's h5py is loaded too)."""
    with open("/proc/self/maps") as f:
        paths = {line.split()[-1] for line in f if "libhdf5" in line and "/" in line}
    for path in sorted(paths, key=lambda p: ("h5py" in p, p)):
        try:
            lib = ctypes.CDLL(path)
            major, minor, release = ctypes.c_uint(), ctypes.c_uint(), ctypes.c_uint()
            if lib.H5get_libversion(ctypes.byref(major), ctypes.byref(minor), ctypes.byref(release)) >= 0:
                return f"{major.value}.{minor.value}.{release.value}"
        except (OSError, AttributeError):
            continue
    return "unknown"


def engine_libdeflate_version():
    """The libdeflate the engine is built with, from its sources."""
    header = REPO / "third_party" / "libdeflate" / "libdeflate.h"
    try:
        match = re.search(r'LIBDEFLATE_VERSION_STRING\s+"([^"]+)"', header.read_text())
    except OSError:
        return "unknown"
    return match.group(1) if match else "unknown"


def git_commit():
    try:
        out = subprocess.run(["git", "-C", str(REPO), "describe", "--always", "--dirty"], capture_output=True, text=True)
        return out.stdout.strip() or "unknown"
    except OSError:
        return "unknown"


def machine_info(engine_tag, baseline_notes, floor_notes):
    import numpy

    return {
        "Date": datetime.datetime.now().astimezone().strftime("%Y-%m-%d %H:%M %Z"),
        "CPU": f"{cpu_model()}, {os.cpu_count()} cores",
        "Engine": f"commit {git_commit()}, module build {engine_tag}, HDF5 {loaded_hdf5_version()}",
        "Baseline": f"h5py {baseline_notes.get('h5py', '?')} with its bundled HDF5 {baseline_notes.get('hdf5', '?')}",
        "Floor codec": floor_notes.get("codec", "?"),
        "Engine codec": f"libdeflate {engine_libdeflate_version()} (built in)",
        "zlib": zlib.ZLIB_RUNTIME_VERSION,
        "Python / NumPy": f"{platform.python_version()} / {numpy.__version__}",
    }


def engine_machine_info(engine_tag):
    """machine_info for a bench that measures the engine alone."""
    return {k: v for k, v in machine_info(engine_tag, {}, {}).items() if k not in ("Baseline", "Floor codec")}


# --- output ------------------------------------------------------------------------

COLUMNS = ("Scenario", "What", "Engine", "Baseline", "Engine/baseline", "Floor", "Engine/floor",
           "Peak RSS engine", "Runs e/b/f")


def table_cells(row):
    e, b, f = (seconds(row.get(side)) for side in SIDES)
    rss = peak_rss_mib(row.get("engine"))
    grown = rss - row["engine"]["rss_before_kib"] / 1024 if rss else None
    runs = "/".join(str(len(row[side]["times"])) if row.get(side) and "times" in row[side] else "-" for side in SIDES)
    name = row["name"] + (" (!)" if row.get("mismatch") else "")
    return (name, row["text"], format_time(e), format_time(b), format_ratio(ratio(e, b)), format_time(f),
            format_ratio(ratio(e, f)), f"{rss:.0f} MiB (+{grown:.0f})" if rss else "-", runs)


def markdown_table(header, lines):
    out = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    out += ["| " + " | ".join(str(c) for c in line) + " |" for line in lines]
    return "\n".join(out)


def text_table(header, lines):
    widths = [max(len(str(c)) for c in column) for column in zip(header, *lines)]
    fmt = "  ".join(f"{{:<{w}}}" for w in widths)
    return "\n".join(fmt.format(*map(str, line)) for line in [header, ["-" * w for w in widths], *lines])


def rss_note(table_rows):
    restarted = all(row["engine"].get("peak_covers_runs_only") for row in table_rows if row.get("engine"))
    span = ("over its timed runs (restarted through /proc/self/clear_refs when they begin)" if restarted
            else "over the whole worker, start-up included (the peak could not be restarted here)")
    return (f"Peak RSS is the engine worker's VmHWM {span}; it includes the interpreter, NumPy, the calendar "
            "client, the market and the scenario's input. In brackets: how far it rose above the worker's RSS "
            "when the runs began.")


def matrix_lines(matrices):
    return [(f"{m['instruments']:,}", f"{m['shape'][0]:,} x {m['shape'][1]:,}", f"{m['chunks'][0]} x {m['chunks'][1]}",
             f"{m['file_mib']:.0f} MiB", f"{m['fill_seconds']:.0f} s" if m.get("fill_seconds") else "-")
            for m in matrices]


def summary(record):
    """The report as Markdown: run, machine, table, targets, notes."""
    rows, references = record["rows"], record["references"]
    checks = targets(rows, references)
    met = {True: "yes", False: "**no**", None: "-"}
    ref_lines = [f"{name.replace('_', ' ')}: {format_time(seconds(r))}" for name, r in references.items() if r]
    notes = record["notes"] + ([f"RW references (engine): {', '.join(ref_lines)}."] if ref_lines else [])
    parts = [
        f"## Benchmark: {record['title']}",
        "",
        "\n".join(f"- {k}: {v}" for k, v in record["machine"].items()),
        "",
        record["market"],
        "",
        markdown_table(("Instruments", "Matrix", "Chunks", "File", "Filled in"), matrix_lines(record["matrices"])),
        "",
        markdown_table(COLUMNS, [table_cells(row) for row in rows]),
        "",
        "Times are medians over the runs counted in the last column (engine/baseline/floor). "
        "Ratios are engine time over baseline or floor time: below 1 the engine is faster. " + rss_note(rows),
        "",
        "### Targets",
        "",
        markdown_table(("Target", "Measured", "Met"), [(t, m, met[ok]) for t, m, ok in checks]),
        "",
        "### Notes",
        "",
        "\n".join(f"- {note}" for note in notes),
        "",
    ]
    return "\n".join(parts)


def chart(path, title, table_rows):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import matplotlib.ticker

    names = [row["name"] for row in table_rows]
    fig, ax = plt.subplots(figsize=(max(8, 1.1 * len(names) + 2), 5.5))
    width = 0.27
    colours = {"engine": "#1f77b4", "baseline": "#ff7f0e", "floor": "#7f7f7f"}
    for i, side in enumerate(SIDES):
        values = [seconds(row.get(side)) or math.nan for row in table_rows]
        xs = [x + (i - 1) * width for x in range(len(names))]
        bars = ax.bar(xs, values, width, label=side, color=colours[side])
        ax.bar_label(bars, labels=[format_time(v) if not math.isnan(v) else "" for v in values],
                     fontsize=6, rotation=90, padding=2)
    ax.set_yscale("log")
    ax.yaxis.set_major_formatter(matplotlib.ticker.FuncFormatter(lambda v, _: format_time(v)))
    ax.yaxis.set_minor_formatter(matplotlib.ticker.NullFormatter())
    ax.set_ylabel("median time (log scale)")
    ax.set_xticks(range(len(names)), names, rotation=30, ha="right")
    ax.set_title(title, fontsize=10)
    ax.legend()
    ax.grid(axis="y", which="major", alpha=0.3)
    ax.margins(y=0.25)
    fig.tight_layout()
    fig.savefig(path, dpi=130)
    plt.close(fig)
