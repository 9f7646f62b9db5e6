"""Over range: samples where the ADC sits at its limits, counted in any form of a block."""

import pytest

import zopy
from zopy import analysis, sim


def blocks(dev, n=20_000):
    """The same light as raw codes, calibrated power, a filtered stream's output in mW
    and a raw-mode stream's codes."""
    raw = dev.get_raw_data(n)
    power = dev.get_calibrated_data(n)
    with dev.open_stream("float32") as stream:
        stream.set_filter("lowpass")
        stream.cutoff = 100e3
        stream.calibration_units = -3
        out = stream.acquire(n)
        stream_limits = analysis.stream_limits(stream)
    with dev.open_stream("float32") as stream:
        stream.calibration_mode = "raw"     # codes as floats: limits None
        codes = stream.acquire(n)
        raw_limits = analysis.stream_limits(stream)
    return [(raw, None), (power, analysis.over_range_limits(dev.get_calibration())),
            (out, stream_limits), (codes, raw_limits)]


@pytest.mark.parametrize("light, highgain, balanced, expected", [
    (dict(power_uw=1000.0), True, False, "all"),        # far above the high gain's 200 µW
    (dict(power_uw=50.0), True, False, "none"),
    (dict(power_uw=1000.0), False, False, "none"),      # low gain takes 2 mW
    (dict(power_uw=0.0, p2_power_uw=500.0), True, True, "all"),   # P1 - P2 below the bottom
    (dict(power_uw=100.0, modulation_hz=1e3, modulation_depth=1.0), True, False, "some"),
])
def test_counted_alike_in_every_form(light, highgain, balanced, expected):
    if balanced:
        sim.detach_all()
        sim.attach("B1", balanced=True)
    sim.set_light(**light)
    with zopy.Device() as dev:
        dev.highgain = highgain
        for samples, limits in blocks(dev):
            count = analysis.over_range_samples(samples, limits)
            fraction = count / samples.size
            assert {"all": fraction > 0.99, "none": count == 0,
                    "some": 0.05 < fraction < 0.95}[expected], (expected, fraction, limits)


def test_port_bits_do_not_count():
    sim.set_port_input("S", True)
    with zopy.Device() as dev:
        raw = dev.get_raw_data(1000, mask=False)
    assert (raw >> 14).all() and analysis.over_range_samples(raw) == 0
