"""The writer whose system calls the explorer records: runs a scenario's engine
calls in order and marks each on stdout (one write per mark, so that the
trace shows which calls had returned at any moment).

    python3 writer.py JOB.json

JOB.json: ``root``, ``calendar``, ``listed``, ``steps`` (a ``packs`` step may
carry a ``round``: see values_for) and ``mode``:
``prepare`` and ``record`` only run the steps; ``reference`` also reads every
factor file with h5py after each step (and, before a batch, the state after
each of its first dates) into ``reference_dir``.
"""

import json
import os
import shutil
import sys
import types
import zlib

import numpy as np


def values_for(name, column, listed, round=0):
    """The values a scenario writes into factor `name` at `column`: the same in
    every run, different per factor, with a few instruments without a value.
    A later `round` gives other values, so that a date written again can be
    told from the one it replaces."""
    seed = [column, zlib.crc32(name.encode())] + ([round] if round else [])
    rng = np.random.default_rng(seed)
    values = rng.normal(size=listed)
    values[rng.random(listed) < 0.03] = np.nan
    return values


def items(name, column, listed, round=0):
    return [types.SimpleNamespace(order_book_id=f"I{i}", value=float(v))
            for i, v in enumerate(values_for(name, column, listed, round))]


def packs(name, columns, calendar, listed, round=0):
    return [types.SimpleNamespace(date=calendar[c], values=items(name, c, listed, round)) for c in columns]


class Writer:
    def __init__(self, job):
        import quorbel.detail as detail

        self.detail = detail
        self.job = job
        self.root = job["root"]
        self.calendar = job["calendar"]
        self.listed = job["listed"]
        detail.get_all_trading_dates = lambda: self.calendar
        detail._get_all_instrument_index = lambda: {f"I{i}": i for i in range(self.listed)}
        self.handles = {}

    def path(self, name):
        return os.path.join(self.root, name)

    def run(self, step):
        d, op, name = self.detail, step["op"], step.get("file")
        if op == "create":
            self.handles[name] = d.create_new_factor_h5(self.path(name), tuple(step["shape"]))
        elif op == "open":
            self.handles[name] = d.get_h5(self.path(name), True)
        elif op == "close":
            self.handles.pop(name).close()
        elif op == "put":
            d.put_factor_value(self.handles[name], self.calendar[step["column"]],
                               items(name, step["column"], self.listed))
        elif op == "packs":
            d.put_factor_packs(self.handles[name], packs(name, step["columns"], self.calendar, self.listed,
                                                         step.get("round", 0)))
        elif op == "enable_history":
            d._enable_history(self.handles[name])
        elif op == "prune_history":
            d._prune_history(self.handles[name], 2**62)
        elif op == "rewrite":
            d.rewrite_factor(self.path(name))
        elif op == "remove":
            d.remove_factor(self.path(name))
        elif op == "library":
            import quorbel

            library = quorbel.FactorLibrary(self.root)
            library.write(self.calendar[step["column"]],
                          {f[:-3]: items(f, step["column"], self.listed) for f in step["files"]})
        else:
            raise ValueError(f"unknown step {op!r} in {self.job['steps']}")


def read_with_h5py(path):
    """(matrix, cursor_col or None), or None when nothing is at `path`."""
    import h5py

    if not os.path.exists(path):
        return None
    with h5py.File(path, "r", locking=False) as f:
        data = f["data"]
        cursor = int(data.attrs["cursor_col"]) if "cursor_col" in data.attrs else None
        return data[...], cursor


def history_records(path):
    """Records of the history beside `path` (None: it has none)."""
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests"))
    import history_reader

    history = path + ".history"
    return len(history_reader.read_history(history).records) if os.path.exists(history) else None


def save_snapshot(out_dir, tag, files, root):
    cursors, records = {}, {}
    for name in files:
        read = read_with_h5py(os.path.join(root, name))
        if read is not None:
            np.save(os.path.join(out_dir, f"{tag}-{name}.npy"), read[0])
            cursors[name] = read[1]
            records[name] = history_records(os.path.join(root, name))
    with open(os.path.join(out_dir, f"{tag}.json"), "w") as f:
        json.dump(cursors, f)
    with open(os.path.join(out_dir, f"{tag}.history.json"), "w") as f:
        json.dump(records, f)


def batch_prefixes(writer, step, index, out_dir):
    """The file after each of the batch's first dates, written on copies."""
    name = step["file"]
    for count in range(1, len(step["columns"])):
        scratch = os.path.join(out_dir, f"prefix-{index}-{count}")
        os.makedirs(scratch)
        shutil.copyfile(writer.path(name), os.path.join(scratch, name))
        handle = writer.detail.get_h5(os.path.join(scratch, name), True)
        writer.detail.put_factor_packs(handle, packs(name, step["columns"][:count], writer.calendar, writer.listed,
                                                     step.get("round", 0)))
        handle.close()
        save_snapshot(out_dir, f"{index}.{count}", [name], scratch)
        shutil.rmtree(scratch)


def main(job_path):
    with open(job_path) as f:
        job = json.load(f)
    if job.get("locking"):
        os.environ["QUORBEL_FILE_LOCKING"] = job["locking"]
    writer = Writer(job)
    reference = job["mode"] == "reference"
    if reference:
        save_snapshot(job["reference_dir"], "0", job["files"], writer.root)
    for index, step in enumerate(job["steps"], 1):
        if reference and step["op"] == "packs":
            batch_prefixes(writer, step, index, job["reference_dir"])
        os.write(1, f"QXMARK {index} start\n".encode())
        writer.run(step)
        os.write(1, f"QXMARK {index} returned\n".encode())
        if reference:
            save_snapshot(job["reference_dir"], str(index), job["files"], writer.root)


if __name__ == "__main__":
    main(sys.argv[1])
