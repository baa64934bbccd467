#!/usr/bin/env bash
# The main job against a simulated supply, no supply needed: the supply set
# up and its status table, a short log while the load changes, and its plot;
# then the driver's own Basic Usage sequence. Builds and installs kx5180
# (with its plot extra) into the project's own virtual environment .venv,
# made on the first run and reused after.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh

kx_setup .venv
kx_install ".[plot]"

# Into build/, so that a run leaves the checkout's own figure alone.
out=build/simulate
mkdir -p "$out"
kx_say "a simulated supply, 10 ohm load: 5 V at most 1.2 A, then 3 s logged while the load drops to 2 ohm"
# The load schedule counts from each command's opening of the line, so the
# change lands at 1.5 s of the log however long the commands took to start.
"$kx_bin/kx5180" sim --load-ohms 10 --load-schedule 1.5:2 --schedule-on-open \
    -- set --voltage 5 --current 1.2 --output on \
    -- status \
    -- log --interval 0.25 --duration 3 --csv "$out/log.csv" --plot "$out/log.png" \
    -- set --output off --local
kx_say "the log is in $out/log.csv, its plot in $PWD/$out/log.png"

kx_say "the driver's own Basic Usage sequence (examples/basic_usage.py):"
"$kx_py" examples/basic_usage.py
