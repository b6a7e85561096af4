"""pytest plugin: `-p repeat --repeat N` runs every selected test N times in a
row, as tests named name[repeat-1] ... name[repeat-N] (with -x, up to the
first failure). For hunting rare failures of tests with threads or
processes; tools/ must be on PYTHONPATH."""

import pytest


def pytest_addoption(parser):
    parser.addoption("--repeat", type=int, default=1, help="run each selected test this many times")


def pytest_collection_modifyitems(config, items):
    times = config.getoption("repeat")
    if times <= 1:
        return
    repeated = []
    for item in items:
        if not isinstance(item, pytest.Function):
            repeated.append(item)
            continue
        for i in range(1, times + 1):
            repeated.append(pytest.Function.from_parent(
                item.parent, name=f"{item.name}[repeat-{i}]", callobj=item.obj, originalname=item.originalname,
                callspec=getattr(item, "callspec", None), fixtureinfo=item._fixtureinfo, keywords=item.keywords))
    items[:] = repeated
