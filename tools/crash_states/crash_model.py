"""Crash states of a recording under the power-loss model.

A power cut keeps what a sync made durable and may lose the rest: a file's
data operations since that file's last sync, and a directory's entry
operations since that directory's last sync, each one independently (not
only a suffix). A state is a crash point (how many operations had happened)
and the set of not-yet-durable operations that were lost; in torn mode a
write's 4 KiB pages are lost independently.
"""

import hashlib
import os
import random
from dataclasses import dataclass

PAGE = 4096
DATA_KINDS = ("write", "truncate", "zero", "extend")
DIRECTORY_KINDS = ("link", "unlink", "rename", "exchange", "mkdir", "rmdir")


@dataclass(frozen=True)
class Piece:
    """The bytes [lo, hi) of write `op`, one page of it at most."""

    op: int
    lo: int
    hi: int


@dataclass
class Layout:
    """What a crash state holds: names (relative paths) and file contents."""

    names: dict      # relative path -> file object
    contents: dict   # file object -> bytes
    dirs: set

    def digest(self):
        h = hashlib.sha1()
        for name in sorted(self.names):
            h.update(name.encode() + b"\0" + str(self.names[name]).encode() + b"\0")
        for ident in sorted(self.contents):
            h.update(hashlib.sha1(self.contents[ident]).digest())
        return h.hexdigest()


class CrashModel:
    """The crash states of one recording.

    Parameters
    ----------
    recording : recording.Recording
    removed_syncs : collection of str
        Sync classes (``Op.sync_class``) to treat as if the writer never
        made them: their points go, and what they made durable stays at risk.
    """

    def __init__(self, recording, removed_syncs=()):
        self.recording = recording
        self.ops = recording.ops
        removed = set(removed_syncs)
        self.active = [op.kind == "sync" and op.sync_class not in removed for op in self.ops]
        self._durable_at = self._first_covering_syncs()

    def _first_covering_syncs(self):
        """For each data or directory op, the index of the first sync that
        makes it durable (len(ops) when none does)."""
        never = len(self.ops)
        covering = [never] * len(self.ops)
        waiting_files, waiting_dirs = {}, {}
        for i, op in enumerate(self.ops):
            if op.kind in DATA_KINDS:
                waiting_files.setdefault(op.file, []).append(i)
            elif op.kind in DIRECTORY_KINDS:
                waiting_dirs.setdefault(op.directory, []).append(i)
            elif op.kind == "sync" and self.active[i]:
                if op.file >= 0:
                    done = waiting_files.pop(op.file, [])
                elif op.path is None:
                    done = [j for ops in (*waiting_files.values(), *waiting_dirs.values()) for j in ops]
                    waiting_files, waiting_dirs = {}, {}
                else:
                    done = waiting_dirs.pop(op.path, [])
                for j in done:
                    covering[j] = i
        return covering

    def points(self):
        """Crash points: before and after every sync, after every directory
        operation, and at the end. A point p means ops[:p] had happened."""
        points = {len(self.ops)}
        for i, op in enumerate(self.ops):
            if self.active[i]:
                points.update((i, i + 1))
            elif op.kind in DIRECTORY_KINDS:
                points.add(i + 1)
        return sorted(points)

    def pending(self, p):
        """Indices of the ops before point p that a power cut at p may lose."""
        return [i for i in range(p) if self._durable_at[i] >= p and self.ops[i].kind in DATA_KINDS + DIRECTORY_KINDS]

    def context(self, p):
        """(last engine call that had returned, call in flight or None) at point p."""
        returned, in_flight = 0, None
        for op in self.ops[:p]:
            if op.kind == "mark":
                if op.phase == "start":
                    in_flight = op.call
                else:
                    returned, in_flight = op.call, None
        return returned, in_flight

    def pieces(self, i):
        """Write op i cut at page boundaries of the file; [i] when it fits one page."""
        op = self.ops[i]
        if op.kind != "write":
            return [i]
        start, end = op.offset, op.offset + len(op.data)
        cuts = [start] + list(range((start // PAGE + 1) * PAGE, end, PAGE)) + [end]
        if len(cuts) <= 2:
            return [i]
        return [Piece(i, lo, hi) for lo, hi in zip(cuts, cuts[1:])]

    def units(self, p, torn=False):
        """What may be lost independently at point p: ops, or in torn mode pieces of writes."""
        pending = self.pending(p)
        if not torn:
            return pending
        return [unit for i in pending for unit in self.pieces(i)]

    def layout(self, p, lost=()):
        """The files and names of the state at point p that lost `lost`
        (op indices and Pieces)."""
        lost_ops = {u for u in lost if isinstance(u, int)}
        lost_pieces = {}
        for u in lost:
            if isinstance(u, Piece):
                lost_pieces.setdefault(u.op, []).append((u.lo, u.hi))
        rec = self.recording
        names, dirs = dict(rec.initial_names), set(rec.initial_dirs)
        contents = {}

        def content(ident):
            if ident not in contents:
                contents[ident] = bytearray(rec.initial_content.get(ident, b""))
            return contents[ident]

        for i in range(p):
            if i in lost_ops:
                continue
            op = self.ops[i]
            kind = op.kind
            if kind == "write":
                buf = content(op.file)
                for lo, hi in _kept_ranges(op.offset, op.offset + len(op.data), lost_pieces.get(i, ())):
                    if len(buf) < lo:
                        buf.extend(bytes(lo - len(buf)))
                    buf[lo:hi] = op.data[lo - op.offset:hi - op.offset]
            elif kind == "truncate":
                buf = content(op.file)
                if len(buf) > op.size:
                    del buf[op.size:]
                else:
                    buf.extend(bytes(op.size - len(buf)))
            elif kind == "extend":
                buf = content(op.file)
                if len(buf) < op.size:
                    buf.extend(bytes(op.size - len(buf)))
            elif kind == "zero":
                buf = content(op.file)
                end = min(len(buf), op.offset + op.size)
                if end > op.offset:
                    buf[op.offset:end] = bytes(end - op.offset)
            elif kind == "link":
                names[op.path] = op.file
            elif kind == "unlink":
                names.pop(op.path, None)
            elif kind == "rename":
                # A durable rename names the file at its new place whether or
                # not the entry it came from was ever durable.
                names.pop(op.path, None)
                names[op.path2] = op.file
            elif kind == "exchange":
                a, b = names.get(op.path), names.get(op.path2)
                for name, ident in ((op.path, b), (op.path2, a)):
                    if ident is None:
                        names.pop(name, None)
                    else:
                        names[name] = ident
            elif kind == "mkdir":
                dirs.add(op.path)
            elif kind == "rmdir":
                dirs.discard(op.path)
        visible = {name: ident for name, ident in names.items() if _reachable(name, dirs)}
        return Layout(visible, {ident: bytes(content(ident)) for ident in set(visible.values())},
                      {d for d in dirs if _reachable(os.path.join(d, "x"), dirs)})

    def describe(self, unit):
        """A line naming a lost op or piece, for reports and reproductions."""
        i = unit.op if isinstance(unit, Piece) else unit
        op = self.ops[i]
        name = self.recording.files[op.file].names[-1] if op.file >= 0 else op.path
        text = f"trace line {op.line}: {op.syscall} ({op.kind}"
        if op.kind == "write":
            text += f" of {name} at {op.offset}, {len(op.data)} bytes"
        elif op.kind == "truncate":
            text += f" of {name} to {op.size}"
        elif op.kind in ("rename", "exchange"):
            text += f" {op.path} -> {op.path2}"
        else:
            text += f" {name}"
        if isinstance(unit, Piece):
            text += f"; only its bytes {unit.lo}-{unit.hi}"
        return text + ")"


def _kept_ranges(start, end, lost):
    """[start, end) without the lost ranges, as sorted ranges."""
    kept, at = [], start
    for lo, hi in sorted(lost):
        if lo > at:
            kept.append((at, lo))
        at = max(at, hi)
    if at < end:
        kept.append((at, end))
    return kept


def _reachable(name, dirs):
    parent = os.path.dirname(name)
    while parent:
        if parent not in dirs:
            return False
        parent = os.path.dirname(parent)
    return True


def loss_patterns(units, rng, random_subsets=3):
    """The ways a state may lose the units at risk: none, all, each one
    alone, all but one, and a few seeded random subsets.

    Yields (pattern name, tuple of lost units); the same set may come twice.
    """
    yield "none", ()
    if not units:
        return
    yield "all", tuple(units)
    if len(units) > 1:
        for u in units:
            yield "one lost", (u,)
        for u in units:
            yield "all but one lost", tuple(v for v in units if v != u)
    for _ in range(random_subsets if len(units) > 2 else 0):
        yield "random subset lost", tuple(u for u in units if rng.random() < 0.5)


def enumerate_states(model, seed=0, torn=False, random_subsets=3):
    """Every (point, pattern, lost units) of the model, torn or whole writes."""
    rng = random.Random(seed)
    for p in model.points():
        for pattern, lost in loss_patterns(model.units(p, torn), rng, random_subsets):
            yield p, ("torn: " if torn else "") + pattern, lost
