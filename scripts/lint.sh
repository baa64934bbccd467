#!/usr/bin/env bash
# ruff over the Python (lint and format; its settings are in pyproject.toml),
# then clang-format and clang-tidy over src/ (the checks are in .clang-tidy).
# ruff and the build tools come into a virtual environment of their own
# (build/lint-venv).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh

tools=()
command -v clang-tidy >/dev/null 2>&1 || tools+=(clang-tidy)
command -v clang-format >/dev/null 2>&1 || tools+=(clang-format)
kx_setup build/lint-venv ${tools[@]+"${tools[@]}"}
# ruff's minor version fixes its formatting style: a newer one is taken
# on purpose, with the tree reformatted in the same change.
kx_pip pybind11 cmake ninja "ruff>=0.17,<0.18" ||
    kx_die "could not install pybind11, cmake, ninja and ruff into build/lint-venv"

"$kx_bin/ruff" check --no-cache .
"$kx_bin/ruff" format --no-cache --check .

shopt -s nullglob
clang-format --dry-run -Werror src/*/*.cpp src/*/*.hpp src/*/*/*.cpp src/*/*/*.hpp
# One compile command per source (no unity build), as clang-tidy reads them.
"$kx_bin/cmake" -S . -B build/tidy -G Ninja -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DKX5180_UNITY_BUILD=OFF \
    -DCMAKE_MAKE_PROGRAM="$kx_bin/ninja" -DPython_EXECUTABLE="$kx_py" \
    -Dpybind11_DIR="$("$kx_py" -m pybind11 --cmakedir)" >/dev/null
if ! clang-tidy -p build/tidy --quiet src/*/*.cpp src/*/*/*.cpp >build/tidy/report.txt 2>&1; then
    grep -v -E '^[0-9]+ warnings generated\.$' build/tidy/report.txt
    exit 1
fi
echo "lint: clean"
