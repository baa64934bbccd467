#!/usr/bin/env bash
# Installs kx5180 and drives a simulated supply through the Basic Usage
# sequence. Works on a fresh machine: no supply needed.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v lsof >/dev/null 2>&1; then
    apt-get update -qq && apt-get install -y -qq lsof >/dev/null
fi
python3 -m pip install --quiet --disable-pip-version-check .
cd examples
python3 basic_usage.py
