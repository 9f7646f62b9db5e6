"""The examples and the main job run on the virtual instrument."""

import pathlib
import subprocess
import sys

import pytest

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"


def run(*args):
    return subprocess.run([sys.executable, "-P", *map(str, args)], capture_output=True,
                          text=True, timeout=120)


def test_adc_selftest_passes_on_a_healthy_instrument():
    result = run(EXAMPLES / "adc_selftest.py")
    assert result.returncode == 0, result.stdout + result.stderr
    assert "ADC self-test passed" in result.stdout


def test_first_light_reports_the_power_on_the_bench():
    result = run(EXAMPLES / "first_light.py")
    assert result.returncode == 0, result.stderr
    mean = next(line for line in result.stdout.splitlines() if line.startswith("Mean power"))
    assert float(mean.split()[2]) == pytest.approx(50.0, abs=0.05)


def test_main_job_without_an_instrument_says_so():
    code = ("from zopy import sim; sim.detach_all(); from zopy.__main__ import main; "
            "raise SystemExit(main([]))")
    result = run("-c", code)
    assert result.returncode == 1
    assert "no instrument found (libzo error 50); attached: none" in result.stderr


def test_reading_into_buffers_reports_every_block():
    result = run(EXAMPLES / "read_into_buffers.py")
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    powers = [float(line.split()[2]) for line in lines if line.startswith("block ")]
    highs = [line.split()[-1] for line in lines if line.startswith("stream block ")]
    assert powers == pytest.approx([20.0] * 5, abs=0.05) and highs == ["25%"] * 5
