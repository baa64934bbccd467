#!/usr/bin/env bash
# Compiles with mingw-w64, warnings as errors, every source file that does not
# need the Python headers: the protocol headers (through one translation unit
# that includes them all) and the simulator's portable part (src/sim/*.cpp;
# src/sim/posix/ is what only POSIX hosts build). Proves that no POSIX-only
# header or call, and no assumption of a 64-bit long, sits where Windows
# compiles. Also refuses compiler builtins anywhere in src/.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh

cxx=x86_64-w64-mingw32-g++-posix
command -v "$cxx" >/dev/null 2>&1 || cxx=x86_64-w64-mingw32-g++
command -v "$cxx" >/dev/null 2>&1 || kx_system_packages mingw-w64
command -v "$cxx" >/dev/null 2>&1 || cxx=x86_64-w64-mingw32-g++-posix

out=build/windows-compile
rm -rf "$out"
mkdir -p "$out"
for header in src/protocol/*.hpp; do
    printf '#include "protocol/%s"\n' "$(basename "$header")"
done >"$out/protocol.cpp"

# What CMake builds with, from where CMake takes it: the standard from
# CMakeLists.txt, the warnings from the list it reads, the version from
# pyproject.toml. -O2 for the warnings that need the optimiser's analysis.
standard="$(sed -n 's/^set(CMAKE_CXX_STANDARD \([0-9][0-9]*\))$/\1/p' CMakeLists.txt)"
version="$(sed -n 's/^version = "\(.*\)"$/\1/p' pyproject.toml)"
[ -n "$standard" ] || kx_die "no 'set(CMAKE_CXX_STANDARD N)' line in CMakeLists.txt"
[ -n "$version" ] || kx_die "no 'version = \"...\"' line in pyproject.toml"
flags=("-std=c++$standard" -O2 -Werror -Isrc "-DKX5180_VERSION=\"$version\"")
while IFS= read -r line; do
    case "$line" in -*) flags+=("$line") ;; esac
done <cmake/warnings-gcc.txt
[ ${#flags[@]} -gt 5 ] || kx_die "no warnings in cmake/warnings-gcc.txt"
failed=0
shopt -s nullglob
# MSVC has none of GCC's and Clang's builtins.
if grep -n '__builtin_' src/*/*.cpp src/*/*.hpp src/*/*/*.cpp src/*/*/*.hpp; then
    echo "windows-compile: compiler builtins above do not exist in MSVC"
    failed=1
fi
for source in "$out/protocol.cpp" src/sim/*.cpp; do
    if "$cxx" "${flags[@]}" -c "$source" -o "$out/$(basename "$source" .cpp).o"; then
        echo "windows-compile: $source ok"
    else
        echo "windows-compile: $source FAILED"
        failed=1
    fi
done
exit "$failed"
