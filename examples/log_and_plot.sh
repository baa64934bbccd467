#!/usr/bin/env bash
# Logs 13 seconds of a simulated supply whose load changes under it, to CSV,
# and plots the run to docs/log_example.png (the figure in the README).
#
# 5 V with a 1.2 A limit into 10 ohm (constant voltage); at 4 s the load
# drops to 2 ohm (constant current at the limit); at 8 s it becomes 4.5 ohm,
# back to constant voltage at 5.5 W, and the unit, given a low trip point
# and a short thermal time constant here, switches off on over-temperature.
# The times count from the log's opening of the line (--schedule-on-open),
# not from the simulator's start, so a slow machine draws the same figure.
#
# Needs the package with its plot extra in the active environment:
#     pip install '.[plot]'
set -euo pipefail
cd "$(dirname "$0")/.."

png="${1:-docs/log_example.png}"
csv="${KX5180_LOG_CSV:-build/log_example.csv}"
mkdir -p "$(dirname "$png")" "$(dirname "$csv")"

kx5180 sim --load-ohms 10 --load-schedule 4:2,8:4.5 --schedule-on-open --over-temp-c 34.5 --thermal-tau-s 2 \
    -- set --voltage 5 --current 1.2 --output on \
    -- log --interval 0.25 --duration 13 --csv "$csv" --plot "$png"
