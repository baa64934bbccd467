#!/usr/bin/env bash
# Builds and installs kx5180 (warnings are errors here), brings what the
# tests need, and runs the whole test suite. Works on a fresh machine.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v lsof >/dev/null 2>&1; then
    apt-get update -qq && apt-get install -y -qq lsof >/dev/null
fi
python3 -m pip install --quiet --disable-pip-version-check \
    --config-settings=cmake.define.KX5180_WERROR=ON ".[test]"
# Run from outside the source tree so that the installed module is tested.
cd tests
python3 -m pytest -q "$@"
