"""README's command lines run as written on the bench it names, so README cannot rot."""

import json
import os
import pathlib
import re
import shlex
import subprocess
import sys

from zopy import sim

ROOT = pathlib.Path(__file__).resolve().parent.parent
LAB = ROOT / "examples" / "lab.toml"
FILE_LIMIT = 64 << 20       # far more than the examples write; a runaway stops there


def readme_command_lines():
    """Every line of README's ``sh`` blocks that runs ``zopy``, as argv; but
    ``zopy scope``, which serves until Ctrl-C (tests/test_scope.py runs it)."""
    readme = (ROOT / "README.md").read_text()
    lines = [line for block in re.findall(r"```sh\n(.*?)```", readme, re.S)
             for line in block.splitlines()]
    commands = [shlex.split(line, comments=True) for line in lines if line.startswith("zopy ")]
    return [argv for argv in commands if argv[1] != "scope"]


# One interpreter runs them all (as many processes would cost a second each),
# each on the bench fresh from the file as a new `zopy` process finds it.
RUNNER = """
import contextlib, io, json, os, resource, signal, sys
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, ({limit}, {limit}))
from zopy import sim
from zopy.__main__ import main
results = []
for argv in json.loads(sys.argv[1]):
    sim.load_bench(os.environ["ZOPY_BENCH"])
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        status = main(argv[1:])
    results.append((argv, status, err.getvalue()))
print(json.dumps(results))
"""


def test_the_bench_of_the_examples_scripts_no_failure():
    sim.load_bench(LAB)
    bench = sim.describe_bench()
    assert bench["override"] == [] and not bench["realtime"]
    assert not any(instrument["unplug_after_reads"] for instrument in bench["instrument"])
    assert [i["balanced"] for i in bench["instrument"] if "B" in i["serial"]] == [True]
    assert "S" in bench["instrument"][0]["ports"]    # triggered reads fire


def test_every_command_line_runs_as_written(tmp_path):
    commands = readme_command_lines()
    assert len(commands) >= 15 and all(argv[0] == "zopy" for argv in commands)
    done = subprocess.run([sys.executable, "-P", "-c", RUNNER.format(limit=FILE_LIMIT),
                           json.dumps(commands)], cwd=tmp_path, capture_output=True, text=True,
                          timeout=300, env={**os.environ, "ZOPY_BENCH": str(LAB)})
    assert done.returncode == 0, done.stderr
    results = json.loads(done.stdout.splitlines()[-1])
    assert len(results) == len(commands)
    for argv, status, err in results:
        assert status == 0, (argv, err)
        assert "warning" not in err, (argv, err)
    assert {"block.npz", "run.h5", "spectrum.png", "spectrum.csv", "my_bench.toml"} <= \
        {path.name for path in tmp_path.iterdir()}
