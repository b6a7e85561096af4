"""Build-time wiring of the docs site (a MkDocs hook).

- The API reference documents the engine the tests test: the source tree's
  when tools/dev-build.sh has put the built modules and their stubs there,
  else the installed package (as in CI, where src/quorbel holds Python only).
- The performance page shows the benchmarks' own output: the tables are
  included from bench/results/*.md by pymdownx.snippets, and the chart that
  bench/run.py draws is added to the site from bench/results/ here, so no
  figure is copied by hand.
"""

import os
import sys

from mkdocs.structure.files import File

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SOURCE = os.path.join(REPO, "src")
RESULTS = os.path.join(REPO, "bench", "results")
# Result files the pages show, and where they appear in the site.
CHARTS = {"latest.png": "performance/latest.png"}


def source_tree_has_engine():
    package = os.path.join(SOURCE, "quorbel")
    return os.path.isfile(os.path.join(package, "detail.pyi")) and os.path.isfile(
        os.path.join(package, "_extras.pyi"))


def on_startup(command, dirty):
    # mkdocstrings searches its configured paths (the repository root, which
    # holds no package) and then sys.path, as it is when its handler starts
    # in on_config. (MkDocs puts sys.path back after loading a hook module.)
    if source_tree_has_engine() and SOURCE not in sys.path:
        sys.path.insert(0, SOURCE)


def on_files(files, config):
    for name, uri in CHARTS.items():
        path = os.path.join(RESULTS, name)
        if not os.path.isfile(path):
            raise FileNotFoundError(f"the docs show {path}, which the benchmark writes; run bench/run.py "
                                    "(or bench/run.py --report-only to draw it from latest.json)")
        files.append(File.generated(config, uri, abs_src_path=path))
    return files
