"""Stored calibrations, the responsivity curve and power in µW."""

import math

import numpy
import pytest

import zopy
from zopy import sim

import conftest


def names():
    return [c[0] for c in sim.calls()]


class TestStoredCalibrations:
    def test_default_is_auto(self, dev, serial):
        assert numpy.array_equal(dev.get_calibration(), dev.get_calibration("auto"))
        assert sim.calls() == [("zo_get_calibration", serial, 4)] * 2

    @pytest.mark.parametrize("kind, code", [
        ("digital highgain", 0), (zopy.CALIBRATION_ANALOG_LOWGAIN, 3), ("analog highgain", 2)])
    def test_type_codes(self, dev, serial, kind, code):
        calibration = dev.get_calibration(kind)
        assert calibration.dtype == numpy.float64 and calibration.shape == (2,)
        assert sim.calls() == [("zo_get_calibration", serial, code)]

    @pytest.mark.parametrize("kind", ["AUTO", "Auto", " auto", 11, "balanced digital "])
    def test_unknown_types_are_refused_before_the_library(self, dev, kind):
        with pytest.raises(zopy.Error) as info:
            dev.get_calibration(kind)
        assert str(info.value) == "zopy error: Invalid calibration type"
        assert names() == ["zo_get_error", "zo_get_error_string"]

    def test_unhashable_type(self, dev):
        with pytest.raises(TypeError):
            dev.get_calibration(["auto"])

    def test_type_is_checked_before_the_wavelength(self, dev):
        with pytest.raises(zopy.Error, match="Invalid calibration type"):
            dev.get_rel_calibration("not a number", "nope")
        with pytest.raises(ValueError):
            dev.get_rel_calibration("not a number")

    def test_rel_calibration_arguments(self, dev, serial):
        dev.get_rel_calibration(1310, type="digital lowgain")
        dev.get_rel_calibration(wavelength="1550.5")
        assert sim.calls() == [("zo_get_rel_calibration", serial, 1, 1310.0),
                               ("zo_get_rel_calibration", serial, 4, 1550.5)]

    def test_two_zeros_are_the_failure_value(self, dev):
        sim.override("zo_get_calibration", (0.0, 0.0), error=(48, "no such calibration"))
        with pytest.raises(zopy.Error, match=r"libzo error \(48\): no such calibration"):
            dev.get_calibration()
        sim.override("zo_get_rel_calibration", (0.0, 1.5))
        assert dev.get_rel_calibration(1310).tolist() == [0.0, 1.5]

    def test_the_table_of_the_moment_is_used(self, dev, serial, monkeypatch):
        monkeypatch.setitem(zopy.zopy.calibrationtype_lookup, "mine", 2)
        dev.get_calibration("mine")
        assert sim.calls() == [("zo_get_calibration", serial, 2)]


class TestResponsivity:
    def test_peak_is_one_and_the_band_ends(self, dev):
        assert dev.get_rel_responsivity(dev.peak_responsivity) == pytest.approx(1.0)
        assert 0.0 < dev.get_rel_responsivity(1310) < 1.0
        assert dev.get_rel_responsivity(400) == 0.0

    @pytest.mark.parametrize("wavelength", [float("inf"), -5.0, 0])
    def test_wavelengths_without_an_answer_fail(self, dev, wavelength):
        with pytest.raises(zopy.Error) as info:
            dev.get_rel_responsivity(wavelength)
        assert info.value.err == zopy.errors.ZO_ERROR_PARAMS

    def test_nan_from_the_library_is_returned(self, dev):
        sim.override("zo_get_rel_responsivity", float("nan"))
        assert math.isnan(dev.get_rel_responsivity(1550))

    def test_conversions(self, dev, serial):
        dev.get_rel_responsivity("1550")
        dev.get_rel_responsivity(b"1310")
        assert [c[2] for c in sim.calls()] == [1550.0, 1310.0]
        for bad, error in (("x", ValueError), (None, TypeError), (10**400, OverflowError)):
            with pytest.raises(error):
                dev.get_rel_responsivity(bad)


class TestCalibratedData:
    @pytest.fixture
    def lit(self):
        sim.set_light(50.0, 1310)

    def test_peak_calibration_without_wavelength(self, dev, serial, lit):
        dev.get_calibrated_data(10)
        assert names() == ["zo_get_raw_data", "zo_get_calibration"]
        dev.get_calibrated_data(10, 1550)
        assert sim.calls()[-1] == ("zo_get_rel_calibration", serial, 4, 1550.0)

    def test_result_is_float64_power(self, dev, lit):
        power = dev.get_calibrated_data(1000)
        assert power.dtype == numpy.float64 and power.shape == (1000,)

    def test_keywords_pass_through_to_get_raw_data(self, dev, lit):
        sim.set_port_input("S", True)
        calibration = dev.get_calibration()
        unmasked = dev.get_calibrated_data(100, mask=False)
        assert numpy.all(unmasked > 0x4000 * calibration[0] + calibration[1])
        with pytest.raises(TypeError):
            dev.get_calibrated_data(100, calibrationtype="auto")
        with pytest.raises(TypeError):
            dev.get_calibrated_data(100, 1310, 3)

    def test_failures_propagate(self, dev, lit):
        sim.override("zo_get_calibration", (0.0, 0.0))
        with pytest.raises(zopy.Error):
            dev.get_calibrated_data(10)

    @pytest.mark.parametrize("highgain", [True, False])
    @pytest.mark.parametrize("wavelength", [1000, 1310, 1550, 1650])
    def test_power_comes_back_in_microwatts(self, dev, highgain, wavelength):
        dev.highgain = highgain
        sim.set_light(50.0, wavelength)
        power = dev.get_calibrated_data(100_000, wavelength=wavelength)
        noise = power.std() / math.sqrt(power.size)
        assert abs(power.mean() - 50.0) < max(6 * noise, 0.05)
        assert abs(dev.get_calibrated_data(100_000).mean()
                   - 50.0 * dev.get_rel_responsivity(wavelength)) < 0.1


class Scripted(conftest.Scripted):
    raw = numpy.arange(3, dtype=numpy.int32) + 1


class TestArithmetic:
    def test_subclass_methods_are_used_and_numpy_does_the_rest(self):
        mine = Scripted(open=False)
        kwargs = {"mask": False}
        result = mine.get_calibrated_data(3, **kwargs)
        assert result.tolist() == [2.5, 4.5, 6.5]
        assert mine.seen == {"mask": False} and kwargs == {"mask": False}

    def test_a_list_calibration_goes_through_numpy(self):
        mine = Scripted(open=False)
        mine.raw = numpy.array([1, 2], dtype=numpy.uint16)
        mine.calibration = [3, 1]
        assert mine.get_calibrated_data(2, 1310).tolist() == [4.0, 7.0]

    def test_one_pass_gives_the_bits_of_numpy_two_steps(self):
        rng = numpy.random.default_rng(3)
        mine = Scripted(open=False)
        mine.raw = numpy.arange(65536, dtype=numpy.uint16)
        for _ in range(20):
            m, b = rng.normal(size=2) * 10.0 ** rng.integers(-8, 8, size=2)
            mine.calibration = numpy.array([m, b])
            expected = mine.raw * mine.calibration[0] + mine.calibration[1]
            got = mine.get_calibrated_data(65536)
            assert got.dtype == numpy.float64
            assert numpy.array_equal(got.view(numpy.uint64), expected.view(numpy.uint64))

    def test_other_shapes_and_dtypes_follow_numpy(self):
        mine = Scripted(open=False)
        mine.raw = numpy.arange(6, dtype=numpy.uint16).reshape(2, 3)[:, ::2]
        expected = mine.raw * mine.calibration[0] + mine.calibration[1]
        assert numpy.array_equal(mine.get_calibrated_data(4), expected)
        mine.raw = numpy.uint16(7)
        assert mine.get_calibrated_data(1) == 14.5
        mine.calibration = numpy.array([2.0, 0.5], dtype=numpy.float32)
        mine.raw = numpy.arange(3, dtype=numpy.uint16)
        assert mine.get_calibrated_data(3).dtype == (mine.raw * mine.calibration[0]).dtype
