"""Malformed factor files streamed through the engine (tools/fuzz_factor_files.py):
every outcome is a Python exception or a completed operation, never a crash
or a hang of the process.

CI runs a sample of 60 variants. The full run of 2,000:

    PYTHONPATH=src python3 -m pytest -q tests/test_malformed_files.py --fuzz-variants 2000
    (or QUORBEL_FUZZ_VARIANTS=2000)
"""

import importlib
import os

TOOLS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools")


def test_malformed_files_end_in_exceptions(request, monkeypatch):
    monkeypatch.syspath_prepend(TOOLS)
    fuzzer = importlib.import_module("fuzz_factor_files")
    summary = fuzzer.fuzz(request.config.getoption("fuzz_variants"), seed=1, timeout=120)
    assert summary["incidents"] == []
    assert (summary["crashes"], summary["hangs"], summary["failures"], summary["left_open"]) == (0, 0, 0, 0)
    outcomes = summary["outcomes"]
    completed = {"read": {"same values", "other values"}, "put": {"written"}, "rewrite": {"rewritten"}}
    for op, counts in outcomes.items():
        # A worker that ASan ends takes the operations after that one with it.
        assert sum(counts.values()) <= summary["variants"]
        # Anything else is the name of the Python exception the operation raised.
        assert {k for k in counts if k not in completed[op]} <= {"OSError", "KeyError", "ValueError", "IndexError",
                                                                  "TypeError", "MemoryError",
                                                                  "MemoryError (ASan ends the process)"}
    # The sample is not trivial: some variants open and read, some are refused.
    assert outcomes["read"].get("same values") and outcomes["read"].get("OSError")
