"""The fuzzer (tests/fuzzing.py) in a subprocess: a crash or a hang is a
failure that shows the sequence of operations that caused it.

The suite runs a bounded number of calls (ZOPY_FUZZ_CALLS, default 100 000);
`make fuzz` runs a million and more.
"""

import os
import pathlib
import subprocess
import sys

CALLS = int(os.environ.get("ZOPY_FUZZ_CALLS", "100000"))
FUZZER = pathlib.Path(__file__).with_name("fuzzing.py")


def last_program(reproducer):
    """Where the failing program is kept, and how to run it again."""
    if not reproducer.exists():
        return "(none written)"
    saved = pathlib.Path.cwd() / "fuzz-failure.txt"
    saved.write_text(reproducer.read_text())
    return f"{saved}; replay with: python -P {FUZZER} --replay {saved}"


def test_hostile_calls_raise_only_documented_exceptions(tmp_path):
    reproducer = tmp_path / "last_sequence.txt"
    env = dict(os.environ)
    # Under AddressSanitizer, huge counts must fail at allocation (see cap_allocations).
    env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":max_allocation_size_mb=1024"
    try:
        result = subprocess.run(
            [sys.executable, "-P", str(FUZZER), "--calls", str(CALLS),
             "--reproducer", str(reproducer)],
            capture_output=True, text=True, timeout=900, env=env)
    except subprocess.TimeoutExpired:
        raise AssertionError(f"the fuzzer hung on {last_program(reproducer)}")
    if result.returncode != 0:
        raise AssertionError(f"fuzzer failed with status {result.returncode}\n"
                             f"{result.stdout[-4000:]}\n{result.stderr[-8000:]}\n"
                             f"last program run: {last_program(reproducer)}")
    fuzzed = int(result.stdout.split("fuzzed ")[1].split()[0])
    assert fuzzed >= CALLS
