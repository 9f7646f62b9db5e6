"""The scope server's CPU per frame, without a browser.

What the scope's acquisition thread does after each read of a float32 stream
at 1 MS/s in µW (reads of 20 ms, 20 000 samples): ``FrameMaker.add`` (over-range
count, the trace's window, the spectrum of the latest 4096-sample block)
and ``FrameMaker.frame``. Process CPU time per frame, and the part of that
which is the block's spectrum; the frame's share of the 20 ms between reads.
``benchmarks/scope_in_browser.py`` measures the whole server with pages open.

Run by hand: ``.venv/bin/python benchmarks/scope_frames.py [--frames N] [--tiny]``.
"""

import argparse
import time

import numpy

import zopy
from zopy import analysis, sim
from zopy.scope._frames import Context, FrameMaker

from timing import ratio, sized

RATE = 1e6
READ = 20_000


def reads(count):
    sim.reset()
    sim.set_logging(False)
    sim.set_light(50.0)
    with zopy.Device() as device, device.open_stream("float32") as stream:
        stream.downsampling = 10
        return [stream.acquire(READ) for _ in range(count)]


def cpu_per_call(function, blocks):
    start = time.process_time()
    for block in blocks:
        function(block)
    return (time.process_time() - start) / len(blocks)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=sized(2000, 20))
    parser.add_argument("--tiny", action="store_true", help="at a tiny size (the test suite's)")
    args = parser.parse_args()
    blocks = reads(min(args.frames, 50))
    blocks = [blocks[i % len(blocks)] for i in range(args.frames)]
    context = Context(samplerate_hz=RATE, units="µW", watts_per_unit=1e-6, limits=(0.0, 300.0),
                      gain="high", wavelength_nm=1550.0, balanced=False)
    maker = FrameMaker(context, block_length=4096, averaging=16)
    seq = iter(range(10**9))

    def frame(block):
        maker.add(block)
        maker.frame(next(seq), 0.0, 0.0)

    for block in blocks[:5]:         # imports and first allocations are not a frame's cost
        frame(block)
    per_frame = cpu_per_call(frame, blocks)
    windows = [block[-4096:].astype(numpy.float64) * 1e-6 for block in blocks]
    spectrum = cpu_per_call(lambda block: analysis.psd(block, RATE, analysis.SEGMENT), windows)
    from scipy import signal
    with_scipy = cpu_per_call(lambda block: signal.welch(block, RATE, nperseg=analysis.SEGMENT),
                              windows)
    share = per_frame / (READ / RATE)
    print(f"scope frame (add + frame) {per_frame * 1e3:.3f} ms CPU, of which the block's spectrum "
          f"{spectrum * 1e3:.3f} ms (scipy.signal.welch: {with_scipy * 1e3:.3f} ms); "
          f"{share:.1%} of a core at one frame per 20 ms read")
    ratio("scope: frame CPU / 20 ms read", share)
    ratio("scope: frame CPU with scipy's spectrum / with zopy's",
          (per_frame - spectrum + with_scipy) / per_frame)


if __name__ == "__main__":
    main()
