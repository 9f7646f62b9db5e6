"""The chain's response R(f) as zopy.analysis computes it against the plain
sum of |G|² over every one of the D aliases, for the 2048 bins of a
4096-sample Welch segment, at D = downsampling x decimation of 10**3 to 10**5
behind a low-pass, a high-pass and no stream filter (antialias on).

Prints both times, their ratio and the largest relative difference in the
pass band; asserts nothing (the machine is shared).
"""

import time

import numpy

from zopy import analysis

RATE = 10e6


def brute_force(f, chain):
    total = numpy.zeros(f.shape)
    for k in range(chain.downsampling * chain.decimation):
        total += chain.gain(f + k * chain.samplerate_hz)
    return total


def main():
    print(f"{'D':>7} {'filter':>9} {'zopy (s)':>10} {'all aliases (s)':>16} {'ratio':>8} {'max rel diff':>13}")
    for downsampling, decimation in ((100, 10), (1000, 10), (1000, 100)):
        for kind in ("lowpass", "highpass", "none"):
            d = downsampling * decimation
            cutoff = None if kind == "none" else RATE / d / 5
            chain = analysis.Chain(RATE, True, kind, cutoff, downsampling, decimation)
            f = analysis.psd_frequencies(chain.samplerate_hz, 1 << 20)
            start = time.perf_counter()
            fast = analysis.chain_response(f, chain)
            quick = time.perf_counter() - start
            start = time.perf_counter()
            slow = brute_force(f, chain)
            plain = time.perf_counter() - start
            passing = slow > 1e-3 * slow.max()
            worst = float(numpy.max(numpy.abs(fast - slow)[passing] / slow[passing]))
            print(f"{d:7d} {kind:>9} {quick:10.4f} {plain:16.3f} {plain / quick:8.0f} {worst:13.2e}")


if __name__ == "__main__":
    main()
