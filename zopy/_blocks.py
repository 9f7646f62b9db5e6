"""Fresh calibrated blocks for the frameworks' readings, read into one buffer
kept between reads (a block of 10**6 samples is 8 MB: not made anew each time)."""

from __future__ import annotations

import numpy
import numpy.typing as npt

import zopy


class BlockBuffer:
    """Reads blocks of calibrated power (µW) into a buffer it keeps; a block is
    valid until the next read. Not thread-safe: the caller serialises reads."""

    def __init__(self) -> None:
        self._buffer: npt.NDArray[numpy.float64] = numpy.empty(0)

    def read(self, device: zopy.Device, nsamples: int,
             wavelength_nm: float) -> npt.NDArray[numpy.float64]:
        """A fresh block of ``nsamples`` calibrated at ``wavelength_nm``."""
        if self._buffer.size != nsamples:
            self._buffer = numpy.empty(nsamples)
        return device.get_calibrated_data(nsamples, wavelength_nm, out=self._buffer)


def mean_and_std(block: npt.NDArray[numpy.float64]) -> tuple[float, float]:
    """The mean and the (population) standard deviation of a block."""
    return float(numpy.add.reduce(block)) / block.size, float(block.std())
