#!/usr/bin/env bash
# Runs the whole test suite: builds and installs kx5180 with the test tools
# and matplotlib (for the plot tests) into the project's own virtual
# environment .venv (made on the first run, reused after), compiler warnings
# treated as errors. The build directory is simulate.sh's too.
#
#   bash scripts/test.sh              every test, the slow ones included
#   bash scripts/test.sh --quick      leaves out the tests marked slow
#   bash scripts/test.sh -k status    other arguments go to pytest
#
# KX5180_VENV=DIR uses another virtual environment and KX5180_BUILD_DIR
# another build directory (CI runs each Python and compiler in its own);
# KX5180_SIM=PATH takes that kx5180-sim instead of building one. The tests
# run in KX5180_TEST_WORKERS processes (default 4; most of their time is
# spent waiting on simulated serial lines), a test module to each in turn;
# 0 runs them all in this one.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh
kx_restore_sigint "$@"

pytest_args=()
workers="${KX5180_TEST_WORKERS:-4}"
[ "$workers" = 0 ] || pytest_args+=(-n "$workers" --dist loadfile)
for arg in "$@"; do
    if [ "$arg" = --quick ]; then
        pytest_args+=(-m "not slow")
    else
        pytest_args+=("$arg")
    fi
done

kx_setup "${KX5180_VENV:-.venv}"
# The dashboard's test drives a real browser: brought in as root, else that
# one test is skipped and says why.
if ! command -v chromedriver >/dev/null 2>&1; then
    if kx_can_apt; then
        kx_system_packages chromium chromium-driver
    else
        kx_say "no chromium and chromium-driver: the dashboard's browser test will be skipped"
    fi
fi
# Network lines are tested through ser2net on loopback: brought in as root,
# else those tests are skipped and say why.
if ! command -v ser2net >/dev/null 2>&1 && ! kx_windows; then
    if kx_can_apt; then
        kx_system_packages ser2net
    else
        kx_say "no ser2net: the network line tests will be skipped"
    fi
fi
# The lab's systems the server joins: Prometheus (with promtool) and an MQTT
# broker, each started by its test on loopback and stopped after it; only
# their programs are used (a service the package may start is not).
if ! command -v promtool >/dev/null 2>&1 || ! command -v mosquitto >/dev/null 2>&1; then
    if kx_can_apt; then
        kx_system_packages prometheus mosquitto
    else
        kx_say "no prometheus and mosquitto: the tests against them will be skipped"
    fi
fi
kx_install ".[test,plot]"

# From inside tests/ the installed package is what gets imported, not src/.
cd tests
"$kx_py" -m pytest -q ${pytest_args[@]+"${pytest_args[@]}"}
