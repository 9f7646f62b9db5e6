"""The type stubs: they match the runtime, and the package, the examples and a
program using the everyday-use API pass mypy --strict (skipped where mypy is
not installed, as in the numpy 1.26 environment)."""

import pathlib
import subprocess
import sys

import pytest

pytest.importorskip("mypy")

ROOT = pathlib.Path(__file__).resolve().parent.parent


def mypy(tmp_path, *args):
    cache = [] if args[0] == "mypy.stubtest" else ["--cache-dir", str(tmp_path)]
    result = subprocess.run([sys.executable, "-m", *args, *cache],
                            capture_output=True, text=True, timeout=300, cwd=tmp_path)
    return result.returncode, result.stdout + result.stderr


def test_stubs_match_the_runtime(tmp_path):
    status, output = mypy(tmp_path, "mypy.stubtest", "zopy.zopy")
    assert status == 0, output


def test_examples_and_the_new_api_pass_strict_checking(tmp_path):
    status, output = mypy(tmp_path, "mypy", "--strict", str(ROOT / "examples"),
                          str(ROOT / "tests" / "typing"))
    assert status == 0, output


def test_the_package_passes_strict_checking(tmp_path):
    status, output = mypy(tmp_path, "mypy", "--strict", str(ROOT / "zopy"))
    assert status == 0, output
