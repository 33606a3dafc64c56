#!/usr/bin/env bash
# Incremental developer build: compiles the extension modules into src/ so that
# `PYTHONPATH=src python -m pytest` runs against the working tree.
#   tools/dev_build.sh [target...]      (default: all modules)
#   BUILD_DIR=build/asan CMAKE_ARGS=-DQUARVEL_SANITIZE=ON tools/dev_build.sh
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}
BUILD_DIR=${BUILD_DIR:-build/dev}
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
if [ ! -f "$BUILD_DIR/CMakeCache.txt" ]; then
  cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-Release} \
    -DPython_EXECUTABLE="$(command -v "$PYTHON")" -DQUARVEL_INPLACE=ON \
    "${launcher[@]}" ${CMAKE_ARGS:-}
fi
targets=()
for t in "$@"; do targets+=(--target "$t"); done
cmake --build "$BUILD_DIR" -j "${JOBS:-2}" "${targets[@]}"
