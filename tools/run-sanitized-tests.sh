#!/usr/bin/env bash
# The test suite against a build with AddressSanitizer and UndefinedBehavior-
# Sanitizer (Debug, build/sanitize). The sanitized modules are staged in
# build/sanitize/python/quorbel beside links to the package's Python files, so
# the normal build in src/quorbel stays as it is. Arguments go to pytest:
#
#   tools/run-sanitized-tests.sh                  # the whole suite
#   tools/run-sanitized-tests.sh -k malformed     # a part of it
set -euo pipefail
cd "$(dirname "$0")/.."
stage=build/sanitize/python
mkdir -p "$stage/quorbel"
for source in src/quorbel/*.py; do ln -sfn "$PWD/$source" "$stage/quorbel/"; done
BUILD_DIR=build/sanitize MODULE_DIR="$stage/quorbel" BUILD_TYPE=Debug CMAKE_ARGS=-DQUORBEL_SANITIZE=ON \
    tools/dev-build.sh

# The interpreter itself is not instrumented, so the ASan runtime must be
# loaded before everything else, and the C++ runtime with it (ASan intercepts
# C++ exceptions only when it finds the runtime at start); its leak report
# would list the interpreter's own allocations, which are not ours. Child
# processes inherit all of this.
asan_runtime=$(${CXX:-c++} -print-file-name=libasan.so)
cxx_runtime=$(${CXX:-c++} -print-file-name=libstdc++.so.6)
export LD_PRELOAD="$asan_runtime $cxx_runtime${LD_PRELOAD:+ $LD_PRELOAD}"
export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:abort_on_error=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
PYTHONPATH="$stage:src${PYTHONPATH:+:$PYTHONPATH}" python3 -m pytest -q -p no:cacheprovider tests "$@"
