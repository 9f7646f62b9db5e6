"""Runs every benchmark in this folder, one after the other (not the one that
needs a browser, scope_in_browser.py, which says how to run it)."""

import pathlib
import runpy
import sys

here = pathlib.Path(__file__).parent
NOT_BENCHMARKS = {"run_all.py", "timing.py", "scope_in_browser.py"}
for script in sorted(p for p in here.glob("*.py") if p.name not in NOT_BENCHMARKS):
    print(f"== {script.name}", flush=True)
    sys.argv = [str(script)]
    runpy.run_path(str(script), run_name="__main__")
    print(flush=True)
