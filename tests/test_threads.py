"""Python threads: other threads keep running during HDF5 and compression
work; threads on different files and on one read-only file give the results
of one thread; misuse across threads raises instead of crashing."""

import sys
import threading
import time
import types

import numpy as np
import pytest

from conftest import run_python

V = types.SimpleNamespace


class Counter:
    """A thread that counts while it gets the GIL. It sleeps after every step,
    so it takes the GIL only when another thread lets go of it."""

    def __init__(self):
        self.count = 0
        self.running = True
        self.thread = threading.Thread(target=self.run, daemon=True)

    def run(self):
        while self.running:
            self.count += 1
            time.sleep(0.0005)

    def __enter__(self):
        self.thread.start()
        while self.count == 0:
            time.sleep(0.001)
        return self

    def __exit__(self, *exc):
        self.running = False
        self.thread.join()


def counted_during(call):
    """How far the counter thread got while `call` ran in this thread.

    With a switch interval of minutes the interpreter never takes the GIL
    from a thread that runs Python code or holds the GIL in C code: the
    counter moves only while this thread has released the GIL."""
    with Counter() as counter:
        interval = sys.getswitchinterval()
        sys.setswitchinterval(300)
        try:
            before = counter.count
            call()
            return counter.count - before
        finally:
            sys.setswitchinterval(interval)


ROWS, DATES = 3000, 40


@pytest.fixture
def big_factor(detail, market, tmp_path):
    """A factor file of 3,000 instruments with 40 dates written, and its packs."""
    market.set_calendar(range(20000101, 20000101 + DATES))
    ids = [f"I{i}" for i in range(ROWS)]
    market.set_instruments({oid: row for row, oid in enumerate(ids)})
    rng = np.random.default_rng(7)
    packs = [V(date=20000101 + j, values=[V(order_book_id=oid, value=v) for oid, v in zip(ids, rng.random(ROWS))])
             for j in range(DATES)]
    path = str(tmp_path / "big.h5")
    with detail.get_h5(path, True) as h5:
        detail.put_factor_packs(h5, packs)
    return V(path=path, ids=ids, packs=packs)


def write_batch(detail, factor):
    with detail.get_h5(factor.path, True) as h5:
        detail.put_factor_packs(h5, factor.packs)


def stream_full_history(detail, factor):
    with detail.get_h5(factor.path) as h5:
        rows = list(detail.get_factor_value(h5, factor.ids, 20000101, 20000101 + DATES))
    assert len(rows) == ROWS and len(rows[0][1]) == DATES


WORK = {
    "put_factor_packs": write_batch,
    "full-history stream": stream_full_history,
    "rewrite_factor": lambda detail, factor: detail.rewrite_factor(factor.path),
}


@pytest.mark.parametrize("work", list(WORK))
def test_other_threads_run_during_engine_work(detail, big_factor, work):
    assert counted_during(lambda: WORK[work](detail, big_factor)) > 0


def test_the_counter_stands_still_while_the_gil_is_held():
    # The measure itself: C code that keeps the GIL lets the counter do nothing.
    assert counted_during(lambda: sum(range(10**7))) == 0


# ---- several threads: the results of one thread ------------------------------

SETUP = """
    import os, sys, threading, types
    from concurrent.futures import ThreadPoolExecutor
    import numpy as np
    import quorbel.detail as d

    V = types.SimpleNamespace
    CALENDAR = list(range(20000101, 20000161))
    IDS = [f"I{i}" for i in range(600)]
    d.get_all_trading_dates = lambda: CALENDAR
    d._get_all_instrument_index = lambda: {oid: row for row, oid in enumerate(IDS)}
    DIRECTORY = "@DIRECTORY@"

    def packs(seed, dates):
        rng = np.random.default_rng(seed)
        return [V(date=CALENDAR[j], values=[V(order_book_id=o, value=v) for o, v in zip(IDS, rng.random(len(IDS)))])
                for j in dates]

    def history(h5, check=False):
        rows = dict(d.get_factor_value(h5, IDS + ["UNLISTED"], CALENDAR[0], CALENDAR[-1], check))
        return np.array([rows[o] for o in IDS])

    def run_threads(job, arguments):
        with ThreadPoolExecutor(len(arguments)) as pool:
            futures = [pool.submit(job, a) for a in arguments]
            return [f.result(timeout=120) for f in futures]  # a deadlock fails here
"""


def child(tmp_path):
    return SETUP.replace('"@DIRECTORY@"', repr(str(tmp_path)))


def test_threads_on_different_files_match_one_thread(tmp_path):
    proc = run_python(child(tmp_path) + """
    def job(key):
        seed, mode = key
        path = os.path.join(DIRECTORY, f"{mode}-{seed}.h5")
        with d.get_h5(path, True) as h5:
            d.put_factor_packs(h5, packs(seed, range(0, 40, 2)))
            for pack in packs(seed + 100, [41, 45, 3]):
                d.put_factor_value(h5, pack.date, pack.values)
            h5["data"].attrs["note"] = f"factor {seed}"
        written = d.get_h5(path)
        with written:
            before = history(written, True)
        d.rewrite_factor(path)
        with d.get_h5(path) as h5:
            return before, history(h5, True), h5["data"].shape, h5["data"].attrs["note"]

    keys = range(6)
    alone = [job((k, "alone")) for k in keys]
    together = run_threads(job, [(k, "threads") for k in keys])
    for (b1, a1, s1, n1), (b2, a2, s2, n2) in zip(alone, together):
        assert s1 == s2 and n1 == n2
        np.testing.assert_array_equal(b1, b2)
        np.testing.assert_array_equal(a1, a2)
        np.testing.assert_array_equal(a1, b1)
    print("same", len(together), together[0][0].shape, int(np.isfinite(together[0][0]).sum()))
    """, timeout=300)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "same 6 (600, 46) 13800"


def test_threads_on_one_read_only_file_match_one_thread(tmp_path):
    proc = run_python(child(tmp_path) + """
    path = os.path.join(DIRECTORY, "shared.h5")
    with d.get_h5(path, True) as h5:
        d.put_factor_packs(h5, packs(1, range(0, 60, 3)))

    def reads(h5):
        data = h5["data"]
        return (history(h5), history(h5, True), data[:, 3], data[5, :], data.shape, data.attrs["cursor_col"],
                "data" in h5, h5.keys())

    def same(a, b):
        assert len(a) == len(b)
        for x, y in zip(a, b):
            np.testing.assert_array_equal(x, y)

    shared = d.get_h5(path)
    expected = reads(shared)

    def on_shared_handle(_):
        return [reads(shared) for _ in range(4)]

    def on_own_handles(_):
        results = []
        for _ in range(4):
            with d.get_h5(path) as h5:
                results.append(reads(h5))
        return results

    for job in (on_shared_handle, on_own_handles):
        for results in run_threads(job, range(6)):
            for result in results:
                same(result, expected)
    mixed = run_threads(lambda k: (on_shared_handle if k % 2 else on_own_handles)(k), range(6))
    for results in mixed:
        for result in results:
            same(result, expected)
    shared.close()
    print("same", int(np.isfinite(expected[0]).sum()))
    """, timeout=300)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "same 12000"


def test_misuse_across_threads_raises_instead_of_crashing(tmp_path):
    # One handle is the caller's to share or not; sharing it wrongly must end
    # in exceptions, never in a crash or a hang.
    proc = run_python(child(tmp_path) + """
    import time
    path = os.path.join(DIRECTORY, "misused.h5")
    with d.get_h5(path, True) as h5:
        d.put_factor_packs(h5, packs(2, range(30)))
    kinds, unexpected = set(), []

    def keep_errors(work):
        def run(_):
            try:
                work()
            except (ValueError, OSError) as error:
                kinds.add(type(error).__name__)
            except BaseException as error:
                unexpected.append(repr(error))
        return run

    def drain(h5):
        for _ in range(50):
            for _ in d.get_factor_value(h5, IDS, CALENDAR[0], CALENDAR[-1]):
                pass

    # A read-only handle closed while other threads stream from it.
    h5 = d.get_h5(path)
    readers = threading.Thread(target=lambda: run_threads(keep_errors(lambda: drain(h5)), range(4)))
    readers.start()
    time.sleep(0.05)
    h5.close()
    readers.join(120)

    # One stream pulled from several threads at once.
    with d.get_h5(path) as h5:
        stream = d.get_factor_value(h5, IDS * 4, CALENDAR[0], CALENDAR[-1])
        pulled = []
        run_threads(keep_errors(lambda: pulled.extend(oid for oid, _ in stream)), range(4))
        assert sorted(pulled) == sorted(IDS * 4)

    # Two threads writing through one handle while a third closes it.
    h5 = d.get_h5(path, True)
    def write(seed):
        for pack in packs(seed, range(30, 60)):
            d.put_factor_value(h5, pack.date, pack.values)
    writers = threading.Thread(target=lambda: run_threads(keep_errors(lambda: write(3)), range(2)))
    writers.start()
    time.sleep(0.05)
    h5.close()
    writers.join(120)

    assert not readers.is_alive() and not writers.is_alive()
    with d.get_h5(path) as h5:  # the file still opens and reads
        assert history(h5).shape == (600, 60)
    print(sorted(kinds), unexpected)
    """, timeout=300)
    assert proc.returncode == 0, proc.stderr
    kinds, unexpected = proc.stdout.strip().split("] ")
    assert unexpected == "[]" and set(eval(kinds + "]")) <= {"OSError", "ValueError"}, proc.stdout


def test_closing_a_handle_in_use_by_writers_and_readers(tmp_path):
    # Per round: two writers and two readers on one read-write handle, closed
    # by the main thread at a random moment. Each thread ends well or with the
    # ValueError of a closed handle, and every date a writer saw written is in
    # the file whole, with no unfinished write left behind.
    proc = run_python(child(tmp_path) + """
    import random, time
    import h5py

    ROUNDS = 60
    VALUES = {j: packs(j, [j])[0].values for j in range(len(CALENDAR))}
    EXPECTED = {j: np.array([v.value for v in VALUES[j]]) for j in VALUES}
    problems, written_total, closed_total = [], 0, 0

    for round_number in range(ROUNDS):
        path = os.path.join(DIRECTORY, f"round-{round_number}.h5")
        with d.get_h5(path, True) as h5:
            d.put_factor_packs(h5, [V(date=CALENDAR[j], values=VALUES[j]) for j in range(5)])
        h5 = d.get_h5(path, True)
        written, outcomes = list(range(5)), []
        start = threading.Barrier(5)

        def one_date_at_a_time():
            for j in range(5, 30):
                d.put_factor_value(h5, CALENDAR[j], VALUES[j])
                written.append(j)

        def batches():
            for first in range(30, 60, 3):
                d.put_factor_packs(h5, [V(date=CALENDAR[j], values=VALUES[j]) for j in range(first, first + 3)])
                written.extend(range(first, first + 3))

        def streams():
            for _ in range(20):
                for oid, row in d.get_factor_value(h5, IDS, CALENDAR[0], CALENDAR[-1]):
                    assert len(row) == len(CALENDAR)

        def blocks():
            for _ in range(200):
                np.testing.assert_array_equal(h5["data"][:len(IDS), 2], EXPECTED[2])
                assert h5["data"][7, :].shape[0] >= len(CALENDAR)

        def outcome_of(work):
            def run():
                start.wait()
                try:
                    work()
                    outcomes.append("done")
                except ValueError as error:
                    outcomes.append("closed" if "factor file is closed" in str(error) else repr(error))
                except BaseException as error:
                    outcomes.append(repr(error))
            return run

        threads = [threading.Thread(target=outcome_of(w)) for w in (one_date_at_a_time, batches, streams, blocks)]
        for t in threads:
            t.start()
        start.wait()
        time.sleep(random.uniform(0, 0.02))
        h5.close()
        for t in threads:
            t.join(120)
        if any(t.is_alive() for t in threads):
            problems.append(f"round {round_number}: a thread hangs")
            break
        problems += [f"round {round_number}: {o}" for o in outcomes if o not in ("done", "closed")]
        if os.path.exists(os.path.join(DIRECTORY, f".round-{round_number}.h5.journal")):
            problems.append(f"round {round_number}: a write was left unfinished")
        with h5py.File(path, "r") as f:
            data = f["data"]
            for j in written:
                if not np.array_equal(data[:len(IDS), j], EXPECTED[j]):
                    problems.append(f"round {round_number}: date {j} is not whole")
            if data.attrs["cursor_col"] < max(written):
                problems.append(f"round {round_number}: cursor_col {data.attrs['cursor_col']} < {max(written)}")
        written_total += len(written) - 5
        closed_total += outcomes.count("closed")
    print(problems, written_total, closed_total)
    """, timeout=900)
    assert proc.returncode == 0, proc.stderr[-3000:]
    problems = proc.stdout.strip().rsplit("] ", 1)[0] + "]"
    assert problems == "[]", proc.stdout


def test_closing_from_inside_a_write_on_the_same_handle_raises(tmp_path):
    # The write holds the file while it reads each item's order_book_id; a
    # close from there would wait for itself forever.
    proc = run_python(child(tmp_path) + """
    path = os.path.join(DIRECTORY, "reentrant.h5")
    h5 = d.get_h5(path, True)

    class ClosesTheFile:
        value = 1.5
        @property
        def order_book_id(self):
            h5.close()
            return IDS[0]

    try:
        d.put_factor_value(h5, CALENDAR[3], [ClosesTheFile()])
    except ValueError as error:
        print(error)
    d.put_factor_value(h5, CALENDAR[4], [V(order_book_id=IDS[1], value=2.5)])  # still open
    h5.close()
    with d.get_h5(path) as h5:
        print(h5["data"][0, 3], h5["data"][1, 4])
    """, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == ["Cannot close the factor file from inside a call on it", "nan 2.5"]


def test_reference_data_from_many_threads(detail, instruments):
    instruments.seed([{"order_book_id": f"S{i}", "index": i} for i in range(300)])

    def fetch(_):
        detail._get_all_instrument_index.cache_clear()
        detail.get_all_trading_dates.cache_clear()
        return detail._get_all_instrument_index(), len(detail.get_all_trading_dates())

    from concurrent.futures import ThreadPoolExecutor

    with ThreadPoolExecutor(8) as pool:
        results = [f.result(timeout=120) for f in [pool.submit(fetch, k) for k in range(16)]]
    first = results[0]
    assert first[0] == {f"S{i}": i for i in range(300)} and first[1] > 1000
    assert all(r == first for r in results)
