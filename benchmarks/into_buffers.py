"""Reading into the caller's arrays, and zero-filled fresh blocks.

N = 10**7; every buffer is allocated once and reused across the repeats.
In one run:
  * get_raw_data(N, out=buf) vs the library filling the same buffer, called
    through ctypes (target: at most 1.05 x), with mask=False and, for
    information, with the default mask;
  * numpy's two-step on fresh arrays, dev.get_raw_data(N) * m + b, vs
    get_calibrated_data(N, out=buf) (target: at least 3 x);
  * numpy with reused buffers, get_raw_data(N, out=r); numpy.multiply(r, m,
    out=buf); buf += b, vs get_calibrated_data(N, out=buf) (target: at least
    1.5 x);
  * Stream.acquire(n, out=buf) vs the library's own processing into one
    reused block, timed in C++ (target: at most 1.05 x), for a plain float64
    stream and a low-passed, downsampled float32 one;
  * peak traced memory of get_calibrated_data(N, out=buf) (target: below
    0.1 N bytes);
  * get_raw_data(N, mask=False) into a fresh zero-filled array vs the library
    filling a fresh block in C++ (target: at most 1.05 x).
Prints figures and ratios; asserts nothing (the machine is shared).
"""

import ctypes
import os
import tracemalloc

import numpy

import zopy
from zopy import _timing, sim

from timing import FILL_SERIAL, best, lit_bench, ratio, sized

N = sized(10**7, 10**4)
REPEAT = sized(15, 1)


def library_fill_into(buffer):
    """A function that has libzo fill `buffer` through ctypes, on an
    instrument of its own lit as the default one."""
    name = "zo.dll" if os.name == "nt" else "libzo.so"
    lib = ctypes.CDLL(os.path.join(os.path.dirname(zopy.__file__), name))
    lib.zo_open_from_serial.restype = ctypes.c_void_p
    lib.zo_open_from_serial.argtypes = [ctypes.c_char_p]
    lib.zo_get_raw_data.restype = ctypes.c_int
    lib.zo_get_raw_data.argtypes = [ctypes.c_void_p, ctypes.c_uint64, ctypes.c_void_p]
    handle = lib.zo_open_from_serial(FILL_SERIAL.encode())
    address = buffer.ctypes.data

    def fill():
        if lib.zo_get_raw_data(handle, buffer.size, address) != 0:
            raise RuntimeError("library fill failed")
    return fill


def peak_bytes(function):
    tracemalloc.start()
    try:
        function()
        return tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


def stream_ratio(dev, dtype, filtered, n):
    s = dev.open_stream(dtype)
    downsampling = 10 if filtered else 1
    if filtered:
        s.filter = "lowpass"
        s.cutoff = 100e3
    s.downsampling = downsampling
    out = numpy.empty(n, dtype)
    s.acquire(n, out=out)
    t_module = best(lambda: s.acquire(n, out=out), REPEAT)
    t_library = _timing.time_stream_acquire(dev.serial, numpy.dtype(dtype).itemsize, n,
                                            "lowpass" if filtered else "none", 100e3,
                                            downsampling, REPEAT, True)
    s.close()
    return t_module, t_library


def main():
    lit_bench()
    dev = zopy.Device()
    m, b = dev.get_calibration()

    raw = numpy.ones(N, numpy.uint16)
    power = numpy.ones(N)
    fill = library_fill_into(raw)
    t_fill = best(fill, REPEAT)
    t_raw_nomask = best(lambda: dev.get_raw_data(N, mask=False, out=raw), REPEAT)
    t_raw_mask = best(lambda: dev.get_raw_data(N, out=raw), REPEAT)

    t_calibrated = best(lambda: dev.get_calibrated_data(N, out=power), REPEAT)
    t_fresh_two_step = best(lambda: dev.get_raw_data(N) * m + b, REPEAT)

    def reused_two_step():
        dev.get_raw_data(N, out=raw)
        numpy.multiply(raw, m, out=power)
        power.__iadd__(b)

    t_reused_two_step = best(reused_two_step, REPEAT)
    peak = peak_bytes(lambda: dev.get_calibrated_data(N, out=power))

    t_fresh_fill = _timing.time_raw_fill(FILL_SERIAL, N, REPEAT)
    t_fresh_raw = best(lambda: dev.get_raw_data(N, mask=False), REPEAT)

    streams = {f"{'lowpass, /10' if f else 'plain'} {numpy.dtype(t).name}":
               stream_ratio(dev, t, f, N // 10 if f else N)
               for t, f in ((numpy.float64, False), (numpy.float32, True))}
    dev.close()
    sim.set_logging(True)

    ms = 1e3
    print(f"N = {N}, best of {REPEAT}")
    print(f"library fill into a reused buffer (ctypes)   {t_fill * ms:8.2f} ms")
    print(f"get_raw_data(mask=False, out=buf)            {t_raw_nomask * ms:8.2f} ms")
    print(f"get_raw_data(out=buf)                        {t_raw_mask * ms:8.2f} ms")
    print(f"get_calibrated_data(out=buf)                 {t_calibrated * ms:8.2f} ms")
    print(f"numpy two-step, fresh arrays                 {t_fresh_two_step * ms:8.2f} ms")
    print(f"numpy two-step, reused buffers               {t_reused_two_step * ms:8.2f} ms")
    print(f"library fill into a fresh block (C++)        {t_fresh_fill * ms:8.2f} ms")
    print(f"get_raw_data(mask=False), fresh zero-filled  {t_fresh_raw * ms:8.2f} ms")
    print(f"raw out, mask=False / library fill        = {ratio('raw out, mask=False / library fill', t_raw_nomask / t_fill, '<= 1.05'):.3f} (target <= 1.05)")
    print(f"raw out, masked / library fill            = {t_raw_mask / t_fill:.3f} (for information)")
    print(f"numpy two-step fresh / calibrated out     = {ratio('numpy two-step fresh / calibrated out', t_fresh_two_step / t_calibrated, '>= 3'):.2f} "
          f"(target >= 3)")
    print(f"numpy two-step reused / calibrated out    = {ratio('numpy two-step reused / calibrated out', t_reused_two_step / t_calibrated, '>= 1.5'):.2f} "
          f"(target >= 1.5)")
    for label, (t_module, t_library) in streams.items():
        print(f"stream {label:18s} acquire(out) {t_module * ms:7.2f} ms, library {t_library * ms:7.2f} ms"
              f" -> {ratio(f'stream {label} acquire(out) / library', t_module / t_library, '<= 1.05'):.3f} (target <= 1.05)")
    print(f"peak traced memory of calibrated out / N  = {peak / N:.5f} bytes ({peak} bytes; "
          f"target < 0.1)")
    print(f"fresh zero-filled raw / library fresh fill = {ratio('fresh raw / library fresh fill', t_fresh_raw / t_fresh_fill, '<= 1.05'):.3f} "
          f"(target <= 1.05)")


if __name__ == "__main__":
    main()
