"""Counts and sizes refused before any work, in one line with the size."""

import os
import subprocess
import sys
import textwrap

import pytest

from zopy import _memory
from zopy._memory import check_fits

GB = 10**9


@pytest.mark.parametrize("nsamples, bytes_per_sample, available, fault", [
    (100_000, 24, 1 * GB, None),
    (0, 24, 1 * GB, None),
    (41_666_666, 24, 1 * GB, None),                       # just fits
    (41_666_667, 24, 1 * GB, "--samples: 41,666,667 samples need 1 GB of memory, but 1 GB is"),
    (3 * GB, 24, 16 * GB, "--samples: 3,000,000,000 samples need 72 GB of memory, but 16 GB"),
    (3 * GB, 24, None, None),                             # nothing known about memory
    (2**64 - 1, 1, None, "more than any array can hold"),
    (2**64, 1, None, "--samples: 1.84e+19 samples are more than the library can take"),
    (10**20, 8, 1 * GB, "1e+20 samples are more than the library can take (1.84e+19 at most)"),
    (2**62, 8, None, "4.61e+18 samples need 36.9 EB of memory, more than any array can hold"),
    (-1, 8, 1 * GB, "the number of samples must be a whole number of 0 or more, not -1"),
    (1e6, 8, 1 * GB, "must be a whole number of 0 or more, not 1000000.0"),
    (True, 8, 1 * GB, "must be a whole number of 0 or more, not True"),
])
def test_check_fits(monkeypatch, nsamples, bytes_per_sample, available, fault):
    monkeypatch.setattr(_memory, "available_memory", lambda: available)
    if fault is None:
        check_fits(nsamples, bytes_per_sample, "--samples")
        return
    with pytest.raises(ValueError) as info:
        check_fits(nsamples, bytes_per_sample, "--samples")
    assert fault in str(info.value) and "\n" not in str(info.value), info.value


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer's shadow memory needs the address space")
def test_the_memory_available_heeds_the_process_limit():
    """Under ulimit -v of 1 GiB, no more than that is available, whatever the machine has."""
    code = textwrap.dedent("""
        import resource
        resource.setrlimit(resource.RLIMIT_AS, (1 << 30, resource.getrlimit(resource.RLIMIT_AS)[1]))
        from zopy import _memory
        print(_memory.available_memory())
        try:
            _memory.check_fits(200_000_000, 8, "--samples 2e8")
        except ValueError as exc:
            print(exc)
    """)
    done = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True,
                          timeout=120)
    available, refusal = done.stdout.splitlines()
    assert 0 < int(available) < 1 << 30, done.stderr
    assert refusal.startswith("--samples 2e8: 200,000,000 samples need 1.6 GB of memory, but ")
