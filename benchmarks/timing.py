"""What the benchmarks share: the best wall time of repeated calls, the bench,
the tiny size the test suite runs them at, and the ratios for run_all's table."""

import operator
import os
import resource
import sys
import time

from zopy import sim

# A second instrument for timing the library alone, beside the one zopy opens.
FILL_SERIAL = "BENCH-FILL"

# ``--tiny``: every size and repeat count at its smallest, so that the test
# suite runs each benchmark in seconds and an API change breaks a test.
TINY = "--tiny" in sys.argv[1:]

RESULTS = []    # (benchmark, what, ratio, goal): every ratio reported in this process


def sized(full, tiny):
    """``full``, or ``tiny`` under --tiny."""
    return tiny if TINY else full


def ratio(what, value, goal=None):
    """Records a ratio for run_all's table and returns it; ``goal`` is
    "<= 1.2" or ">= 3" (None: for information)."""
    RESULTS.append((os.path.splitext(os.path.basename(sys.argv[0]))[0], what, float(value), goal))
    return value


def met(value, goal):
    """Whether ``value`` meets ``goal`` ("<= x" or ">= x"); None without a goal."""
    if goal is None:
        return None
    sign, limit = goal.split()
    return {"<=": operator.le, ">=": operator.ge}[sign](value, float(limit))


def peak_rss_bytes():
    """This process's peak resident memory. Linux's ru_maxrss keeps the peak of
    the process that forked this one (a benchmark started from run_all would
    report run_all's); /proc's VmHWM is this program's own."""
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    scale = 1 if sys.platform == "darwin" else 1024
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * scale


def best(function, repeat):
    """The shortest of `repeat` timed calls of `function`, in seconds."""
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return min(times)


def lit_bench():
    """The default instrument and FILL_SERIAL, both with the same light, log off."""
    sim.reset()
    sim.attach(FILL_SERIAL)
    sim.set_logging(False)
    for serial in sim.devices():
        sim.set_light(50.0, serial=serial)
