"""Writes run on a dask.distributed cluster (``client=``): one task per file,
each taking a claim on the scheduler so that no file is ever written twice.

A task's data travel as plain lists (any value items do) or, for frames and
cubes, as the caller's arrays. They are scattered to the workers, each
task's data to one worker, and the task runs where its data are: the
scheduler only passes a reference. A worker writes with its own settings:
calendar and instrument index come from its environment. Workers import the
task's function by its qualified name,
``quorbel.library.cluster_writes._cluster_write``.
"""

from __future__ import annotations

import pickle
import sys
import types
import uuid

from ..progress import _is_terminal
from .collector_pause import _collector_paused
from .frames import Block
from .skip_counts import DateLookup, counted_write
from .writes import _value_item_of_pair, _write_one


def _client_argument(client) -> None:
    """Nothing for no client or a dask.distributed Client; ImportError without
    Dask, TypeError for anything else."""
    if client is None:
        return
    try:
        import distributed
    except ImportError as e:
        raise ImportError("client= needs Dask: install quorbel[dask] (dask[array] and distributed)") from e
    if not isinstance(client, distributed.Client):
        raise TypeError(f"client must be a dask.distributed Client, not {type(client).__name__}")


def _portable(kind: str, payload):
    """The payload as plain lists, so that any value items travel."""
    if kind == "value":
        return [item.order_book_id for item in payload], [item.value for item in payload]
    if kind == "block":
        # As the caller holds them (a view of a cube travels without a copy);
        # the worker puts the dates in order.
        return payload.dates, payload.ids, payload.values, payload.positions, payload.offsets, payload.order
    return [(pack.date, [i.order_book_id for i in pack.values], [i.value for i in pack.values]) for pack in payload]


def _rebuilt(kind: str, portable):
    def items(ids, values):
        return list(map(_value_item_of_pair, zip(ids, values)))

    if kind == "value":
        return items(*portable)
    if kind == "block":
        return Block(*portable)
    return [types.SimpleNamespace(date=date, values=items(ids, values)) for date, ids, values in portable]


def _portable_error(error):
    if error is None:
        return None
    try:
        pickle.loads(pickle.dumps(error))
    except Exception:
        return RuntimeError(f"{type(error).__name__}: {error}")
    return error


def _cluster_write(key: str, settings: tuple, work: list) -> tuple:
    """A write task on a worker: (its claim, {name: (None or the exception,
    details or None)}) for the factors of one file. Calendar and instrument
    index come from the worker's own settings, and what is stored and
    skipped is counted from them, as the worker's engine writes by them.
    Dask runs a task again when the worker that ran it is lost. The first
    run takes the claim `key` on the scheduler before it writes and stores
    its outcome in the variable `key` once done; a later run finds the claim
    taken, so a finished write is reported as it went and an interrupted one
    as failed, never redone: no two runs ever write one file, even when the
    lost worker is only cut off and still writing."""
    from distributed import MultiLock, Variable

    kind, code, create = settings
    claim = MultiLock([key])
    if not claim.acquire(blocking=False):  # one round trip, taken or refused at once
        return None, _earlier_outcome(Variable(key), work)
    dates = DateLookup()
    with _collector_paused():
        outcome = {}
        for name, path, payload in work:
            error, details = counted_write(_write_one, name, path, kind, code, _rebuilt(kind, payload), create,
                                           dates)
            outcome[name] = (_portable_error(error), details)
    Variable(key).set(pickle.dumps(outcome))
    return claim.id, outcome


def _earlier_outcome(finished, work) -> dict:
    try:
        return pickle.loads(finished.get(timeout=2))
    except TimeoutError:
        lost = RuntimeError("the Dask worker writing this factor was lost during the write; it was not "
                            "retried (each date of the write is in the file whole, or not at all)")
        return {name: (lost, None) for name, _, _ in work}


def _run_on_cluster(client, tasks: dict, jobs: dict, kind: str, code, create: bool, progress: bool) -> dict:
    """{name: (None or the exception, details or None)} of a write's tasks,
    run on the client's workers; `jobs` is {name: (path, payload)}."""
    # Everything is checked before anything is sent: a value that cannot
    # travel fails the call with nothing written. Arrays are not copied for
    # the check (protocol 5 leaves their buffers out of the pickle).
    works = []
    for names in tasks.values():
        work = [(name, jobs[name][0], _portable(kind, jobs[name][1])) for name in names]
        try:
            pickle.dumps(work, protocol=5, buffer_callback=lambda buffer: None)
        except Exception as e:
            raise TypeError(f"factor {names[0]!r}: its values cannot be sent to the cluster: {e}") from e
        works.append((names, work))
    run = uuid.uuid4().hex
    outcome, keys, claims = {}, [], []
    try:
        pending = works
        for attempt in range(_ATTEMPTS):
            pending = _run_round(client, pending, f"{run}-{attempt}", (kind, code, create), progress, outcome,
                                 keys, claims)
            if not pending:
                break
        return outcome
    finally:
        _forget_on_scheduler(client, keys, claims)


# A task whose write never started (its data lost with a worker before it
# ran) is sent again, up to this many rounds in all.
_ATTEMPTS = 3


def _run_round(client, works: list, run: str, settings: tuple, progress: bool, outcome: dict, keys: list,
               claims: list) -> list:
    """Runs `works` [(names, work)] once, into `outcome`; returns those whose
    write never started, to be sent again."""
    import distributed

    # Each task's data go to one worker, the workers in turn; the task runs
    # where its data are, so the scheduler only passes a reference. They go
    # straight to the workers (a backfill's arrays crossed the scheduler at
    # about half the speed), unless the client was made with
    # direct_to_workers=False, for workers it cannot reach.
    scattered = client.scatter([work for _, work in works], hash=False,
                               direct=client.direct_to_workers is not False)
    try:
        submitted = []
        for number, ((names, work), data) in enumerate(zip(works, scattered)):
            key = f"quorbel-write-{run}-{number}"
            keys.append(key)
            submitted.append((key, names, work, client.submit(_cluster_write, key, settings, data, key=key,
                                                              retries=0)))
        if progress and _is_terminal(sys.stdout):
            distributed.progress([future for *_, future in submitted])
        again = []
        for key, names, work, future in submitted:
            try:
                claim, written = future.result()
                claims.append(claim)
                outcome.update(written)
            except Exception as error:  # the task failed as a whole: its worker or its data lost, a cancel
                # Taking the task's claim tells whether its write started, and
                # keeps a late run of it from starting.
                claim = distributed.MultiLock([key], client=client)
                if claim.acquire(blocking=False):
                    claims.append(claim.id)
                    outcome.update({name: (error, None) for name in names})  # unless a later round writes it
                    again.append((names, work))
                else:
                    outcome.update(_earlier_outcome(distributed.Variable(key, client=client), work))
        return again
    finally:
        for data in scattered:
            data.release()


def _forget_on_scheduler(client, keys: list, claims: list) -> None:
    """Drops the calls' outcomes and claims from the scheduler, all at once.
    A claim whose run was lost with its worker is unknown here and stays: a
    few bytes on the scheduler for each worker lost mid-write."""
    import asyncio

    import distributed

    async def release():
        await asyncio.gather(*(client.scheduler.multi_lock_release(id=claim) for claim in claims),
                             return_exceptions=True)

    try:
        client.run_on_scheduler(_drop_outcomes, list(keys))
        client.sync(release)
    except Exception:  # a closed client: the scheduler's state goes with it
        pass


def _drop_outcomes(keys: list, dask_scheduler=None) -> None:
    """Runs on the scheduler: forgets the outcome variables of a write in one
    call. Variable.delete would do it one message a key, and the scheduler
    logs each as a client removed: about a hundred INFO lines per write. The
    outcomes are plain bytes, never futures, so nothing else holds them."""
    import distributed

    extension = dask_scheduler.extensions.get("variables")
    variables = getattr(extension, "variables", None)
    if not isinstance(variables, dict):  # another layout of the extension: the public way
        for key in keys:
            distributed.Variable(key).delete()
        return
    for key in keys:
        variables.pop(key, None)
        getattr(extension, "waiting_conditions", {}).pop(key, None)
