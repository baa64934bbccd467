#!/usr/bin/env bash
# clang-format and clang-tidy over src/ (the checks are in .clang-tidy).
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v clang-tidy >/dev/null 2>&1 || ! command -v clang-format >/dev/null 2>&1; then
    apt-get update -qq && apt-get install -y -qq clang-tidy clang-format >/dev/null
fi
python3 -m pip install --quiet --disable-pip-version-check pybind11 cmake ninja
clang-format --dry-run -Werror src/*/*.cpp src/*/*.hpp
cmake -S . -B build/tidy -G Ninja -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
    -Dpybind11_DIR="$(python3 -m pybind11 --cmakedir)" >/dev/null
if ! clang-tidy -p build/tidy --quiet src/*/*.cpp >build/tidy/report.txt 2>&1; then
    grep -v -E '^[0-9]+ warnings generated\.$' build/tidy/report.txt
    exit 1
fi
echo "lint: clean"
