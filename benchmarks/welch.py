"""zopy's Welch estimate against scipy's, and ``zopy psd`` of a file.

1. ``zopy.analysis.welch`` against ``scipy.signal.welch`` with the same
   settings (Hann windows of 4096 samples, half overlap, constant detrend,
   density), one thread each, on 10**6 and 10**7 samples of float32 and of
   float64 (a virtual instrument's light: 100 µW of shot noise and RIN).
   Goals: at least 3x faster; the same numbers within 1e-12 relative
   (float64) and 1e-5 (float32; against scipy on the same values in float64,
   since scipy's own float32 loses about 1e-4 to the mean removal).
2. What ``zopy psd FILE`` does with a recording of 10**7 float32 samples: its
   chunks read and averaged by ``analysis.WelchAverage``, against the same
   with scipy's estimate per chunk (as zopy computed it before its own),
   one thread each. Goal: at least 3x.

Run by hand: ``.venv/bin/python benchmarks/welch.py [--repeats R] [--tiny]``.
"""

import argparse
import pathlib
import tempfile

import numpy
import scipy.signal

import zopy
from zopy import analysis, readers, record, sim

from timing import best, ratio, sized

SEGMENT = 4096
SIZES = sized((10**6, 10**7), (10**4, 10**5))
FILE_SAMPLES = sized(10**7, 10**5)
RATE = 10e6


def scipy_welch(samples):
    _, density = scipy.signal.welch(samples, fs=RATE, window="hann", nperseg=SEGMENT,
                                    noverlap=SEGMENT // 2, detrend="constant", scaling="density")
    return density[:-1]          # zopy's estimate has no bin at the Nyquist frequency


def light(n):
    sim.reset()
    sim.set_logging(False)
    sim.set_light(100.0, rin_db_hz=-140.0)
    with zopy.Device() as device:
        return device.get_calibrated_data(n) * 1e-6


def estimates(repeats):
    for n in SIZES:
        watts = light(n)
        for dtype in (numpy.float32, numpy.float64):
            samples = watts.astype(dtype)
            zopy_s = scipy_s = float("inf")
            for _ in range(repeats):      # interleaved: both see the same load
                zopy_s = min(zopy_s, best(lambda: analysis.welch(samples, RATE, SEGMENT), 1))
                scipy_s = min(scipy_s, best(lambda: scipy_welch(samples), 1))
            ours = analysis.welch(samples, RATE, SEGMENT).density
            theirs = scipy_welch(samples.astype(numpy.float64))
            difference = float(numpy.max(numpy.abs(ours - theirs) / theirs))
            name = numpy.dtype(dtype).name
            tolerance = 1e-5 if dtype == numpy.float32 else 1e-12
            speedup = scipy_s / zopy_s
            print(f"{n:.0e} {name}: zopy.analysis.welch {zopy_s * 1e3:7.1f} ms, scipy.signal.welch "
                  f"{scipy_s * 1e3:7.1f} ms: {speedup:.2f}x (goal >= 3); largest relative "
                  f"difference {difference:.1e} (goal <= {tolerance:g})")
            ratio(f"welch {n:.0e} {name}: scipy / zopy", speedup, ">= 3")
            ratio(f"welch {n:.0e} {name}: difference / {tolerance:g}", difference / tolerance, "<= 1")


class ScipyWelchAverage:
    """WelchAverage with scipy's estimate per block of whole segments."""

    def __init__(self):
        self.carry, self.total, self.segments = numpy.empty(0), 0.0, 0

    def add(self, samples):
        block = numpy.concatenate((self.carry, samples))
        step = SEGMENT // 2
        whole = (len(block) - SEGMENT) // step + 1 if len(block) >= SEGMENT else 0
        if whole:
            self.total = self.total + scipy_welch(block[:(whole - 1) * step + SEGMENT]) * whole
            self.segments += whole
        self.carry = block[whole * step:].copy()

    def density(self):
        return self.total / self.segments


def file_psd(path, make_average):
    """What zopy psd does with a file: its chunks, in W, into an average."""
    with readers.open_sample_file(path) as source:
        average = make_average()
        for chunk in source.chunks():
            average.add(chunk.astype(numpy.float64) * 1e-6)
    return average


def psd_of_a_file(repeats):
    sim.reset()
    sim.set_logging(False)
    sim.set_light(100.0, rin_db_hz=-140.0)
    with tempfile.TemporaryDirectory() as folder:
        path = pathlib.Path(folder) / "run.h5"
        with zopy.Device() as device, device.open_stream("float32") as stream:
            record.record(stream, path, samples=FILE_SAMPLES, progress=False)
        zopy_s = scipy_s = float("inf")
        for _ in range(repeats):
            zopy_s = min(zopy_s, best(lambda: file_psd(path, lambda: analysis.WelchAverage(RATE)), 1))
            scipy_s = min(scipy_s, best(lambda: file_psd(path, ScipyWelchAverage), 1))
        ours = file_psd(path, lambda: analysis.WelchAverage(RATE)).spectrum().density
        theirs = file_psd(path, ScipyWelchAverage).density()
    difference = float(numpy.max(numpy.abs(ours - theirs) / theirs))
    print(f"psd of a {FILE_SAMPLES:.0e}-sample recording: {zopy_s * 1e3:.0f} ms, with scipy's "
          f"estimate {scipy_s * 1e3:.0f} ms: {scipy_s / zopy_s:.2f}x (goal >= 3); largest "
          f"relative difference {difference:.1e}")
    ratio(f"psd of a {FILE_SAMPLES:.0e}-sample file: scipy / zopy", scipy_s / zopy_s, ">= 3")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=sized(7, 1))
    parser.add_argument("--tiny", action="store_true", help="at a tiny size (the test suite's)")
    args = parser.parse_args()
    estimates(args.repeats)
    psd_of_a_file(args.repeats)


if __name__ == "__main__":
    main()
