#!/usr/bin/env bash
# Inner loop: build the extension in build/dev and drop it next to the Python
# sources, so that `PYTHONPATH=src python -m pytest` runs the fresh build.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build/dev -G Ninja -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-Release} \
      -DPython_EXECUTABLE="$(command -v python3)" ${CMAKE_ARGS:-} > /dev/null
cmake --build build/dev
cp build/dev/detail*.so build/dev/_diagnostics*.so src/quorbel/
