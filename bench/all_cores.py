"""The codec on every core: a list of chunks, each deflated (or inflated) once,
shared out over one process per core.

Processes rather than threads: the floor's codec binding (deflate 0.9) lets
go of the GIL only for buffers of a few hundred KiB and more. A thread
counting in a loop while one call runs does not move at all for a 68 KB or a
127 KB chunk, the chunk sizes of the benchmark's files, and moves for 256 KiB
and up; on threads the chunks would run one at a time.

Each process makes its share of the work before the clock starts (handed to
it, or made there from seeds when it is large) and keeps it between runs. A
run sends every process one message and waits for each one's answer, so what
is timed is the codec and a message each way per process. Each answer
carries the CPU time its process spent, so that the floor's CPU time can be
set beside a loaded machine's wall times."""

import multiprocessing
import os
import time

# One work item: (stored bytes to inflate or None, plain bytes to deflate or None, plain size).


def prepared(items):
    """A share handed over as it is (see CodecPool)."""
    return items


def shares_of(items, parts):
    """`items` dealt round in `parts` shares of about equal work."""
    return [items[i::parts] for i in range(parts)]


def serve(connection, make_share):
    from floor import Codec

    codec = Codec()
    work = make_share()
    connection.send((codec.name, len(work)))
    while connection.recv():
        start = time.process_time()
        for raw, content, size in work:
            if raw is not None:
                codec.inflate(raw, size)
            if content is not None:
                codec.deflate(content)
        connection.send(time.process_time() - start)
    connection.close()


class CodecPool:
    """One process per share, each running its share of codec work on call.

    Parameters
    ----------
    makers : list of callables
        One per process, each taking no argument and returning that process's
        work items; called in the process, before any run. Pickled, so
        functools.partial of a module-level function (``prepared`` with a
        share of items already made, or a maker of its own).
    """

    def __init__(self, makers):
        context = multiprocessing.get_context("spawn")  # nothing of this process's threads or HDF5 state
        self.connections, self.processes = [], []
        try:
            for make_share in makers:
                ours, theirs = context.Pipe()
                process = context.Process(target=serve, args=(theirs, make_share), daemon=True)
                process.start()
                theirs.close()
                self.connections.append(ours)
                self.processes.append(process)
            ready = [c.recv() for c in self.connections]
        except BaseException:
            self.close()
            raise
        self.codec = ready[0][0] if ready else "-"
        self.items = sum(count for _, count in ready)
        self.cpu = []  # per run, the CPU time the processes spent on the codec, added up

    def __call__(self):
        for c in self.connections:
            c.send(True)
        self.cpu.append(sum(c.recv() for c in self.connections))

    def close(self):
        for c in self.connections:
            try:
                c.send(False)
            except OSError:
                pass
        for p in self.processes:
            p.join(timeout=30)
            if p.is_alive():
                p.kill()
                p.join()
        for c in self.connections:
            c.close()
        self.connections, self.processes = [], []

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def cores():
    return os.cpu_count() or 1
