#!/usr/bin/env bash
# Builds the extension and the simulator with AddressSanitizer and
# UndefinedBehaviorSanitizer into a virtual environment of their own and runs
# the whole test suite there. Any sanitizer report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v lsof >/dev/null 2>&1; then
    apt-get update -qq && apt-get install -y -qq lsof >/dev/null
fi
venv="${KX5180_SANITIZE_VENV:-build/sanitize-venv}"
python3 -m venv "$venv"
"$venv/bin/python" -m pip install --quiet --disable-pip-version-check \
    --config-settings=cmake.define.KX5180_SANITIZE=ON \
    --config-settings=cmake.define.KX5180_WERROR=ON \
    --config-settings=build-dir=build/sanitize \
    ".[test]"

# The interpreter itself is not instrumented, so the runtime is preloaded;
# leak checking is off because the interpreter keeps its objects at exit
# (the leak tests measure the driver's own memory instead).
asan="$(g++ -print-file-name=libasan.so)"
ubsan="$(g++ -print-file-name=libubsan.so)"
export LD_PRELOAD="$asan:$ubsan"
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:halt_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export PATH="$PWD/$venv/bin:$PATH"
# Tells the leak tests that resident memory is the sanitizer's to manage.
export KX5180_SANITIZED=1
cd tests
python -m pytest -q -p no:cacheprovider "$@"
