# shellcheck shell=bash
# Sourced by the scripts in this directory. Finds a Python (3.11 or newer;
# PYTHON=/path/to/python picks one), makes or reuses a virtual environment and
# brings the system packages that the build and the tests need: installed with
# apt-get when running as root, otherwise one line saying how, and a stop.
#
# Nothing is ever installed into the interpreter that runs the scripts: on
# Debian and Ubuntu it is externally managed, and elsewhere it is the user's.

kx_script="$(basename "$0")"

# Every CMake build that the scripts start compiles through ccache where it
# is installed (CMake takes the launcher from the environment), so a build
# directory made anew, another checkout or another interpreter recompiles
# only what it has never seen. Paths below the checkout count as relative.
if [ -z "${CMAKE_CXX_COMPILER_LAUNCHER:-}" ] && command -v ccache >/dev/null 2>&1; then
    export CMAKE_CXX_COMPILER_LAUNCHER=ccache
    export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$PWD}"
fi

# kx_restore_sigint "$@": the tests deliver Ctrl-C (SIGINT) to the programs
# they start, but a shell that runs a script in the background hands SIGINT
# down ignored, to every child, and bash cannot undo that itself. The
# scripts that run tests start over once with it restored (where env can).
kx_restore_sigint() {
    if [ -z "${KX5180_SIGINT_RESTORED:-}" ] && env --default-signal=INT true >/dev/null 2>&1; then
        export KX5180_SIGINT_RESTORED=1
        exec env --default-signal=INT bash "$PWD/scripts/$kx_script" "$@"
    fi
}

kx_die() {
    printf '%s: %s\n' "$kx_script" "$*" >&2
    exit 1
}

kx_say() {
    printf '%s: %s\n' "$kx_script" "$*"
}

kx_windows() {
    case "$(uname -s)" in MINGW* | MSYS* | CYGWIN*) return 0 ;; esac
    return 1
}

kx_can_apt() {
    [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1
}

# kx_system_packages PACKAGE... : install them as root, else stop and say how.
kx_system_packages() {
    [ $# -gt 0 ] || return 0
    if kx_can_apt; then
        kx_say "installing $* with apt-get"
        # The tests use the programs alone, each started on loopback: a
        # service that a package would start (prometheus listening on every
        # address, say) is kept from starting, as Debian's policy-rc.d allows.
        local policy=/usr/sbin/policy-rc.d placed=""
        if [ ! -e "$policy" ]; then
            printf '#!/bin/sh\nexit 101\n' >"$policy" && chmod +x "$policy" && placed=1
        fi
        local rc=0
        { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null; } || rc=$?
        [ -z "$placed" ] || rm -f "$policy"
        [ $rc = 0 ] || kx_die "apt-get could not install $*"
    elif command -v apt-get >/dev/null 2>&1; then
        kx_die "needs $*: run 'sudo apt-get install $*' and try again"
    else
        kx_die "needs $* (with your system's package manager) and try again"
    fi
}

# The interpreter that makes virtual environments: $PYTHON, else python3
# (python where there is no python3, as on Windows).
kx_base_python() {
    local py="${PYTHON:-}"
    if [ -z "$py" ]; then
        py=python3
        command -v python3 >/dev/null 2>&1 || py=python
    fi
    command -v "$py" >/dev/null 2>&1 ||
        kx_die "no Python found: install Python 3.11 or newer, or give one as PYTHON=/path/to/python3"
    "$py" -c 'import sys; sys.exit(sys.version_info < (3, 11))' 2>/dev/null ||
        kx_die "$("$py" -V 2>&1) is too old: kx5180 needs Python 3.11 or newer (give one as PYTHON=/path/to/python3)"
    kx_base="$py"
    kx_base_version="$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
}

# kx_same_python VENV_PYTHON: false when PYTHON names an interpreter of
# another version than the environment's, which is then made anew with it.
kx_same_python() {
    [ -n "${PYTHON:-}" ] || return 0
    local want have
    want="$("$PYTHON" -c 'import sys; print(sys.version_info[:2])' 2>/dev/null)" || return 0
    have="$("$1" -c 'import sys; print(sys.version_info[:2])')"
    [ "$want" = "$have" ]
}

# kx_setup DIR [PACKAGE...]: makes DIR a working virtual environment (reused
# when it is one), sets kx_py to its interpreter and kx_bin to its scripts
# folder, and makes sure of what building the extension and running the
# tests need from the system: Python's headers, a C++ compiler, lsof (the
# driver's port check on Linux and macOS) and the packages given. Whatever is
# missing is named in one line (or installed in one go as root).
kx_setup() {
    local dir="$1"
    shift
    local missing=("$@") python version
    case "$dir" in /*) ;; *) dir="$PWD/$dir" ;; esac
    kx_bin="$dir/bin"
    [ -d "$dir/Scripts" ] && kx_bin="$dir/Scripts"
    if "$kx_bin/python" -m pip --version >/dev/null 2>&1 && kx_same_python "$kx_bin/python"; then
        python="$kx_bin/python"
    else
        kx_base_python
        python="$kx_base"
        # Debian and Ubuntu ship venv's pip bootstrap separately.
        "$python" -c 'import ensurepip, venv' >/dev/null 2>&1 || missing+=("python$kx_base_version-venv")
    fi
    version="$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
    if ! "$python" -c 'import os, sys, sysconfig
sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))'; then
        missing+=("python$version-dev")
    fi
    if ! kx_windows; then
        if ! command -v "${CXX:-c++}" >/dev/null 2>&1 && ! command -v g++ >/dev/null 2>&1 &&
            ! command -v clang++ >/dev/null 2>&1; then
            missing+=(g++)
        fi
        command -v lsof >/dev/null 2>&1 || missing+=(lsof)
    fi
    # (bash 3.2, as on macOS, takes an empty "${missing[@]}" for unset)
    kx_system_packages ${missing[@]+"${missing[@]}"}

    kx_find_uv "$python"
    if [ "$python" != "$kx_bin/python" ]; then
        if [ -e "$dir" ]; then
            if "$kx_bin/python" -m pip --version >/dev/null 2>&1; then
                kx_say "$dir has $("$kx_bin/python" -V 2>&1), PYTHON=$PYTHON is $("$python" -V 2>&1): making it anew"
            else
                kx_say "$dir is not a working virtual environment: making it anew"
            fi
            rm -rf "$dir"
        fi
        kx_say "making the virtual environment $dir with $("$python" -V 2>&1)"
        if [ -n "$kx_uv" ]; then
            # --seed: pip too, for whoever works in the environment by hand.
            "$kx_uv" venv --quiet --seed --python "$python" "$dir" ||
                kx_die "could not make the virtual environment $dir"
        else
            "$python" -m venv "$dir" || kx_die "could not make the virtual environment $dir"
        fi
        kx_bin="$dir/bin"
        [ -d "$dir/Scripts" ] && kx_bin="$dir/Scripts"
    fi
    kx_py="$kx_bin/python"
}

# kx_find_uv PYTHON: sets kx_uv to uv, which makes the environments and
# installs into them (in seconds, from one cache for all of them): $UV, else
# the uv on PATH, else one installed from PyPI into build/uv-venv on first
# use. Where none can be had (or KX5180_UV=0), kx_uv is empty and venv and
# pip do the same, only slower.
kx_find_uv() {
    kx_uv=""
    [ "${KX5180_UV:-1}" != 0 ] || return 0
    if [ -n "${UV:-}" ]; then
        kx_uv="$UV"
        return 0
    fi
    if command -v uv >/dev/null 2>&1; then
        kx_uv="$(command -v uv)"
        return 0
    fi
    local dir="$PWD/build/uv-venv" bin
    bin="$dir/bin"
    kx_windows && bin="$dir/Scripts"
    if ! "$bin/uv" --version >/dev/null 2>&1; then
        rm -rf "$dir"
        mkdir -p "$PWD/build"
        if ! { "$1" -m venv "$dir" && "$bin/python" -m pip install --quiet --disable-pip-version-check uv; } \
            >"$PWD/build/uv-install.log" 2>&1; then
            kx_say "could not install uv from PyPI (build/uv-install.log says why): using venv and pip instead"
            rm -rf "$dir"
            return 0
        fi
    fi
    kx_uv="$bin/uv"
}

# kx_pip ARGS...: pip install ARGS into the environment, through uv where
# there is one.
kx_pip() {
    if [ -n "$kx_uv" ]; then
        "$kx_uv" pip install --quiet --python "$kx_py" "$@"
    else
        "$kx_py" -m pip install --quiet --disable-pip-version-check "$@"
    fi
}

# kx_install SPEC [SETTING...]: builds and installs the project into the
# virtual environment. The build tools live in the environment itself and
# the build directory is kept (KX5180_BUILD_DIR, else build/{wheel_tag}, one
# for every script that builds this way), so a rerun recompiles only what
# changed (an isolated build would start afresh every time). A plain `pip
# install .` has a directory of its own (pyproject.toml's build-dir): its
# tools come from a new isolated environment each time, and sharing this
# one would make each rebuild everything after the other. Warnings are
# errors (KX5180_WERROR=0 lets a newer compiler's new warning pass). Each
# SETTING goes to the build backend (cmake.define.NAME=VALUE and the like).
#
# KX5180_SIM=/path/to/kx5180-sim builds the extension alone and puts that
# simulator into the environment: it does not depend on Python, so one
# build serves every interpreter.
kx_install() {
    local spec="$1" build_dir="${KX5180_BUILD_DIR:-}"
    shift
    [ -n "$build_dir" ] || build_dir="build/{wheel_tag}"
    local tools=("cmake>=3.24" ninja) line settings=("$@")
    while IFS= read -r line; do
        [ -n "$line" ] && tools+=("$line")
    done < <("$kx_py" -c 'import tomllib
print("\n".join(tomllib.load(open("pyproject.toml", "rb"))["build-system"]["requires"]))')
    settings+=("build-dir=$build_dir")
    [ "${KX5180_WERROR:-1}" = 0 ] || settings+=("cmake.define.CMAKE_COMPILE_WARNING_AS_ERROR=ON")
    # Given every time: the build directory's cache would keep the last one.
    if [ -n "${KX5180_SIM:-}" ]; then
        [ -x "$KX5180_SIM" ] || kx_die "KX5180_SIM=$KX5180_SIM is not an executable kx5180-sim"
        settings+=("cmake.define.KX5180_SIMULATOR=OFF")
    elif ! kx_windows; then
        settings+=("cmake.define.KX5180_SIMULATOR=ON")
    fi
    # The plain build's first time measured on a new clone, ccache empty:
    # 16 to 20 s for this step on an idle 2-core machine (docs/development.md).
    local first="the first time about 20 s on an idle 2-core machine, plus downloads; then only what changed"
    [ $# -eq 0 ] || first="a build directory of its own, kept for the next run"
    kx_say "building and installing $spec into ${kx_bin%/*} ($first)"
    local started=$SECONDS
    kx_pip "${tools[@]}" || kx_die "could not install the build tools into ${kx_bin%/*}"
    if [ -n "$kx_uv" ]; then
        # uv would reuse its cached wheel of the checkout.
        "$kx_uv" pip install --quiet --python "$kx_py" --no-build-isolation --reinstall-package kx5180 \
            "${settings[@]/#/--config-setting=}" "$spec" ||
            kx_die "could not build and install $spec"
    else
        "$kx_py" -m pip install --quiet --disable-pip-version-check --no-build-isolation \
            "${settings[@]/#/--config-settings=}" "$spec" ||
            kx_die "could not build and install $spec"
    fi
    if [ -n "${KX5180_SIM:-}" ]; then
        cp "$KX5180_SIM" "$kx_bin/" || kx_die "could not copy $KX5180_SIM into $kx_bin"
    fi
    kx_say "built and installed in $((SECONDS - started)) s"
}
