import logging
import subprocess
import sys
import textwrap

import pytest

import quorbel.detail as engine


@pytest.fixture
def detail():
    return engine


@pytest.fixture
def logs(caplog):
    """Root-logger records at INFO and above, as (level, template, args)."""
    caplog.set_level(logging.INFO)

    def records():
        return [(r.levelname, r.msg, r.args) for r in caplog.records]

    return records


def run_python(code, timeout=120, env=None):
    """Runs `code` in a fresh interpreter and returns the finished process."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=env,
    )
