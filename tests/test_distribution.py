"""What the installed wheel puts into site-packages: the files listed in the
distribution's RECORD are exactly what the wheel carried."""

import importlib.metadata

import pytest

DIST = importlib.metadata.distribution("kx5180")
FILES = DIST.files or []


def top_level(path):
    # kx5180.cpython-311-x86_64-linux-gnu.so, kx5180.cp311-win_amd64.pyd
    return path.parts[0].split(".")[0] if len(path.parts) == 1 else path.parts[0]


@pytest.mark.skipif(not FILES, reason="installed without a RECORD")
def test_only_the_driver_its_toolkit_and_its_stubs_are_importable():
    inside = [f for f in FILES if f.parts[0] != ".." and not f.parts[0].endswith(".dist-info")]
    assert {top_level(f) for f in inside} == {"kx5180", "kx5180_lab", "kx5180-stubs"}


@pytest.mark.skipif(not FILES, reason="installed without a RECORD")
def test_the_stubs_are_a_stub_only_package():
    stubs = sorted(f.name for f in FILES if f.parts[0] == "kx5180-stubs" and f.suffix != ".pyc")
    assert stubs == ["__init__.pyi"]


def test_the_licence_travels_with_the_wheel():
    licence = DIST.read_text("licenses/LICENSE") or DIST.read_text("LICENSE")
    assert licence is not None and licence.startswith("MIT License")
    assert "Copyright (c) 2026 kx5180 developers" in licence


@pytest.mark.skipif(not FILES, reason="installed without a RECORD")
def test_the_toolkit_is_marked_typed():
    assert any(f.parts == ("kx5180_lab", "py.typed") for f in FILES)


def test_every_part_reports_the_distributions_version():
    import shutil
    import subprocess
    import sysconfig

    import kx5180
    import kx5180_lab

    assert kx5180.__version__ == kx5180_lab.__version__ == DIST.version
    for program in ("kx5180", "kx5180-sim", "kx5180-demo"):
        path = shutil.which(program, path=sysconfig.get_path("scripts")) or shutil.which(program)
        if path is None:
            continue  # kx5180-sim is not built on Windows
        result = subprocess.run([path, "--version"], capture_output=True, text=True, timeout=30)
        assert (result.returncode, result.stdout) == (0, f"{program} {DIST.version}\n"), result.stderr
