"""What the benchmarks share: the best wall time of repeated calls, and the bench."""

import time

from zopy import sim

# A second instrument for timing the library alone, beside the one zopy opens.
FILL_SERIAL = "BENCH-FILL"


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
