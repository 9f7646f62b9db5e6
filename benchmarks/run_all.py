"""Runs every benchmark in this folder at full size, one after the other, and
prints one table of their ratios against their goals (not the one that needs
a browser, scope_in_browser.py, which says how to run it). Each benchmark
also runs with ``--tiny``, as tests/test_benchmarks.py runs them."""

import pathlib
import runpy
import sys
import traceback

here = pathlib.Path(__file__).parent
sys.path.insert(0, str(here))
import timing  # noqa: E402  (the benchmarks' own helpers, beside this file)

NOT_BENCHMARKS = {"run_all.py", "timing.py", "scope_in_browser.py"}


def benchmarks():
    return sorted(p for p in here.glob("*.py") if p.name not in NOT_BENCHMARKS)


def table(results):
    width = max((len(what) for _, what, _, _ in results), default=10)
    lines = [f"{'benchmark':14s} {'ratio':{width}s} {'value':>9s}  goal"]
    for script, what, value, goal in results:
        verdict = {None: "", True: "ok", False: "MISSED"}[timing.met(value, goal)]
        lines.append(f"{script:14s} {what:{width}s} {value:9.3f}  {goal or 'for information':16s} {verdict}")
    return "\n".join(lines)


def main():
    failed = []
    for script in benchmarks():
        print(f"== {script.name}", flush=True)
        sys.argv = [str(script)]
        try:
            runpy.run_path(str(script), run_name="__main__")
        except (Exception, SystemExit):     # one broken benchmark does not hide the others' figures
            traceback.print_exc()
            failed.append(script.name)
        print(flush=True)
    print(table(timing.RESULTS))
    if failed:
        print(f"failed: {', '.join(failed)}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
