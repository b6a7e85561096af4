"""Factor files made by other tools, and files the engine makes read by them."""

import types
import zlib

import h5py
import numpy as np
import pytest

V = types.SimpleNamespace


def items(ids, values):
    return [V(order_book_id=i, value=v) for i, v in zip(ids, values)]


@pytest.mark.parametrize(
    "layout",
    [
        dict(chunks=(7, 3), compression="gzip", compression_opts=9),  # our filter, odd chunks
        dict(chunks=(16, 16), compression="gzip", compression_opts=4, shuffle=True),  # other filters
        dict(chunks=(5, 5)),  # no filter at all
    ],
    ids=["deflate-odd-chunks", "shuffle-deflate", "unfiltered"],
)
def test_files_written_by_h5py(detail, market, tmp_path, layout):
    path = str(tmp_path / "foreign.h5")
    ids = [f"I{i}" for i in range(20)]
    market.set_instruments({k: i for i, k in enumerate(ids)})
    model = np.full((20, 5), np.nan)
    model[:, 0] = np.arange(20.0)
    with h5py.File(path, "w") as f:
        f.create_dataset("data", data=model, maxshape=(None, None), dtype="<f8", fillvalue=np.nan, **layout)

    with detail.get_h5(path, True) as h5:
        values = np.linspace(-1, 1, 20)
        detail.put_factor_value(h5, 20180103, items(ids, values))
        detail.put_factor_packs(h5, [V(date=20180108, values=items(ids[::2], values[::2]))])
    model[:, 1] = values
    model[::2, 4] = values[::2]

    with h5py.File(path, "r") as f:
        np.testing.assert_array_equal(f["data"][...], model)
    with detail.get_h5(path) as h5:
        rows = dict(detail.get_factor_value(h5, ids, 20180102, 20180108))
    for i, k in enumerate(ids):
        np.testing.assert_array_equal(rows[k], model[i])
    detail.rewrite_factor(path)
    with h5py.File(path, "r") as f:
        np.testing.assert_array_equal(f["data"][...], model)


def test_chunks_are_plain_zlib_streams(detail, market, tmp_path):
    """Every chunk the engine stores inflates with zlib to the cells h5py reads."""
    path = str(tmp_path / "ours.h5")
    ids = [f"I{i}" for i in range(3000)]
    market.set_instruments({k: i for i, k in enumerate(ids)})
    rng = np.random.default_rng(3)
    with detail.create_new_factor_h5(path, (3000, 7)) as h5:
        detail.put_factor_packs(h5, [V(date=d, values=items(ids, rng.normal(size=3000))) for d in market.calendar])
    with h5py.File(path, "r") as f:
        data = f["data"]
        cr, cc = data.chunks
        matrix = data[...]
        assert data.id.get_num_chunks() > 1
        for i in range(data.id.get_num_chunks()):
            offset = data.id.get_chunk_info(i).chunk_offset
            mask, raw = data.id.read_direct_chunk(offset)
            assert mask == 0
            chunk = np.frombuffer(zlib.decompress(raw), "<f8").reshape(cr, cc)
            r, c = offset
            inside = matrix[r:r + cr, c:c + cc]
            np.testing.assert_array_equal(chunk[:inside.shape[0], :inside.shape[1]], inside)
            assert np.isnan(chunk[inside.shape[0]:, :]).all() and np.isnan(chunk[:, inside.shape[1]:]).all()
