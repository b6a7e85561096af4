"""The typed stubs generated at build time name everything the modules publish."""

import ast
import os

import pytest

import quorbel
import quorbel.detail
from quorbel import _extras

PACKAGE = os.path.dirname(quorbel.__file__)

PUBLISHED_FUNCTIONS = [
    "get_all_trading_dates", "_get_date_index", "_get_date_section_index", "_get_date_by_index",
    "_get_all_instrument_index", "_get_stock_index", "do_not_decrease_when_temporarily_unavailable",
    "create_new_factor_h5", "get_h5", "get_factor_value", "get_iter", "put_factor_packs",
    "put_factor_value", "rewrite_factor", "remove_factor",
]
SETTINGS = ["nan", "TRADING_DATES", "EXPAND_INSTRUMENT_LENGTH", "EXPAND_TRADING_DATE_LENGTH",
            "BOOK_COUNT_THRESHOLD", "_error_regex", "MIN_FACTOR_DAY", "DATABASE", "COLLECTION"]


def stub_names(module_name):
    path = os.path.join(PACKAGE, module_name + ".pyi")
    with open(path) as f:
        tree = ast.parse(f.read(), path)
    names = {}
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names[node.name] = node
        elif isinstance(node, ast.AnnAssign):
            names[node.target.id] = node
        elif isinstance(node, ast.ImportFrom):
            names.update((alias.asname or alias.name, node) for alias in node.names)
    return names


def test_detail_stub_lists_every_published_name():
    names = stub_names("detail")
    public = {n for n in vars(quorbel.detail) if not n.startswith("__")}
    missing = sorted(public - set(names))
    assert not missing, f"detail.pyi lacks {missing}"
    for name in PUBLISHED_FUNCTIONS:
        assert isinstance(names[name], ast.FunctionDef), name
    for name in SETTINGS:
        assert name in names, name


def test_extras_stub_types_read_panel_and_main():
    names = stub_names("_extras")
    panel = names["read_panel"]
    assert [a.arg for a in panel.args.args] == ["h5_or_path", "order_book_ids", "start_date", "end_date",
                                                 "check", "as_numpy"]
    assert ast.unparse(names["main"].returns) == "int"
    assert set(n for n in vars(_extras) if not n.startswith("__")) <= set(names)


@pytest.mark.parametrize("name", ["py.typed"])
def test_package_is_marked_typed(name):
    assert os.path.isfile(os.path.join(PACKAGE, name))
