# shellcheck shell=bash
# Sourced by the scripts in this directory. Finds a Python (3.11 or newer;
# PYTHON=/path/to/python picks one), makes or reuses a virtual environment and
# brings the system packages that the build and the tests need: installed with
# apt-get when running as root, otherwise one line saying how, and a stop.
#
# Nothing is ever installed into the interpreter that runs the scripts: on
# Debian and Ubuntu it is externally managed, and elsewhere it is the user's.

kx_script="$(basename "$0")"

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
        { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null; } ||
            kx_die "apt-get could not install $*"
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
        "$python" -m venv "$dir" || kx_die "could not make the virtual environment $dir"
        kx_bin="$dir/bin"
        [ -d "$dir/Scripts" ] && kx_bin="$dir/Scripts"
    fi
    kx_py="$kx_bin/python"
}

# kx_install SPEC BUILD_DIR [PIP ARGS...]: builds and installs the project
# into the virtual environment. The build tools live in the environment
# itself and the build directory is kept, so a rerun recompiles only what
# changed (pip's isolated build would start afresh every time).
kx_install() {
    local spec="$1" build_dir="$2"
    shift 2
    local tools=("cmake>=3.24" ninja) line
    while IFS= read -r line; do
        [ -n "$line" ] && tools+=("$line")
    done < <("$kx_py" -c 'import tomllib
print("\n".join(tomllib.load(open("pyproject.toml", "rb"))["build-system"]["requires"]))')
    kx_say "building and installing $spec into ${kx_bin%/*} (a minute or two the first time)"
    "$kx_py" -m pip install --quiet --disable-pip-version-check "${tools[@]}" ||
        kx_die "could not install the build tools into ${kx_bin%/*}"
    "$kx_py" -m pip install --quiet --disable-pip-version-check --no-build-isolation \
        --config-settings=build-dir="$build_dir" "$@" "$spec" ||
        kx_die "could not build and install $spec"
}
