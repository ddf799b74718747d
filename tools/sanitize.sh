#!/usr/bin/env bash
# Build velmor_platform.core.product_core with AddressSanitizer and
# UndefinedBehaviorSanitizer and run the whole test suite against it.
#
#   tools/sanitize.sh [pytest arguments...]
#
# Environment:
#   PYTHON          interpreter to build for and test with (default: .venv/bin/python
#                   if present, else python3.11, else python3); it must have the
#                   test dependencies installed (pip install '.[test]').
#   SANITIZE_BUILD  build directory (default: build/sanitize)
#   SANITIZE_KEEP   set to 1 to keep the temporary package tree and logs
#   SANITIZE_WITH   cmake or pip (default: cmake when cmake and ninja are on
#                   PATH or beside the interpreter, else pip)
#
# With pip, the module is built through pyproject.toml's VELMOR_SANITIZE
# option (pip fetches the build requirements as for any install).  It is dropped into a
# private copy of the package, so the release build in src/ is untouched, and
# that copy is put first on PYTHONPATH.  Every process of the run (pytest and
# the interpreters the tests start, which inherit the environment) writes any
# sanitizer report to a log file; the script fails if any report was written
# or if a test failed.
#
# ASan must be loaded before libc's allocator is bound, hence LD_PRELOAD, and
# PYTHONMALLOC=malloc routes Python objects through malloc so that ASan sees
# each one.  Leak detection is off: the interpreter keeps allocations alive
# until exit on purpose; leaks are measured by tests/test_reliability_leaks.py.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"

if [[ -z "${PYTHON:-}" ]]; then
    if [[ -x "$ROOT/.venv/bin/python" ]]; then
        PYTHON="$ROOT/.venv/bin/python"
    else
        PYTHON=$(command -v python3.11 || command -v python3)
    fi
fi
BUILD=${SANITIZE_BUILD:-$ROOT/build/sanitize}
CXX=${CXX:-g++}

WORK=$(mktemp -d "${TMPDIR:-/tmp}/velmor-sanitize.XXXXXX")
if [[ "${SANITIZE_KEEP:-0}" != 1 ]]; then
    trap 'rm -rf "$WORK"' EXIT
fi
mkdir -p "$WORK/pkg" "$WORK/logs"
start=$(date +%s)

# ---- build ---------------------------------------------------------------------
PYBIN=$(dirname "$PYTHON")
export PATH="$PATH:$PYBIN"
WITH=${SANITIZE_WITH:-}
if [[ -z "$WITH" ]]; then
    if command -v cmake >/dev/null && command -v ninja >/dev/null; then WITH=cmake; else WITH=pip; fi
fi
if [[ "$WITH" == cmake ]]; then
    echo "== building the sanitized extension with CMake in $BUILD"
    cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
        -DPython_EXECUTABLE="$PYTHON" -DVELMOR_SANITIZE=ON >"$WORK/logs/build.log" 2>&1 ||
        { cat "$WORK/logs/build.log"; exit 1; }
    cmake --build "$BUILD" >>"$WORK/logs/build.log" 2>&1 || { cat "$WORK/logs/build.log"; exit 1; }
    SO=$(ls "$BUILD"/product_core*.so)
else
    echo "== building the sanitized extension with pip"
    VELMOR_SANITIZE=ON "$PYTHON" -m pip wheel --no-deps --quiet -w "$WORK/wheel" \
        --config-settings=build-dir="$BUILD-pip" "$ROOT"
    "$PYTHON" -m zipfile -e "$WORK"/wheel/*.whl "$WORK/wheel/x"
    SO=$(ls "$WORK"/wheel/x/velmor_platform/core/product_core*.so)
fi
if ! nm -D "$SO" | grep -q __asan_init; then
    echo "error: $SO is not instrumented with AddressSanitizer" >&2
    exit 1
fi

# ---- a private package tree with the sanitized module ---------------------------
cp -r "$ROOT/src/velmor_platform" "$WORK/pkg/"
find "$WORK/pkg" -name __pycache__ -prune -exec rm -rf {} +
rm -f "$WORK"/pkg/velmor_platform/core/product_core*.so
cp "$SO" "$WORK/pkg/velmor_platform/core/"

# ---- run the suite --------------------------------------------------------------
ASAN_LIB=$("$CXX" -print-file-name=libasan.so)
UBSAN_LIB=$("$CXX" -print-file-name=libubsan.so)
SUPP="$ROOT/tools/asan.supp"
asan_options="detect_leaks=0:halt_on_error=1:abort_on_error=1:allow_user_segv_handler=0:log_path=$WORK/logs/asan"
[[ -f "$SUPP" ]] && asan_options="$asan_options:suppressions=$SUPP"

echo "== running the test suite under ASan/UBSan"
set +e
env LD_PRELOAD="$ASAN_LIB:$UBSAN_LIB" \
    PYTHONMALLOC=malloc \
    ASAN_OPTIONS="$asan_options" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$WORK/logs/ubsan" \
    PYTHONPATH="$WORK/pkg${PYTHONPATH:+:$PYTHONPATH}" \
    VELMOR_SANITIZED=1 \
    "$PYTHON" -m pytest -q -p no:cacheprovider -p no:faulthandler "$@"
status=$?
set -e

reports=$(find "$WORK/logs" -name 'asan.*' -o -name 'ubsan.*' | sort)
if [[ -n "$reports" ]]; then
    echo "== sanitizer reports:" >&2
    for f in $reports; do
        echo "---- $f" >&2
        cat "$f" >&2
    done
    status=1
fi
echo "== sanitized run: pytest exit status and reports -> $status ($(($(date +%s) - start)) s)"
exit "$status"
