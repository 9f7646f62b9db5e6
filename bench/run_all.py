"""Runs every benchmark in this folder, one after the other."""

import pathlib
import runpy
import sys

here = pathlib.Path(__file__).parent
for script in sorted(here.glob("bench_*.py")):
    print(f"== {script.name}", flush=True)
    sys.argv = [str(script)]
    runpy.run_path(str(script), run_name="__main__")
    print(flush=True)
