#!/usr/bin/env python3
"""Malformed factor files: truncated and byte-flipped copies of valid ones,
streamed through the engine in a worker process.

    PYTHONPATH=src python3 tools/fuzz_factor_files.py                 # full run, 2,000 variants
    PYTHONPATH=src python3 tools/fuzz_factor_files.py --variants 60   # the sample CI runs
    PYTHONPATH=src python3 tools/fuzz_factor_files.py --replay FILE   # one input, in a fresh process

The valid files are made by the engine (three layouts: a dense block of
dates, a matrix grown past its first columns with extra attributes, and one
whose 128 chunks need a chunk index of several nodes). Each variant is one of
them cut at an offset or with a few bytes changed, most of them in the
metadata (the bytes outside every chunk), the rest in the compressed chunks.
Every variant goes through:

  read     get_h5's read path (no pauses) and get_factor_value over every
           instrument and the whole calendar, with and without check
  put      put_factor_value of one date on a copy, then close
  rewrite  rewrite_factor on another copy; when it fails, the copy must hold
           exactly its old bytes again and no temporary may be left behind

Every outcome must be a Python exception or a completed operation. A worker
killed by a signal is a crash; one that does not answer within --timeout
seconds is a hang (it is killed and a fresh worker takes the next variant).
A worker whose variant left an HDF5 identifier open exits at once, so that a
crash in HDF5's exit handler is charged to that variant as well.
"""

import argparse
import collections
import json
import os
import queue
import random
import shutil
import subprocess
import sys
import tempfile
import threading
import time

FULL_RUN_VARIANTS = 2000
CALENDAR = [20000101 + i for i in range(400)]  # column j is "date" 20000101 + j
WORKER_MEMORY_LIMIT = 4 << 30  # a corrupt shape gets MemoryError, not the machine's memory
OPERATIONS = ("read", "put", "rewrite")
HERE = os.path.dirname(os.path.abspath(__file__))


# ---------------------------------------------------------------------------
# The worker: runs the engine, answers one JSON line per request.

class Worker:
    def __init__(self, protocol):
        import logging
        import resource

        import numpy as np

        if "libasan" not in os.environ.get("LD_PRELOAD", ""):  # ASan maps terabytes of shadow memory
            resource.setrlimit(resource.RLIMIT_AS, (WORKER_MEMORY_LIMIT, WORKER_MEMORY_LIMIT))
        # The engine logs every failed read attempt at ERROR; without a handler
        # of its own the root logger would print them all.
        logging.getLogger().addHandler(logging.NullHandler())
        import quorbel.detail as detail
        from quorbel import _diagnostics

        self.np = np
        self.detail = detail
        self.diagnostics = _diagnostics
        self.protocol = protocol
        self.reference = {}  # base name -> its rows as the engine reads the valid file
        detail.get_all_trading_dates = lambda: CALENDAR
        detail.TRADING_DATES = None
        # The body of get_h5 without the retry wrapper's 1-second pauses.
        self.get_h5 = detail.get_h5.__wrapped__

    def say(self, message):
        self.protocol.write(json.dumps(message) + "\n")
        self.protocol.flush()

    def use_instruments(self, rows):
        index = {f"I{r}": r for r in range(rows)}
        self.detail._get_all_instrument_index = lambda: index
        return list(index)

    # --- the valid files ---------------------------------------------------

    def make_bases(self, directory):
        np, detail = self.np, self.detail
        from types import SimpleNamespace as V

        rng = np.random.default_rng(20240611)
        bases = {}

        def values(ids, density=1.0):
            chosen = [k for k in ids if rng.random() < density]
            column = rng.normal(size=len(chosen))
            column[rng.random(len(chosen)) < 0.1] = np.nan
            return [V(order_book_id=k, value=float(v)) for k, v in zip(chosen, column)]

        def made(name, shape, rows_listed, write):
            path = os.path.join(directory, name + ".h5")
            ids = self.use_instruments(rows_listed)
            with detail.create_new_factor_h5(path, shape) as h5:
                write(h5, ids)
            with detail.get_h5(path) as h5:
                data = h5["data"]
                bases[name] = {"path": path, "rows": rows_listed, "shape": tuple(data.shape),
                               "cursor": int(data.attrs["cursor_col"])}

        def dense(h5, ids):
            detail.put_factor_packs(h5, [V(date=CALENDAR[j], values=values(ids)) for j in range(12)])

        def grown(h5, ids):
            for j in (0, 3, 9, 17, 29):
                detail.put_factor_value(h5, CALENDAR[j], values(ids, 0.5))
            detail.put_factor_value(h5, CALENDAR[41], values(ids, 0.5))  # past the 30 columns: grows
            for j in range(47, 275, 19):
                detail.put_factor_value(h5, CALENDAR[j], values(ids, 0.3))
            h5["data"].attrs["note"] = "made by the fuzzer"
            h5["data"].attrs["weights"] = np.array([0.25, 0.5, 0.25])

        def many_chunks(h5, ids):
            for j in range(0, 300, 38):
                detail.put_factor_value(h5, CALENDAR[j], values(ids, 1 / 13))

        made("dense", (300, 60), 300, dense)
        made("grown", (200, 30), 200, grown)
        made("many-chunks", (2000, 300), 2000, many_chunks)
        return bases

    # --- the three operations ------------------------------------------------

    def read_rows(self, path, ids, check):
        h5 = self.get_h5(path, False, 0, 1)
        if h5 is None:
            raise FileNotFoundError(path)
        try:
            return dict(self.detail.get_factor_value(h5, ids, CALENDAR[0], CALENDAR[-1], check))
        finally:
            h5.close()

    def same_rows(self, a, b):
        np = self.np
        return a.keys() == b.keys() and all(np.array_equal(a[k], b[k], equal_nan=True) for k in a)

    def op_read(self, request):
        ids = self.use_instruments(request["rows"])
        reference = self.reference.get(request["base"])
        if reference is None:
            reference = self.reference[request["base"]] = (
                self.read_rows(request["base_path"], ids, False), self.read_rows(request["base_path"], ids, True))
        rows = self.read_rows(request["path"], ids, False)
        checked = self.read_rows(request["path"], ids, True)
        same = self.same_rows(rows, reference[0]) and self.same_rows(checked, reference[1])
        return "same values" if same else "other values"

    def op_put(self, request):
        from types import SimpleNamespace as V

        ids = self.use_instruments(request["rows"])
        copy = request["path"] + ".put"
        shutil.copyfile(request["path"], copy)
        try:
            h5 = self.get_h5(copy, True, 0, 1)
            try:
                values = [V(order_book_id=k, value=float(i)) for i, k in enumerate(ids)]
                self.detail.put_factor_value(h5, CALENDAR[request["cursor"] + 1], values)
            finally:
                h5.close()
            return "written"
        finally:
            os.remove(copy)

    def op_rewrite(self, request):
        self.use_instruments(request["rows"])
        directory = tempfile.mkdtemp(dir=os.path.dirname(request["path"]))
        copy = os.path.join(directory, "factor.h5")
        shutil.copyfile(request["path"], copy)
        with open(copy, "rb") as f:
            before = f.read()
        try:
            self.detail.rewrite_factor(copy)
            return "rewritten"
        except Exception:
            # A failed rewrite must leave the old file as it was, and nothing else.
            with open(copy, "rb") as f:
                after = f.read()
            if after != before or os.listdir(directory) != ["factor.h5"]:
                raise AssertionError("the failed rewrite did not leave the old file as it was")
            raise
        finally:
            shutil.rmtree(directory)

    def run_variant(self, request):
        outcomes = {}
        for name in OPERATIONS:
            self.say({"stage": name})
            try:
                outcomes[name] = getattr(self, "op_" + name)(request)
            except AssertionError as e:
                outcomes[name] = "FAILED: " + str(e)
            except Exception as e:  # noqa: BLE001 - every exception kind is an outcome here
                outcomes[name] = type(e).__name__
        return outcomes

    def serve(self, requests):
        for line in requests:
            request = json.loads(line)
            if request["cmd"] == "bases":
                self.say({"bases": self.make_bases(request["dir"])})
                continue
            outcomes = self.run_variant(request)
            left_open = self.diagnostics.open_hdf5_objects()
            self.say({"outcomes": outcomes, "left_open": left_open})
            if left_open:
                # Exiting now lets HDF5's exit handler meet what was left
                # open, and charges whatever it does to this variant.
                sys.exit(0)


def worker_main():
    # The protocol gets the original stdout; anything the libraries print goes
    # to stderr instead of into the protocol.
    protocol = os.fdopen(os.dup(1), "w")
    os.dup2(2, 1)
    Worker(protocol).serve(sys.stdin)


# ---------------------------------------------------------------------------
# The harness: makes the variants, drives workers, counts outcomes.

class WorkerDied(Exception):
    def __init__(self, kind, stage, returncode):
        super().__init__(kind)
        self.kind, self.stage, self.returncode = kind, stage, returncode


# AddressSanitizer's operator new ends the process where the plain one throws
# std::bad_alloc (MemoryError in Python); under ASan that death is the
# MemoryError a normal build gives, not a crash.
ASAN_OUT_OF_MEMORY = (b"AddressSanitizer: out of memory", b"AddressSanitizer: out-of-memory",
                      b"AddressSanitizer: requested allocation size", b"allocator is out of memory")


class WorkerProcess:
    def __init__(self, log_path):
        self.log_path = log_path
        self.log_start = os.path.getsize(log_path) if os.path.exists(log_path) else 0
        self.log = open(log_path, "ab")
        self.process = subprocess.Popen(
            [sys.executable, os.path.abspath(__file__), "--worker"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self.log, text=True, bufsize=1)
        self.lines = queue.Queue()
        threading.Thread(target=self._pump, daemon=True).start()

    def _pump(self):
        for line in self.process.stdout:
            self.lines.put(line)
        self.lines.put(None)

    def request(self, message, timeout):
        """The final answer to `message`; WorkerDied when the worker crashes,
        exits or does not answer in time."""
        self.process.stdin.write(json.dumps(message) + "\n")
        self.process.stdin.flush()
        deadline = time.monotonic() + timeout
        stage = "start"
        while True:
            try:
                line = self.lines.get(timeout=max(0.0, deadline - time.monotonic()))
            except queue.Empty:
                self.kill()
                raise WorkerDied("hang", stage, None) from None
            if line is None:
                code = self.process.wait()
                raise WorkerDied("crash" if code < 0 else "exit", stage, code)
            answer = json.loads(line)
            if "stage" in answer:
                stage = answer["stage"]
                continue
            return answer

    def finish_after_leak(self, timeout):
        """The exit code of a worker that exits after a variant left something open."""
        try:
            return self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            return None

    def ran_out_of_memory_under_asan(self):
        with open(self.log_path, "rb") as f:
            f.seek(self.log_start)
            text = f.read()
        return any(marker in text for marker in ASAN_OUT_OF_MEMORY)

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()  # our own child, by its handle
        self.process.wait()

    def close(self):
        if self.process.poll() is None:
            self.process.stdin.close()
            try:
                self.process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.kill()
        self.log.close()


def chunk_map(path):
    """(metadata byte ranges, chunk byte ranges) of a valid factor file."""
    size = os.path.getsize(path)
    try:
        import h5py
    except ImportError:
        return [(0, size)], []
    chunks = []
    with h5py.File(path, "r") as f:
        dsid = f["data"].id
        for i in range(dsid.get_num_chunks()):
            info = dsid.get_chunk_info(i)
            chunks.append((info.byte_offset, info.byte_offset + info.size))
    chunks.sort()
    metadata, at = [], 0
    for start, end in chunks:
        if start > at:
            metadata.append((at, start))
        at = max(at, end)
    if at < size:
        metadata.append((at, size))
    return metadata, chunks


def why_other_values(path, base_path):
    """What h5py (its own, newer HDF5) sees changed in a variant that the
    engine read to completion with values other than the valid file's."""
    try:
        import h5py
        import numpy as np
    except ImportError:
        return "not diagnosed (no h5py)"
    try:
        with h5py.File(base_path, "r") as f0, h5py.File(path, "r") as f1:
            a, b = f0["data"], f1["data"]
            if a.shape != b.shape:
                return "shape changed"
            if a.attrs.get("cursor_col") != b.attrs.get("cursor_col"):
                return "cursor_col changed or lost"
            if not (a.fillvalue == b.fillvalue or (np.isnan(a.fillvalue) and np.isnan(b.fillvalue))):
                return "fill value changed"
            if not np.array_equal(a[...], b[...], equal_nan=True):
                return "cells changed (h5py reads them the same way)"
            return "unexplained"
    except Exception as e:  # noqa: BLE001 - the newer library's verdict is the diagnosis
        text = str(e)
        if "bad coordinate offset" in text:
            return "chunk index key damaged (HDF5 2.0 refuses: bad coordinate offset)"
        return "HDF5 2.0 refuses the file: " + text.split("(")[-1].rstrip(")")[:60]


def position_in(ranges, rng):
    total = sum(e - s for s, e in ranges)
    pick = rng.randrange(total)
    for s, e in ranges:
        if pick < e - s:
            return s + pick
        pick -= e - s
    raise AssertionError("unreachable")


def make_variant(number, seed, bases, layouts):
    """Variant `number`: (base name, description, bytes). The same seed gives
    the same variants."""
    rng = random.Random(f"{seed}:{number}")
    name = sorted(bases)[number % len(bases)]
    with open(bases[name]["path"], "rb") as f:
        data = bytearray(f.read())
    metadata, chunks = layouts[name]
    if rng.random() < 0.3:
        # Cut anywhere, but more often inside the metadata, where a cut
        # changes how the rest is understood.
        offset = position_in(metadata, rng) if rng.random() < 0.5 else rng.randrange(len(data))
        return name, f"truncated at {offset} of {len(data)}", bytes(data[:offset])
    changes = []
    for _ in range(rng.choice((1, 1, 1, 2, 3, 4))):
        ranges = metadata if (rng.random() < 0.7 or not chunks) else chunks
        at = position_in(ranges, rng)
        if rng.random() < 0.5:
            data[at] ^= 1 << rng.randrange(8)  # one bit
        else:
            data[at] = rng.choice((0x00, 0xFF, rng.randrange(256)))
        changes.append(at)
    return name, "changed bytes at " + ",".join(map(str, changes)), bytes(data)


def fuzz(variants, seed, timeout, save_crashes=None, progress=None):
    """Runs `variants` variants; returns the summary as a dict."""
    workdir = tempfile.mkdtemp(prefix="quorbel-fuzz-")
    log_path = os.path.join(workdir, "worker.log")
    summary = {"variants": variants, "seed": seed, "crashes": 0, "hangs": 0, "failures": 0,
               "outcomes": {op: collections.Counter() for op in OPERATIONS},
               "other_values": collections.Counter(),
               "left_open": 0, "incidents": []}
    worker = None
    try:
        worker = WorkerProcess(log_path)
        answer = worker.request({"cmd": "bases", "dir": workdir}, timeout=300)
        bases = answer["bases"]
        layouts = {name: chunk_map(base["path"]) for name, base in bases.items()}
        for number in range(variants):
            name, description, content = make_variant(number, seed, bases, layouts)
            path = os.path.join(workdir, "variant.h5")
            with open(path, "wb") as f:
                f.write(content)
            base = bases[name]
            request = {"cmd": "variant", "path": path, "base": name, "base_path": base["path"],
                       "rows": base["rows"], "cursor": base["cursor"]}
            if worker is None:
                worker = WorkerProcess(log_path)
            incident = None
            try:
                answer = worker.request(request, timeout)
                for op, outcome in answer["outcomes"].items():
                    summary["outcomes"][op][outcome] += 1
                if answer["outcomes"]["read"] == "other values":
                    summary["other_values"][why_other_values(path, base["path"])] += 1
                    if outcome.startswith("FAILED"):
                        summary["failures"] += 1
                        incident = {"kind": "failure", "stage": op, "detail": outcome}
                if answer["left_open"]:
                    summary["left_open"] += 1
                    code = worker.finish_after_leak(timeout)
                    worker.close()
                    worker = None
                    if code is None or code < 0:
                        died = "hang" if code is None else "crash"
                        summary["crashes" if died == "crash" else "hangs"] += 1
                        incident = {"kind": died, "stage": "exit", "returncode": code}
            except WorkerDied as died:
                worker.close()
                out_of_memory = died.kind != "hang" and worker.ran_out_of_memory_under_asan()
                worker = None
                if out_of_memory:
                    summary["outcomes"][died.stage]["MemoryError (ASan ends the process)"] += 1
                else:
                    kind = {"exit": "crash"}.get(died.kind, died.kind)  # any unrequested exit counts
                    summary["crashes" if kind == "crash" else "hangs"] += 1
                    incident = {"kind": kind, "stage": died.stage, "returncode": died.returncode}
            if incident:
                incident.update(variant=number, base=name, change=description)
                if save_crashes and incident["kind"] in ("crash", "hang"):
                    incident["saved_as"] = save_input(save_crashes, number, seed, name, incident, content)
                summary["incidents"].append(incident)
            if progress and (number + 1) % 100 == 0:
                progress(f"{number + 1} variants, {summary['crashes']} crashes, {summary['hangs']} hangs")
    finally:
        if worker is not None:
            worker.close()
        shutil.rmtree(workdir, ignore_errors=True)
    summary["outcomes"] = {op: dict(sorted(c.items())) for op, c in summary["outcomes"].items()}
    summary["other_values"] = dict(summary["other_values"].most_common())
    return summary


def save_input(directory, number, seed, base, incident, content):
    os.makedirs(directory, exist_ok=True)
    name = f"seed{seed}-variant{number}-{base}-{incident['kind']}-{incident['stage']}.h5"
    with open(os.path.join(directory, name), "wb") as f:
        f.write(content)
    return os.path.join(directory, name)


def replay(path, base, timeout):
    """Runs the operations on one saved input in a fresh worker; returns the answer."""
    workdir = tempfile.mkdtemp(prefix="quorbel-replay-")
    worker = WorkerProcess(os.path.join(workdir, "worker.log"))
    try:
        bases = worker.request({"cmd": "bases", "dir": workdir}, timeout=300)["bases"]
        copy = os.path.join(workdir, "variant.h5")
        shutil.copyfile(path, copy)
        b = bases[base]
        try:
            answer = worker.request({"cmd": "variant", "path": copy, "base": base, "base_path": b["path"],
                                     "rows": b["rows"], "cursor": b["cursor"]}, timeout)
            if answer["left_open"]:
                answer["exit_code"] = worker.finish_after_leak(timeout)
            return answer
        except WorkerDied as died:
            return {"died": died.kind, "stage": died.stage, "returncode": died.returncode}
    finally:
        worker.close()
        with open(os.path.join(workdir, "worker.log"), "rb") as f:
            sys.stderr.write(f.read().decode(errors="replace")[-4000:])
        shutil.rmtree(workdir, ignore_errors=True)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--variants", type=int, default=FULL_RUN_VARIANTS)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--timeout", type=float, default=60.0, help="seconds one variant may take")
    parser.add_argument("--save-crashes", metavar="DIR", help="keep the inputs of crashes and hangs here")
    parser.add_argument("--json", metavar="FILE", help="write the summary as JSON")
    parser.add_argument("--replay", metavar="FILE", help="run one saved input and print the outcome")
    parser.add_argument("--base", default=None, help="with --replay: the valid file it was made from "
                                                     "(dense, grown, many-chunks; read from the name if left out)")
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.worker:
        return worker_main()
    if args.replay:
        base = args.base or next(b for b in ("many-chunks", "dense", "grown") if b in os.path.basename(args.replay))
        answer = replay(args.replay, base, args.timeout)
        print(json.dumps(answer, indent=2))
        return 1 if "died" in answer or (answer.get("exit_code") or 0) < 0 else 0
    summary = fuzz(args.variants, args.seed, args.timeout, args.save_crashes,
                   progress=lambda text: print(text, file=sys.stderr, flush=True))
    text = json.dumps(summary, indent=2)
    if args.json:
        with open(args.json, "w") as f:
            f.write(text + "\n")
    print(text)
    return 1 if summary["crashes"] or summary["hangs"] or summary["failures"] else 0


if __name__ == "__main__":
    sys.exit(main())
