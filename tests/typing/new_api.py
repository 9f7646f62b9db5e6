"""Type-checked with mypy --strict (tests/test_typing.py): what the stubs say
the everyday-use API returns."""

from typing import Any, assert_type

import numpy
import numpy.typing as npt

import zopy

Samples = npt.NDArray[numpy.floating[Any]]
Bits = npt.NDArray[numpy.uint8]


def read_blocks(serial: str | None, getbits: bool) -> None:
    raw = numpy.empty(100, numpy.uint16)
    power = numpy.empty(100)
    data = numpy.empty(100, numpy.float32)
    bits = numpy.empty(100, numpy.uint8)
    with zopy.Device(serial=serial) as dev:
        assert_type(dev, zopy.Device)
        assert_type(dev.get_raw_data(100, out=raw), npt.NDArray[numpy.uint16])
        assert_type(dev.get_calibrated_data(100, 1550, out=power, mask=False),
                    npt.NDArray[numpy.float64])
        with dev.open_stream("float32") as stream:
            assert_type(stream, zopy.Stream)
            assert_type(stream.acquire(100), Samples)
            assert_type(stream.acquire(100, out=data), Samples)
            assert_type(stream.acquire(100, getbits=True), tuple[Samples, Bits])
            samples, port_bits = stream.acquire(100, True, out=data, bits_out=bits)
            assert_type(port_bits, Bits)
            assert_type(stream.acquire(100, getbits), Samples | tuple[Samples, Bits])
    assert_type(zopy.__version__, str)
