#!/usr/bin/env bash
# Builds the extension and the simulator with AddressSanitizer and
# UndefinedBehaviorSanitizer into a virtual environment of their own
# (build/sanitize-venv, or KX5180_SANITIZE_VENV) and runs the whole test suite
# there. Any sanitizer report fails the run. Linux with GCC.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh
kx_restore_sigint "$@"

kx_setup "${KX5180_SANITIZE_VENV:-build/sanitize-venv}"
KX5180_BUILD_DIR=build/sanitize kx_install ".[test]" cmake.define.KX5180_SANITIZE=ON

# The interpreter itself is not instrumented, so the runtime is preloaded;
# leak checking is off because the interpreter keeps its objects at exit
# (the leak tests measure the driver's own memory instead).
asan="$(g++ -print-file-name=libasan.so)"
ubsan="$(g++ -print-file-name=libubsan.so)"
export LD_PRELOAD="$asan:$ubsan"
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:halt_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export PATH="$kx_bin:$PATH"
# Tells the leak tests that resident memory is the sanitizer's to manage.
export KX5180_SANITIZED=1
# In several processes, as test.sh runs them (KX5180_TEST_WORKERS).
workers=()
[ "${KX5180_TEST_WORKERS:-4}" = 0 ] || workers=(-n "${KX5180_TEST_WORKERS:-4}" --dist loadfile)
cd tests
"$kx_py" -m pytest -q -p no:cacheprovider ${workers[@]+"${workers[@]}"} "$@"
