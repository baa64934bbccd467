#!/usr/bin/env bash
# Runs the Basic Usage sequence against a simulated supply, then a logged
# run with its plot: no supply needed. Builds and installs kx5180 (with its
# plot extra) into the project's own virtual environment .venv, made on the
# first run and reused after, from the build directory that test.sh uses.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh

kx_setup .venv
kx_install ".[plot]"

"$kx_py" examples/basic_usage.py
if [ -f examples/log_and_plot.sh ]; then
    # shellcheck disable=SC1091
    . "$kx_bin/activate"
    # Into build/, so that a run leaves the checkout's own figure alone.
    KX5180_LOG_CSV=build/log_example.csv bash examples/log_and_plot.sh build/log_example.png
    kx_say "the logged run is in build/log_example.csv, its plot in build/log_example.png"
fi
