"""The floor: what the codec alone costs for the chunks a scenario touches.

A read inflates once every stored chunk that holds a cell it reads, on one
thread. A write deflates at level 9, once, every chunk that holds a cell it
writes, with the content the chunk has after the write, on all cores (the
engine's writes deflate on all of them; see all_cores.py). A rewrite does
both for every stored chunk, on one thread. Chunks are taken raw from the
file (read_direct_chunk) and held in memory beforehand, so that only the
codec is timed."""

import functools
import zlib

import h5py
import numpy as np

from all_cores import CodecPool, cores, prepared, shares_of

NAME = "floor"
LEVEL = 9


class Codec:
    """libdeflate when its binding is installed (the fastest single-thread
    DEFLATE here), else zlib; both in the zlib format HDF5 stores."""

    def __init__(self):
        try:
            import deflate
        except ImportError:
            self.name = f"zlib {zlib.ZLIB_RUNTIME_VERSION}"
            self.inflate = lambda data, size: zlib.decompress(data, bufsize=size)
            self.deflate = lambda data: zlib.compress(data, LEVEL)
        else:
            self.name = f"libdeflate (deflate {deflate.__version__})"
            self.inflate = deflate.zlib_decompress
            self.deflate = lambda data: deflate.zlib_compress(data, LEVEL)


def prepare(market, options):
    return {}


def job(path, workload, market):
    """A call that runs the codec work of `workload` once, and what it covers.
    The caller closes the call when it has one (the write floor's processes)."""
    codec = Codec()
    with h5py.File(path, "r") as f:
        data = f["data"]
        if workload.kind == "read":
            work = inflate_job(data, workload, codec)
        elif workload.kind in ("value", "packs"):
            work = deflate_job(data, workload, market, codec)
        elif workload.kind == "rewrite":
            work = rewrite_job(data, codec)
        else:
            raise ValueError(f"no floor for {workload.kind}")
        call, chunks = work
        cores = getattr(call, "processes", None)
        return call, {"codec": codec.name, "chunks": chunks, "chunk_shape": list(data.chunks),
                      "processes": len(cores) if cores else 1}


def inflate_job(data, workload, codec):
    size = chunk_bytes(data)
    stored = stored_offsets(data)
    raw = [data.id.read_direct_chunk(o) for o in chunk_offsets(data, workload.rows, workload.cols) if o in stored]
    deflated = [chunk for mask, chunk in raw if mask == 0]  # a chunk stored unfiltered needs no work

    def inflate_all():
        for chunk in deflated:
            codec.inflate(chunk, size)

    return inflate_all, len(deflated)


def deflate_job(data, workload, market, codec):
    stored = stored_offsets(data)
    new_values = {col: market.values(col, workload.revision) for col in workload.cols}
    rows = np.asarray(workload.rows)
    contents = []
    for offset in chunk_offsets(data, workload.rows, workload.cols):
        chunk = chunk_content(data, offset, offset in stored, codec)
        write_into(chunk, offset, rows, new_values)
        contents.append((None, chunk.tobytes(), chunk.nbytes))
    shares = shares_of(contents, cores())
    return CodecPool([functools.partial(prepared, share) for share in shares]), len(contents)


def rewrite_job(data, codec):
    size = chunk_bytes(data)
    raw = [data.id.read_direct_chunk(o) for o in sorted(stored_offsets(data))]

    def inflate_and_deflate_all():
        for mask, chunk in raw:
            codec.deflate(codec.inflate(chunk, size) if mask == 0 else chunk)

    return inflate_and_deflate_all, len(raw)


# --- chunk geometry -------------------------------------------------------------


def chunk_bytes(data):
    rows, cols = data.chunks
    return rows * cols * data.dtype.itemsize


def stored_offsets(data):
    """Offsets of the chunks the file holds; the others read as the fill value."""
    dsid = data.id
    return {tuple(dsid.get_chunk_info(i).chunk_offset) for i in range(dsid.get_num_chunks())}


def chunk_offsets(data, rows, cols):
    """Offsets of the chunks that hold a cell of `rows` x `cols`."""
    if len(cols) == 0:
        return []
    chunk_rows, chunk_cols = data.chunks
    row_starts = sorted({r // chunk_rows * chunk_rows for r in rows})
    col_starts = range(cols.start // chunk_cols * chunk_cols, cols.stop, chunk_cols)
    return [(r, c) for r in row_starts for c in col_starts]


def chunk_content(data, offset, is_stored, codec):
    if not is_stored:
        return np.full(data.chunks, data.fillvalue, dtype=data.dtype)
    mask, chunk = data.id.read_direct_chunk(offset)
    plain = codec.inflate(chunk, chunk_bytes(data)) if mask == 0 else chunk
    return np.frombuffer(plain, dtype=data.dtype).reshape(data.chunks).copy()


def write_into(chunk, offset, rows, new_values):
    """The chunk as the write leaves it: the new values of its cells."""
    (r0, c0), (height, width) = offset, chunk.shape
    inside = rows[(rows >= r0) & (rows < r0 + height)]
    for col, values in new_values.items():
        if c0 <= col < c0 + width:
            chunk[inside - r0, col - c0] = values[inside]
