"""Stream processing in the library against the same work done in numpy/scipy.

For 10**7 input samples of a modulated, noisy signal, low-pass filtered
(4th-order Butterworth) and averaged in groups of 10, compares:
  * stream: `Stream.acquire(10**6)` on a float32 (and a float64) stream,
  * the library's own share: the same acquisition timed in a C++ loop
    (`zo_bench_time_stream_acquire`, through `zopy._sim.time_stream_acquire`
    when the control extension has it, else through ctypes),
  * baseline: `get_raw_data(10**7)`, calibration to uW in the same dtype,
    `scipy.signal.sosfilt` with the same design, and a numpy reshape-mean.
Then the same without a filter. Target: the float32 low-pass stream well
under a third of the baseline. Prints times, ratios and throughput; asserts
nothing (the machine is shared).
"""

import ctypes
import os
import time

import numpy
import scipy.signal

import zopy
from zopy import _sim, sim

N_IN = 10**7
DOWNSAMPLING = 10
CUTOFF = 100e3
REPEATS = 5


def best(fn, repeats=REPEATS):
    times = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def library_timer():
    """time(serial, dtype_bytes, n, filter, cutoff, downsampling, repeats) -> seconds."""
    if hasattr(_sim, "time_stream_acquire"):
        return _sim.time_stream_acquire
    name = "zo.dll" if os.name == "nt" else "libzo.so"
    lib = ctypes.CDLL(os.path.join(os.path.dirname(zopy.__file__), name))
    f = lib.zo_bench_time_stream_acquire
    f.restype = ctypes.c_double
    f.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.c_uint64, ctypes.c_char_p,
                  ctypes.c_double, ctypes.c_int, ctypes.c_int]

    def timer(serial, dtype_bytes, n, filter, cutoff, downsampling, repeats):
        t = f(serial.encode(), dtype_bytes, n, filter.encode(), cutoff, downsampling, repeats)
        if t < 0:
            raise RuntimeError("zo_bench_time_stream_acquire failed")
        return t
    return timer


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
    timer = library_timer()
    print(f"{N_IN:.0e} input samples, downsampling {DOWNSAMPLING}, best of {REPEATS}")
    for filtered in (True, False):
        for dtype in (numpy.float32, numpy.float64):
            label = f"{'lowpass' if filtered else 'no filter'} {numpy.dtype(dtype).name}"
            t_stream = best(stream(dev, dtype, filtered))
            t_lib = timer(dev.serial, numpy.dtype(dtype).itemsize, N_IN // DOWNSAMPLING,
                          "lowpass" if filtered else "none", CUTOFF, DOWNSAMPLING, REPEATS)
            t_base = best(baseline(dev, dtype, filtered))
            print(f"{label:18s} stream {t_stream * 1e3:7.1f} ms  library {t_lib * 1e3:7.1f} ms  "
                  f"numpy/scipy {t_base * 1e3:7.1f} ms  ratio {t_stream / t_base:5.3f}  "
                  f"({N_IN / t_stream / 1e6:6.0f} M input samples/s)")
    dev.close()
    sim.set_logging(True)


if __name__ == "__main__":
    main()
