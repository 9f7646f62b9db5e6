"""Stream processing in the library against the same work done in numpy/scipy.

For 10**7 input samples of a modulated, noisy signal, low-pass filtered
(4th-order Butterworth) and averaged in groups of 10, compares:
  * stream: `Stream.acquire(10**6)` on a float32 (and a float64) stream,
  * the library's own processing of the same block, timed in a C++ loop
    (`zopy._timing.time_stream_acquire`),
  * baseline: `get_raw_data(10**7)`, calibration to uW in the same dtype,
    `scipy.signal.sosfilt` with the same design, and a numpy reshape-mean.
Then the same without a filter. Targets: the float32 low-pass stream at least
3 x faster than the baseline, and `acquire` adding at most 5 % over the
library's own processing. Prints times, ratios and throughput; asserts
nothing (the machine is shared).
"""

import numpy
import scipy.signal

import zopy
from zopy import _timing, sim

from timing import best, ratio, sized

N_IN = sized(10**7, 10**4)
DOWNSAMPLING = 10
CUTOFF = 100e3
REPEATS = sized(5, 1)




def baseline(dev, dtype, filtered):
    m, b = (dtype(c) for c in dev.get_calibration("auto"))
    sos = scipy.signal.butter(4, CUTOFF, fs=dev.samplerate, output="sos").astype(dtype)

    def run():
        x = dev.get_raw_data(N_IN).astype(dtype) * m + b
        if filtered:
            x = scipy.signal.sosfilt(sos, x)
        return x.reshape(-1, DOWNSAMPLING).mean(axis=1, dtype=dtype)
    return run


def stream(dev, dtype, filtered):
    s = dev.open_stream(dtype)
    if filtered:
        s.filter = "lowpass"
        s.cutoff = CUTOFF
    s.downsampling = DOWNSAMPLING
    return lambda: s.acquire(N_IN // DOWNSAMPLING)


def main():
    sim.set_logging(False)
    sim.set_light(100.0, modulation_hz=12345.0, modulation_depth=0.3)
    dev = zopy.Device()
    timer = _timing.time_stream_acquire
    print(f"{N_IN:.0e} input samples, downsampling {DOWNSAMPLING}, best of {REPEATS}")
    for filtered in (True, False):
        for dtype in (numpy.float32, numpy.float64):
            label = f"{'lowpass' if filtered else 'no filter'} {numpy.dtype(dtype).name}"
            t_stream = best(stream(dev, dtype, filtered), REPEATS)
            t_lib = timer(dev.serial, numpy.dtype(dtype).itemsize, N_IN // DOWNSAMPLING,
                          "lowpass" if filtered else "none", CUTOFF, DOWNSAMPLING, REPEATS)
            t_base = best(baseline(dev, dtype, filtered), REPEATS)
            print(f"{label:18s} stream {t_stream * 1e3:7.1f} ms  library {t_lib * 1e3:7.1f} ms  "
                  f"numpy/scipy {t_base * 1e3:7.1f} ms  ({N_IN / t_stream / 1e6:4.0f} M input/s)")
            print(f"{'':18s} numpy/scipy / stream = {ratio(f'{label} numpy/scipy / stream', t_base / t_stream, '>= 3'):4.1f} (target >= 3), "
                  f"stream / library = {ratio(f'{label} stream / library', t_stream / t_lib, '<= 1.05'):5.3f} "
                  f"(target <= 1.05)")
    dev.close()
    sim.set_logging(True)


if __name__ == "__main__":
    main()
