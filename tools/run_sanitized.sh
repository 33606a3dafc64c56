#!/usr/bin/env bash
# Runs the whole Python test suite (the boundary fuzzing included) against extension modules
# built with AddressSanitizer and UndefinedBehaviorSanitizer.
#
#   tools/run_sanitized.sh                       # every test under tests/python and tests/deep
#   tools/run_sanitized.sh tests/deep/test_fuzz_boundary.py -x   # any pytest arguments
#   QUARVEL_FUZZ_EXAMPLES=2000 tools/run_sanitized.sh tests/deep/test_fuzz_boundary.py
#
# The sanitized modules are built into build/asan (never into src/, so the normal developer
# build stays as it is) and run from a scratch copy of the package under build/asan/pkg.
# Exit status: pytest's. A sanitizer finding aborts the interpreter, which pytest reports as
# a failure of the whole run, with the sanitizer's report on stderr.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}
BUILD_DIR=${BUILD_DIR:-build/asan}
PKG_DIR="$BUILD_DIR/pkg"

# Debug info keeps the sanitizer's stack traces readable.
# QUARVEL_INPLACE=OFF overrides the developer script's default: nothing is written to src/.
BUILD_DIR="$BUILD_DIR" BUILD_TYPE=RelWithDebInfo PYTHON="$PYTHON" \
  CMAKE_ARGS="-DQUARVEL_SANITIZE=ON -DQUARVEL_INPLACE=OFF" \
  JOBS="${JOBS:-1}" tools/dev_build.sh positions matcher ticker

# Scratch copy of the package: the Python sources and static files of the working tree, with
# the sanitized modules in place of whatever the developer build put there.
rm -rf "$PKG_DIR"
mkdir -p "$PKG_DIR"
cp -a src/quarvel "$PKG_DIR/"
find "$PKG_DIR" \( -name '*.so' -o -name '__pycache__' \) -prune -exec rm -rf {} +
for module in positions matcher ticker; do
  built=$(find "$BUILD_DIR" -maxdepth 1 -name "$module.*.so" | head -n 1)
  if [ -z "$built" ]; then
    echo "sanitized module $module not found in $BUILD_DIR" >&2
    exit 2
  fi
  cp "$built" "$PKG_DIR/quarvel/modules/$module/"
done

# The interpreter itself is not instrumented, so the sanitizer runtimes must be loaded before
# anything else: an instrumented extension loaded later cannot install ASan's interceptors.
cxx=${CXX:-g++}
asan_rt=$("$cxx" -print-file-name=libasan.so)
ubsan_rt=$("$cxx" -print-file-name=libubsan.so)
export LD_PRELOAD="$asan_rt $ubsan_rt${LD_PRELOAD:+ $LD_PRELOAD}"
# detect_leaks=0: CPython deliberately leaves interned objects, module state and static types
# allocated at exit, so LeakSanitizer would bury any real finding under interpreter noise.
# halt_on_error/abort_on_error: the first finding ends the run with a report and a failure.
# allow_user_segv_handler=0: pytest's faulthandler would otherwise take SIGSEGV first and
# print only the Python stack; ASan's own handler prints the native one.
# fast_unwind_on_fatal=1: the slow unwinder faults again inside a crashed extension frame
# ("nested bug") and the report loses its stack.
export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:abort_on_error=1:allow_user_segv_handler=0:fast_unwind_on_fatal=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
# Python's small-object allocator recycles freed objects inside its own pools, where ASan
# cannot see them; plain malloc lets it catch a use of a Python object after its release.
export PYTHONMALLOC=malloc
export PYTHONUTF8=1
export PYTHONPATH="$PKG_DIR${PYTHONPATH:+:$PYTHONPATH}"

# Guard against silently testing the wrong build.
"$PYTHON" - <<'EOF'
import quarvel.modules.positions.positions as p, quarvel.modules.matcher.matcher as m
import quarvel.modules.ticker.ticker as t
for mod in (p, m, t):
    assert "/pkg/quarvel/" in mod.__file__, mod.__file__
print("sanitized modules:", *(mod.__file__ for mod in (p, m, t)), sep="\n  ")
EOF

if [ $# -eq 0 ]; then
  # Two tests start a fresh interpreter with a minimal environment of their own: without the
  # preload it cannot load a sanitized module (ASan aborts: "runtime does not come first").
  set -- tests/python tests/deep \
    --deselect "tests/python/test_matcher_state.py::test_add_order_defaults_checked_at_import" \
    --deselect "tests/python/test_matcher_receiver.py::test_process_exits_cleanly_while_the_receiver_is_busy"
fi
# --capture=sys: output of the tests is still captured, but the file descriptor 2 stays the
# terminal, so a sanitizer report written just before the process aborts is not lost with
# pytest's capture file. No pytest cache: the scratch package is thrown away afterwards.
# The preload has done its job once this interpreter runs; it is dropped from the
# environment so that programs the tests start (a headless browser) run uninstrumented.
exec "$PYTHON" -c '
import os, sys
os.environ.pop("LD_PRELOAD", None)
import pytest
sys.exit(pytest.main(sys.argv[1:]))
' -p no:cacheprovider --capture=sys -q "$@"
