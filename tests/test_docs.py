"""The docs: the site builds strictly, and the code it shows runs and prints what it shows.

- ``mkdocs build --strict`` of the repository as it is, and of a copy laid
  out as CI has it: a source tree without the compiled modules and their
  stubs, the package importable from elsewhere (installed).
- The Python code blocks of every docs page and of the README's quick start
  run in order, one process per page, in an empty folder, against a local
  instrument index (the demo's wire-protocol server). A ``text`` block right
  after a code block is what that block prints (compared as doctest does,
  with ``...`` standing for anything). A code block the line before which
  reads ``<!-- docs-test: skip -->`` is shown but not run.
- The docstring examples of the engine's published functions and classes
  (from the stubs), of ``read_panel`` and of the Python modules run too.
"""

import doctest
import importlib.util
import json
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from mongo_wire_server import ServeCommand, WireServer, seed_demo_instruments

REPO = Path(__file__).resolve().parent.parent
DOCS = REPO / "docs"
TESTS = REPO / "tests"
SKIP_MARK = "<!-- docs-test: skip -->"
BLOCK_MARK = "\x1eblock "
CHECK_FLAGS = doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE
FENCE = re.compile(r"^```(\S*)\s*$")

mkdocs_missing = importlib.util.find_spec("mkdocs") is None or importlib.util.find_spec("mkdocstrings") is None
needs_mkdocs = pytest.mark.skipif(mkdocs_missing, reason="the docs extra (mkdocs, mkdocstrings) is not installed")


# ---- code blocks -------------------------------------------------------------

def fenced_blocks(text):
    """(language, code, first line number, skipped) of each top-level fenced block."""
    lines = text.split("\n")
    blocks, i = [], 0
    while i < len(lines):
        opening = FENCE.match(lines[i])
        if not opening:
            i += 1
            continue
        end = i + 1
        while end < len(lines) and lines[end].rstrip() != "```":
            end += 1
        skipped = i > 0 and lines[i - 1].strip() == SKIP_MARK
        blocks.append((opening.group(1), "\n".join(lines[i + 1:end]) + "\n", i + 2, skipped, end))
        i = end + 1
    return blocks, lines


def runnable_blocks(text, page):
    """The page's Python blocks in order, each with the output shown right after it (or None)."""
    blocks, lines = fenced_blocks(text)
    found = []
    for k, (language, code, line, skipped, end) in enumerate(blocks):
        if language != "python" or skipped:
            continue
        expected = None
        if k + 1 < len(blocks) and blocks[k + 1][0] == "text":
            between = lines[end + 1:blocks[k + 1][2] - 2]
            if all(not b.strip() for b in between):
                expected = blocks[k + 1][1]
        found.append({"page": page, "line": line, "code": code, "expected": expected})
    return found


def readme_quick_start():
    text = (REPO / "README.md").read_text()
    start = text.index("\n## Quick start")
    end = text.index("\n## ", start + 1)
    return runnable_blocks(text[start:end], "README.md quick start")


# Runs the blocks of one page in one namespace, in order, marking where each
# block's output starts; under the main guard, since a Dask LocalCluster's
# worker processes import the main module again.
RUNNER = f"""
import json, sys
if __name__ == "__main__":
    blocks = json.load(open(sys.argv[1]))
    namespace = {{"__name__": "__main__"}}
    for number, block in enumerate(blocks):
        sys.stdout.write({BLOCK_MARK!r} + str(number) + "\\n")
        sys.stdout.flush()
        exec(compile(block["code"], block["page"] + ", block at line " + str(block["line"]), "exec"), namespace)
        sys.stdout.flush()
"""


def run_blocks(blocks, workdir, env):
    """Runs the blocks in a fresh interpreter in `workdir`; returns each block's printed output."""
    (workdir / "tests").symlink_to(TESTS, target_is_directory=True)  # as seen from the repository's root
    script, data = workdir / ".runner.py", workdir / ".blocks.json"
    script.write_text(RUNNER)
    data.write_text(json.dumps(blocks))
    done = subprocess.run([sys.executable, str(script), str(data)], cwd=workdir, env=env,
                          capture_output=True, text=True, timeout=600)
    outputs = done.stdout.split(BLOCK_MARK)[1:]
    assert done.returncode == 0, (f"{blocks[0]['page']}: block {len(outputs) - 1} (line "
                                  f"{blocks[max(len(outputs) - 1, 0)]['line']}) failed:\n{done.stderr[-4000:]}")
    return [o.split("\n", 1)[1] if "\n" in o else "" for o in outputs]


def check_outputs(blocks, outputs):
    checker = doctest.OutputChecker()
    for block, got in zip(blocks, outputs):
        want = block["expected"]
        if want is None:
            continue
        if not checker.check_output(want, got, CHECK_FLAGS):
            example = doctest.Example(block["code"], want)
            pytest.fail(f"{block['page']}, block at line {block['line']} printed something else:\n"
                        + checker.output_difference(example, got, CHECK_FLAGS))


def child_environment():
    """This process's environment for children that run in another folder:
    PYTHONPATH made absolute, so that they import the engine this process does."""
    env = dict(os.environ)
    if env.get("PYTHONPATH"):
        env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) for p in env["PYTHONPATH"].split(os.pathsep) if p)
    return env


@pytest.fixture(scope="module")
def index_env():
    """An environment whose instrument index is the demo's 5,000 instruments."""
    with WireServer() as server:
        seed_demo_instruments(server.uri, 5000)
        env = dict(child_environment(), QUORBEL_MONGODB_URI=server.uri)
        env.pop("QUORBEL_FILE_LOCKING", None)
        yield env


def pages_with_code():
    return sorted(p.name for p in DOCS.glob("*.md") if runnable_blocks(p.read_text(), p.name))


@pytest.mark.parametrize("page", pages_with_code())
def test_page_code_runs_and_prints_what_the_page_shows(page, index_env, tmp_path):
    blocks = runnable_blocks((DOCS / page).read_text(), f"docs/{page}")
    check_outputs(blocks, run_blocks(blocks, tmp_path, index_env))


def test_readme_quick_start_runs_as_written(index_env, tmp_path):
    blocks = readme_quick_start()
    assert len(blocks) >= 5, "the quick start has lost its code blocks"
    # The quick start starts its own index server with `quorbel index serve`,
    # as a reader would, and exports the line it prints.
    with ServeCommand() as served:
        env = dict(index_env, QUORBEL_MONGODB_URI=served.uri)
        check_outputs(blocks, run_blocks(blocks, tmp_path, env))


def test_block_extraction_pairs_code_with_the_output_right_after_it():
    text = "\n".join([
        "```python", "print(1)", "```", "", "```text", "1", "```",
        SKIP_MARK, "```python", "raise SystemExit", "```",
        "```python", "x = 2", "```", "between", "```text", "not output of x", "```",
        "```bash", "ls", "```",
    ])
    blocks = runnable_blocks(text, "page")
    assert [(b["code"], b["expected"], b["line"]) for b in blocks] == [
        ("print(1)\n", "1\n", 2), ("x = 2\n", None, 13)]


# ---- docstring examples ------------------------------------------------------

DOCTEST_RUNNER = """
import ast, doctest, importlib, os, sys
if __name__ == "__main__":
    flags = doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE
    runner = doctest.DocTestRunner(optionflags=flags)
    parser = doctest.DocTestParser()
    import quorbel
    package = os.path.dirname(quorbel.__file__)
    for stub in ("detail.pyi", "_extras.pyi"):
        path = os.path.join(package, stub)
        tree = ast.parse(open(path).read(), path)
        nodes = [(n, n.name) for n in tree.body if isinstance(n, (ast.FunctionDef, ast.ClassDef))]
        nodes += [(m, n.name + "." + m.name) for n in tree.body if isinstance(n, ast.ClassDef)
                  for m in n.body if isinstance(m, ast.FunctionDef)]
        for node, name in nodes:
            text = ast.get_docstring(node)
            if text and ">>>" in text:
                runner.run(parser.get_doctest(text, {}, stub + ":" + name, path, node.lineno))
    for module in ("quorbel", "quorbel.config", "quorbel.utils", "quorbel.cli", "quorbel.dates", "quorbel.panel",
                   "dravolc"):
        for test in doctest.DocTestFinder().find(importlib.import_module(module)):
            runner.run(test)
    print("attempted", runner.tries, "failed", runner.failures)
    sys.exit(1 if runner.failures else 0)
"""


def test_docstring_examples_run(index_env, tmp_path):
    script = tmp_path / ".doctests.py"
    script.write_text(DOCTEST_RUNNER)
    done = subprocess.run([sys.executable, str(script)], cwd=tmp_path, env=index_env,
                          capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stdout[-6000:] + done.stderr[-2000:]
    tries = int(done.stdout.split("attempted ")[1].split()[0])
    assert tries >= 40, f"only {tries} docstring examples found"


# ---- the site ----------------------------------------------------------------

def build_site(project, site, env):
    done = subprocess.run([sys.executable, "-m", "mkdocs", "build", "--strict", "--site-dir", str(site)],
                          cwd=project, env=dict(env, NO_MKDOCS_2_WARNING="1"),
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr[-6000:]
    reference = (site / "api" / "detail" / "index.html").read_text()
    for documented in ("Open the factor file at", "Store one date", "FactorFile"):
        assert documented in reference, f"the API reference lacks {documented!r}"
    panel = (site / "api" / "read-panel" / "index.html").read_text()
    assert "as_numpy" in panel and "DataFrame" in panel
    assert (site / "performance" / "latest.png").stat().st_size > 0


@needs_mkdocs
def test_site_builds_strictly_from_the_source_tree(tmp_path):
    build_site(REPO, tmp_path / "site", child_environment())


@needs_mkdocs
def test_site_builds_strictly_against_the_installed_package(tmp_path):
    """As in CI: src/quorbel holds Python only, the engine and its stubs are installed."""
    package = importlib.util.find_spec("quorbel")
    installed = Path(next(iter(package.submodule_search_locations)))
    assert list(installed.glob("detail*.pyi")), f"{installed} has no detail.pyi: the build lost its stubs"
    packages = tmp_path / "site-packages"
    shutil.copytree(installed, packages / "quorbel", ignore=shutil.ignore_patterns("__pycache__"))
    shutil.copytree(Path(importlib.util.find_spec("dravolc").origin).parent, packages / "dravolc",
                    ignore=shutil.ignore_patterns("__pycache__"))
    project = tmp_path / "clone"
    shutil.copytree(DOCS, project / "docs", ignore=shutil.ignore_patterns("__pycache__"))
    shutil.copy(REPO / "mkdocs.yml", project)
    shutil.copytree(REPO / "bench" / "results", project / "bench" / "results",
                    ignore=shutil.ignore_patterns("*.h5", "factor-library-*", "scratch-*", "market-*"))
    shutil.copytree(REPO / "src", project / "src",
                    ignore=shutil.ignore_patterns("*.so", "*.pyi", "__pycache__"))
    env = dict(child_environment(), PYTHONPATH=str(packages))
    build_site(project, tmp_path / "site", env)
