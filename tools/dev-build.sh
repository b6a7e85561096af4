#!/usr/bin/env bash
# Inner loop: build the extension in build/dev and drop it next to the Python
# sources, so that `PYTHONPATH=src python -m pytest` runs the fresh build.
# BUILD_DIR and MODULE_DIR choose other places (the sanitizer build uses both).
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${BUILD_DIR:-build/dev}
module_dir=${MODULE_DIR:-src/quorbel}
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-Release} \
      -DPython_EXECUTABLE="$(command -v python3)" ${CMAKE_ARGS:-} > /dev/null
cmake --build "$build_dir"
# The extension modules and their generated stubs.
cp "$build_dir"/quorbel/detail*.so "$build_dir"/quorbel/_extras*.so "$build_dir"/quorbel/_diagnostics*.so \
   "$build_dir"/quorbel/*.pyi "$module_dir"/
