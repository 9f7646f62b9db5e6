"""Every benchmark runs at a tiny size (``--tiny``), so that an import or an API
change breaks a test rather than a benchmark nobody runs. Nothing is timed
here; the ratios they print at full size are for ``make benchmark``.

scope_in_browser.py is left out: it needs Chromium and measures pages for
seconds at a time (it has no tiny size); scope_frames.py runs the scope's
frame making without a browser."""

import os
import pathlib
import resource
import signal
import subprocess
import sys

import pytest

BENCHMARKS = pathlib.Path(__file__).resolve().parent.parent / "benchmarks"
NEEDS_A_BROWSER = {"scope_in_browser.py"}
FILE_LIMIT = 64 << 20      # a benchmark's files at tiny size are far smaller


def scripts():
    sys.path.insert(0, str(BENCHMARKS))
    try:
        import run_all
    finally:
        sys.path.remove(str(BENCHMARKS))
    return [p.name for p in run_all.benchmarks()]


def limited():
    """In the benchmark's process: files stop at FILE_LIMIT (EFBIG), so nothing fills the disk."""
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (FILE_LIMIT, FILE_LIMIT))


def test_run_all_runs_every_benchmark_but_the_browsers():
    on_disk = {p.name for p in BENCHMARKS.glob("*.py")} - {"run_all.py", "timing.py"}
    assert set(scripts()) == on_disk - NEEDS_A_BROWSER


@pytest.mark.parametrize("script", scripts())
def test_benchmark_runs_at_tiny_size(script, tmp_path):
    # run as make benchmark runs them (the script's folder on the path), temporary files in tmp_path
    result = subprocess.run([sys.executable, str(BENCHMARKS / script), "--tiny"], cwd=tmp_path,
                            capture_output=True, text=True, timeout=600, preexec_fn=limited,
                            env={**os.environ, "TMPDIR": str(tmp_path)})
    assert result.returncode == 0, result.stdout + result.stderr
    assert "Traceback" not in result.stderr, result.stderr


def test_the_table_of_ratios_says_which_goals_are_met():
    sys.path.insert(0, str(BENCHMARKS))
    try:
        import run_all
    finally:
        sys.path.remove(str(BENCHMARKS))
    text = run_all.table([("welch", "scipy / zopy", 4.5, ">= 3"), ("record", "record / loop", 1.25, "<= 1.2"),
                          ("calls", "overhead", 0.9, None)])
    lines = text.splitlines()
    assert lines[1].endswith("ok") and lines[2].endswith("MISSED")
    assert "for information" in lines[3] and not lines[3].rstrip().endswith(("ok", "MISSED"))
