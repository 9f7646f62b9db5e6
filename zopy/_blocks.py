"""Fresh calibrated blocks for the frameworks' readings, read into one buffer
kept between reads (a block of 10**6 samples is 8 MB: not made anew each time)."""

from __future__ import annotations

import math

import numpy
import numpy.typing as npt

import zopy


class BlockBuffer:
    """Reads blocks of calibrated power (µW) into a buffer it keeps; a block is
    valid until the next read. Not thread-safe: the caller serialises reads."""

    def __init__(self) -> None:
        self._buffer: npt.NDArray[numpy.float64] = numpy.empty(0)
        self._deviations: npt.NDArray[numpy.float64] = numpy.empty(0)

    def read(self, device: zopy.Device, nsamples: int,
             wavelength_nm: float) -> npt.NDArray[numpy.float64]:
        """A fresh block of ``nsamples`` calibrated at ``wavelength_nm``."""
        if self._buffer.size != nsamples:
            self._buffer = numpy.empty(nsamples)
        return device.get_calibrated_data(nsamples, wavelength_nm, out=self._buffer)


    def mean_and_std(self, block: npt.NDArray[numpy.float64]) -> tuple[float, float]:
        """:func:`mean_and_std` of a block, its deviations from the mean in a
        second buffer kept between blocks."""
        if self._deviations.size != block.size:
            self._deviations = numpy.empty(block.size)
        return mean_and_std(block, self._deviations)


def mean(block: npt.NDArray[numpy.float64]) -> float:
    """The mean of a block, in one pass."""
    return float(numpy.add.reduce(block)) / block.size


def mean_and_std(block: npt.NDArray[numpy.float64],
                 deviations: npt.NDArray[numpy.float64] | None = None) -> tuple[float, float]:
    """The mean and the (population) standard deviation of a block, as numpy's
    std() has it: from the deviations from the mean (in ``deviations`` when
    given), their squares summed by one dot product rather than made as an array."""
    average = mean(block)
    spread = numpy.subtract(block, average, out=deviations)
    return average, math.sqrt(float(numpy.dot(spread, spread)) / block.size)
