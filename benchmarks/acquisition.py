"""Cost of acquisition and calibration against the library's own fill.

In one run:
  * get_raw_data(N, mask=False) vs the library filling a fresh block, timed
    in C++ (target: at most 1.05 x);
  * what mask=True adds vs one in-place numpy AND over a just-acquired block
    (target: at most one such pass);
  * get_calibrated_data(N) vs the library fill plus one write pass of the
    float64 result (target: at most 1.25 x), and vs acquiring and evaluating
    numpy's two-step expression (target: at least 2 x faster);
  * peak traced memory of both calls (targets: 2N and 10N bytes + a constant);
  * with realtime on, how much of its solo rate a pure-Python counting thread
    keeps during a 1-second acquisition (target: at least 80 %).
Prints figures and ratios; asserts nothing.
"""

import threading
import time
import tracemalloc

import numpy

import zopy
from zopy import _timing, sim

from timing import FILL_SERIAL, best, lit_bench, ratio, sized

N = sized(10**7, 10**4)
REPEAT = sized(15, 1)




def peak_bytes(function):
    tracemalloc.start()
    tracemalloc.reset_peak()
    function()
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    return peak


def counting_rate(seconds, stop_when=None):
    """Counts in pure Python for `seconds` (or until stop_when() is true)."""
    count = 0
    start = time.perf_counter()
    while True:
        for _ in range(1000):
            count += 1
        elapsed = time.perf_counter() - start
        if (stop_when and stop_when()) or elapsed >= seconds:
            return count / elapsed


def threading_share(dev):
    solo = counting_rate(sized(1.0, 0.05))
    done = threading.Event()
    rates = []
    counter = threading.Thread(target=lambda: rates.append(counting_rate(10.0, done.is_set)))
    sim.set_realtime(True)
    try:
        counter.start()
        dev.get_raw_data(sized(dev.samplerate, 10**4))     # one second of samples
    finally:
        done.set()
        counter.join()
        sim.set_realtime(False)
    return rates[0] / solo


def main():
    lit_bench()
    dev = zopy.Device()

    fill = _timing.time_raw_fill(FILL_SERIAL, N, REPEAT)
    raw_nomask = best(lambda: dev.get_raw_data(N, mask=False), REPEAT)
    raw_mask = best(lambda: dev.get_raw_data(N), REPEAT)

    def acquire_then_and():
        block = dev.get_raw_data(N, mask=False)
        numpy.bitwise_and(block, 0x3FFF, out=block)

    # The AND right after an acquisition, with the block as warm as the
    # module's own masking pass finds it.
    and_pass = best(acquire_then_and, REPEAT) - raw_nomask
    write_pass = best(lambda: numpy.full(N, 1.0), REPEAT)
    calibrated = best(lambda: dev.get_calibrated_data(N), REPEAT)
    calibration = dev.get_calibration()

    def two_step():
        raw = dev.get_raw_data(N)
        return raw * calibration[0] + calibration[1]

    numpy_two_step = best(two_step, REPEAT)
    raw_peak = peak_bytes(lambda: dev.get_raw_data(N))
    calibrated_peak = peak_bytes(lambda: dev.get_calibrated_data(N))
    share = threading_share(dev)
    dev.close()
    sim.set_logging(True)

    ms = 1e3
    print(f"N = {N}")
    print(f"library fill (C++)            {fill * ms:8.2f} ms")
    print(f"get_raw_data(mask=False)      {raw_nomask * ms:8.2f} ms")
    print(f"get_raw_data(mask=True)       {raw_mask * ms:8.2f} ms")
    print(f"numpy in-place AND after it   {and_pass * ms:8.2f} ms")
    print(f"float64 write pass            {write_pass * ms:8.2f} ms")
    print(f"get_calibrated_data           {calibrated * ms:8.2f} ms")
    print(f"raw + numpy two-step          {numpy_two_step * ms:8.2f} ms")
    print(f"raw, mask=False / library fill          = {ratio('raw, mask=False / library fill', raw_nomask / fill, '<= 1.05'):.3f} (target <= 1.05)")
    print(f"(mask=True - mask=False) / numpy AND    = {(raw_mask - raw_nomask) / and_pass:.2f} "
          f"(target <= 1)")
    print(f"calibrated / (fill + write pass)        = {ratio('calibrated / (fill + write pass)', calibrated / (fill + write_pass), '<= 1.25'):.3f} "
          f"(target <= 1.25)")
    print(f"numpy two-step / calibrated             = {ratio('numpy two-step / calibrated', numpy_two_step / calibrated, '>= 2'):.2f} "
          f"(target >= 2)")
    print(f"peak memory get_raw_data / N            = {raw_peak / N:.3f} bytes (target 2)")
    print(f"peak memory get_calibrated_data / N     = {calibrated_peak / N:.3f} bytes (target 10)")
    print(f"counting thread during realtime acquire = {ratio('realtime acquire: counting thread / solo', share, '>= 0.8'):.0%} of its solo rate "
          f"(target >= 80%)")


if __name__ == "__main__":
    main()
