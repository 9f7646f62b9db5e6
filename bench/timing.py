"""What the benchmarks share: the best wall time of repeated calls."""

import time


def best(function, repeat):
    """The shortest of `repeat` timed calls of `function`, in seconds."""
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return min(times)
