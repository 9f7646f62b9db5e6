"""Recording speed and memory.

1. Time: ``zopy.record.record`` of 10**8 input samples (float32 stream,
   lowpass, downsampling 10) into an HDF5 file, against a plain loop of
   ``Stream.acquire(out=)`` over the same samples in the same chunk size. Goal:
   ratio at most 1.2. Measured as fast as the virtual instrument computes
   (the recorder's whole cost shows), then in real time (1 s per run, as an
   instrument delivers the samples).
2. Memory: the recorder's peak resident memory above the process's memory
   before it started (and the peak of Python and numpy allocations), for
   10**7 and 10**8 input samples, each in a fresh process (Linux). Goal: it
   does not grow with the duration.

Run by hand: ``.venv/bin/python benchmarks/record.py [--repeats R]``.
"""

import argparse
import os
import pathlib
import subprocess
import sys
import tempfile
import tracemalloc

import numpy

from timing import best, peak_rss_bytes, ratio, sized

import zopy
from zopy import record, sim

DOWNSAMPLING = 10
CUTOFF_HZ = 200e3
TIME_GOAL = 1.2
INPUT_SAMPLES = sized(10**8, 10**5)
REALTIME_SAMPLES = sized(10**7, 10**4)
MEMORY_SAMPLES = sized((10**7, 10**8), (10**4, 10**5))


def open_stream():
    sim.reset()
    sim.set_light(100.0, rin_db_hz=-140.0)
    device = zopy.Device()
    stream = device.open_stream("float32")
    stream.set_filter("lowpass")
    stream.cutoff = CUTOFF_HZ
    stream.downsampling = DOWNSAMPLING
    return device, stream


def time_ratio(input_samples, repeats, folder, realtime=False):
    device, stream = open_stream()
    sim.set_realtime(realtime)
    output = input_samples // DOWNSAMPLING
    chunk = record.default_chunk(stream.samplerate)
    runs = iter(range(10**6))

    buf = numpy.empty(chunk, numpy.float32)

    def plain_loop():
        left = output
        while left:
            n = min(chunk, left)
            stream.acquire(n, out=buf[:n])
            left -= n

    def recorder():   # a new file each time, as a recording makes (no truncation)
        path = pathlib.Path(folder) / f"bench-{realtime:d}-{next(runs)}.h5"
        record.record(stream, path, samples=output, chunk=chunk, progress=False)

    # interleaved, so both see the same load on the machine
    loop_s = record_s = float("inf")
    for _ in range(repeats):
        loop_s = min(loop_s, best(plain_loop, 1))
        record_s = min(record_s, best(recorder, 1))
    stream.close()
    device.close()
    sim.set_realtime(False)
    recorder_ratio = ratio(f"{'real time: ' if realtime else ''}record / acquire loop",
                           record_s / loop_s, None if realtime else f"<= {TIME_GOAL}")
    print(f"{'real time: ' if realtime else ''}"
          f"record of {input_samples:.0e} input samples ({output} out, chunk {chunk}): "
          f"{record_s * 1e3:.1f} ms; acquire loop {loop_s * 1e3:.1f} ms; "
          f"ratio {recorder_ratio:.3f} (goal <= {TIME_GOAL}) "
          f"{'ok' if recorder_ratio <= TIME_GOAL else 'MISSED'}")


def peak_memory(input_samples, folder):
    """(peak RSS above the RSS before recording, peak of traced allocations), bytes,
    of a fresh process recording ``input_samples``."""
    out = subprocess.run([sys.executable, __file__, "--child", str(input_samples), folder],
                         capture_output=True, text=True, check=True)
    rss, traced = map(int, out.stdout.split())
    return rss, traced


def child(input_samples, folder):
    device, stream = open_stream()
    record.require("h5py")
    record.record(stream, pathlib.Path(folder) / "warm.h5", samples=1000, progress=False,
                  overwrite=True)
    before = _rss_now()
    tracemalloc.start()
    record.record(stream, pathlib.Path(folder) / "mem.h5", samples=input_samples // DOWNSAMPLING,
                  progress=False, overwrite=True)
    traced = tracemalloc.get_traced_memory()[1]
    peak = peak_rss_bytes()
    print(max(0, peak - before), traced)


def _rss_now():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def memory(folder):
    peaks = {}
    small, large = MEMORY_SAMPLES
    for n in MEMORY_SAMPLES:
        peaks[n] = peak_memory(n, folder)
        rss, traced = peaks[n]
        print(f"recorder, {n:.0e} input samples: peak RSS {rss / 2**20:.2f} MiB above the "
              f"process before recording; Python and numpy allocations peak {traced / 2**20:.2f} MiB")
    print(f"peak RSS {large:.0e} / {small:.0e}: {peaks[large][0] / max(peaks[small][0], 1):.2f}; "
          f"traced allocations {large:.0e} / {small:.0e}: "
          f"{ratio('recorder traced allocations x10 samples', peaks[large][1] / max(peaks[small][1], 1)):.2f} "
          f"(goal: no growth with the duration)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=sized(21, 1))
    parser.add_argument("--tiny", action="store_true", help="at a tiny size (the test suite's)")
    parser.add_argument("--child", nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        n, folder = args.child
        return child(int(n), folder)
    with tempfile.TemporaryDirectory() as folder:
        time_ratio(INPUT_SAMPLES, args.repeats, folder)
        time_ratio(REALTIME_SAMPLES, sized(3, 1), folder, realtime=True)
        memory(folder)


if __name__ == "__main__":
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    main()
