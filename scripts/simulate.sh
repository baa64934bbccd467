#!/usr/bin/env bash
# Runs the Basic Usage sequence against a simulated supply: no supply needed.
# Builds and installs kx5180 into the project's own virtual environment .venv
# (made on the first run, reused after), starts kx5180-sim and drives it.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh

kx_setup .venv
kx_install ".[plot]" "build/{wheel_tag}"

"$kx_py" examples/basic_usage.py
if [ -f examples/log_and_plot.sh ]; then
    # shellcheck disable=SC1091
    . "$kx_bin/activate"
    bash examples/log_and_plot.sh
fi
