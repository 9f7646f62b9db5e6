"""What the virtual library's call log costs.

In one run:
  * per-call time of a bare library call (`zo_get_adcbits`), timed in a C++
    loop, with the call log on and off (target: on at most 2 x off), and of
    the same through the module (`dev.adcbits`) and a small stream read
    (`s.acquire(16)`) (target: on at most 1.3 x off);
  * resident memory growth over 10**6 logged `dev.adcbits` reads and 10**5
    small stream reads, after the log has filled to its capacity (target:
    flat, under 1 MB), and the log's own size when full.
Prints figures and ratios; asserts nothing (the machine is shared).
"""

import resource
import sys
import timeit

import zopy
from zopy import _timing, sim

from timing import ratio, sized

LOOPS = sized(200_000, 100)
GROWTH_CALLS = sized((10**6, 10**5), (100, 100))


def resident_mb():
    """Resident set size now, in MB (Linux), else the peak so far."""
    try:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * resource.getpagesize() / 2**20
    except OSError:
        scale = 2**20 if sys.platform == "darwin" else 2**10
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / scale


def per_call(stmt, env, loops=LOOPS, repeat=5):
    return min(timeit.repeat(stmt, globals=env, number=loops, repeat=repeat)) / loops


def growth(stmt, env, count):
    before = resident_mb()
    timeit.timeit(stmt, globals=env, number=count)
    return resident_mb() - before


def main():
    sim.reset()
    dev = zopy.Device()
    stream = dev.open_stream("float32")
    env = {"dev": dev, "s": stream}
    capacity = sim.log_capacity() if hasattr(sim, "log_capacity") else None
    print(f"log capacity: {capacity if capacity is not None else 'unbounded'}")

    for name in ("zo_get_adcbits", "zo_get_raw_data"):
        sim.set_logging(False)
        off = min(_timing.time_logged_call(name, sim.DEFAULT_SERIAL, LOOPS) for _ in range(5))
        sim.set_logging(True)
        sim.clear_calls()
        on = min(_timing.time_logged_call(name, sim.DEFAULT_SERIAL, LOOPS) for _ in range(5))
        print(f"{name:16s} (C++ loop) log off {off * 1e9:5.0f} ns   on {on * 1e9:5.0f} ns   "
              f"on/off {ratio(f'{name} log on / off', on / off, '<= 2'):5.2f} x")
    for label, stmt in [("dev.adcbits", "dev.adcbits"), ("s.acquire(16)", "s.acquire(16)")]:
        sim.set_logging(False)
        off = per_call(stmt, env)
        sim.set_logging(True)
        sim.clear_calls()
        on = per_call(stmt, env)
        print(f"{label:14s} log off {off * 1e9:7.0f} ns   on {on * 1e9:7.0f} ns   "
              f"on/off {ratio(f'{label} log on / off', on / off, '<= 1.3'):5.2f} x")

    sim.clear_calls()
    sim.set_logging(True)
    for (label, stmt), count in zip([("dev.adcbits", "dev.adcbits"),
                                     ("s.acquire(16)", "s.acquire(16)")], GROWTH_CALLS):
        if capacity is not None:   # entries of this call fill the log first
            timeit.timeit(stmt, globals=env, number=capacity + 1000)
        print(f"{count:.0e} {label}, log on: +{growth(stmt, env, count):.1f} MB resident "
              f"(now {resident_mb():.1f} MB)")
    if hasattr(sim, "dropped_calls"):
        print(f"dropped calls: {sim.dropped_calls()}")
    stream.close()
    dev.close()
    sim.reset()


if __name__ == "__main__":
    main()
