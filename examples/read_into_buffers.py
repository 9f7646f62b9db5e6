"""Everyday acquisition loops that allocate their buffers once.

Opens the instrument and a stream in ``with`` blocks (both are closed however
the blocks end), then reads blocks into arrays made before the loops:
calibrated power into one float64 buffer, and stream samples with their port
bits into a float32 and a uint8 buffer. Prints a line per block. On the
virtual instrument the light is set first; with a real one, remove that line.
"""

import numpy
import numpy.typing as npt

import zopy
from zopy import sim

BLOCK = 100_000
BLOCKS = 5


def mean_power(dev: zopy.Device, wavelength: float) -> list[float]:
    """Mean power of each block, in µW, read into one reused buffer."""
    power: npt.NDArray[numpy.float64] = numpy.empty(BLOCK)
    means = []
    for _ in range(BLOCKS):
        dev.get_calibrated_data(BLOCK, wavelength, out=power)
        means.append(float(power.mean()))
    return means


def stream_blocks(dev: zopy.Device) -> list[tuple[float, float]]:
    """(mean, share of samples with port S high) of each stream block."""
    samples = numpy.empty(BLOCK // 10, dtype=numpy.float32)
    bits = numpy.empty(BLOCK // 10, dtype=numpy.uint8)
    rows = []
    with dev.open_stream("float32") as stream:
        stream.downsampling = 10
        for _ in range(BLOCKS):
            data, port_bits = stream.acquire(samples.size, getbits=True, out=samples,
                                             bits_out=bits)
            rows.append((float(data.mean()), float((port_bits & 1).mean())))
    return rows


def main() -> None:
    sim.set_light(20.0, wavelength_nm=1550.0)
    sim.set_port_input("S", frequency_hz=1e3, duty=0.25)
    with zopy.Device() as dev:
        print(dev)
        for i, mean in enumerate(mean_power(dev, 1550.0)):
            print(f"block {i}: {mean:8.3f} uW")
        for i, (mean, high) in enumerate(stream_blocks(dev)):
            print(f"stream block {i}: {mean:8.3f} uW, port S high {high:4.0%}")


if __name__ == "__main__":
    main()
