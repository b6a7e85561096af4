"""The scenarios through the engine, as its callers use it."""

import quorbel.detail as detail

from market import inject

NAME = "engine"


def prepare(market, options):
    inject(detail, market)
    return {}


def read(path, market, ids, start_date, end_date):
    h5 = detail.get_h5(path)
    try:
        yield from detail.get_factor_value(h5, ids, start_date, end_date)
    finally:
        h5.close()


def put_value(path, market, date, items):
    h5 = detail.get_h5(path, True)
    try:
        detail.put_factor_value(h5, date, items)
    finally:
        h5.close()


def put_packs(path, market, packs):
    h5 = detail.get_h5(path, True)
    try:
        detail.put_factor_packs(h5, packs)
    finally:
        h5.close()


def rewrite(path, market):
    detail.rewrite_factor(path)


def read_all(path, market):
    h5 = detail.get_h5(path)
    try:
        return h5["data"][...]
    finally:
        h5.close()


def write_all(path, market, matrix):
    h5 = detail.create_new_factor_h5(path, matrix.shape)
    try:
        h5["data"][...] = matrix
    finally:
        h5.close()


def read_block(path, cols):
    h5 = detail.get_h5(path)
    try:
        return h5["data"][:, cols.start:cols.stop]
    finally:
        h5.close()
