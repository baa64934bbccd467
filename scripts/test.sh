#!/usr/bin/env bash
# Runs the whole test suite: builds and installs kx5180 with the test tools
# and matplotlib (for the plot tests) into the project's own virtual
# environment .venv (made on the first run, reused after), compiler warnings
# treated as errors.
#
#   bash scripts/test.sh              every test, the slow ones included
#   bash scripts/test.sh --quick      leaves out the tests marked slow
#   bash scripts/test.sh -k status    other arguments go to pytest
#
# KX5180_VENV=DIR uses another virtual environment and KX5180_BUILD_DIR
# another build directory (CI runs each Python and compiler in its own).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh
kx_restore_sigint "$@"

pytest_args=()
for arg in "$@"; do
    if [ "$arg" = --quick ]; then
        pytest_args+=(-m "not slow")
    else
        pytest_args+=("$arg")
    fi
done

kx_setup "${KX5180_VENV:-.venv}"
build_dir="${KX5180_BUILD_DIR:-}"
[ -n "$build_dir" ] || build_dir="build/test-{wheel_tag}"
kx_install ".[test,plot]" "$build_dir" \
    --config-settings=cmake.define.CMAKE_COMPILE_WARNING_AS_ERROR=ON

# From inside tests/ the installed package is what gets imported, not src/.
cd tests
"$kx_py" -m pytest -q ${pytest_args[@]+"${pytest_args[@]}"}
