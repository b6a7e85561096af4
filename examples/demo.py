"""A short tour of the engine: create a factor file and show its layout."""

import logging
import os
import tempfile

import quorbel.detail as qd


def main():
    logging.basicConfig(level=logging.INFO, format="%(levelname)s %(message)s")
    workdir = tempfile.mkdtemp(prefix="quorbel-demo-")
    path = os.path.join(workdir, "momentum_20d.h5")

    with qd.create_new_factor_h5(path, (5000 + qd.EXPAND_INSTRUMENT_LENGTH, 5300 + qd.EXPAND_TRADING_DATE_LENGTH)) as h5:
        data = h5["data"]
        print(f"factor file   {h5.filename}")
        print(f"matrix        {data.shape} {data.dtype}, chunks {data.chunks}, max shape {data.maxshape}")
        print(f"compression   {data.compression} level {data.compression_opts}, fill value {data.fillvalue}")
        print(f"attributes    {data.attrs.keys()}")
    print(f"size on disk  {os.path.getsize(path)} bytes")


if __name__ == "__main__":
    main()
