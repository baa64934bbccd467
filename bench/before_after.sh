#!/usr/bin/env bash
# A benchmark of an earlier revision's driver and of the working tree's,
# measured in one run on this machine, side by side:
#   bash bench/before_after.sh REV bench/run.py --only latency --only shared
#   bash bench/before_after.sh REV bench/methods.py --rounds 9
# Each side is built into a virtual environment of its own under build/; the
# benchmark script itself is the working tree's for both.
set -euo pipefail
cd "$(dirname "$0")/.."
rev="${1:?usage: bench/before_after.sh REV BENCH_SCRIPT [options]}"
script="${2:?usage: bench/before_after.sh REV BENCH_SCRIPT [options]}"
shift 2
python="${PYTHON:-python3}"
tree="build/before-$rev"
rm -rf "$tree"
git worktree add --detach -f "$tree" "$rev" >/dev/null
trap 'git worktree remove --force "$tree" >/dev/null 2>&1 || true' EXIT
for side in before after; do
    venv="build/bench-$side-venv"
    [ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
    src="."
    [ "$side" = before ] && src="$tree"
    "$venv/bin/python" -m pip install --quiet --disable-pip-version-check "$src"
done
for side in before after; do
    echo "## $side ($([ "$side" = before ] && echo "$rev" || echo "working tree"))"
    PATH="$PWD/build/bench-$side-venv/bin:$PATH" "build/bench-$side-venv/bin/python" "$script" "$@"
done
