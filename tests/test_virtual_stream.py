"""The virtual instrument's streams: calibration, filtering, downsampling,
port bits, continuity between blocks, and their answers once the device is
gone, all through zopy.zopy.Stream."""

import contextlib
import math

import numpy
import pytest

import zopy
from zopy import sim

RATE = 10e6          # the default instrument's sample rate
CODES_PER_UW = 81.92  # high gain, at peak responsivity
OFFSET = 200          # dark code of a single-diode unit
PARAMS = zopy.errors.ZO_ERROR_PARAMS


@pytest.fixture(params=["f4", "f8"])
def dtype(request):
    return request.param


def open_streams(dev, dtype, count, **settings):
    """`count` streams opened at the same instrument time, set up alike."""
    streams = [dev.open_stream(dtype) for _ in range(count)]
    for s in streams:
        configure(s, **settings)
    return streams


def configure(s, mode=None, filter=None, cutoff=None, downsampling=None, decimation=None):
    if mode is not None:
        s.calibration_mode = mode
    if filter is not None:
        s.filter = filter
    if cutoff is not None:
        s.cutoff = cutoff
    if downsampling is not None:
        s.downsampling = downsampling
    if decimation is not None:
        s.set_decimation(decimation)


def amplitude(y, f, rate):
    """Least-squares amplitude of the sinusoid at f in y (plus a constant)."""
    w = 2 * numpy.pi * f / rate * numpy.arange(len(y))
    basis = numpy.column_stack([numpy.sin(w), numpy.cos(w), numpy.ones_like(w)])
    coef = numpy.linalg.lstsq(basis, numpy.asarray(y, dtype=float), rcond=None)[0]
    return math.hypot(coef[0], coef[1])


def butterworth_gain(f, fc, rate, kind="lowpass"):
    """|H| of the 4th-order Butterworth made with the prewarped bilinear transform."""
    w = math.tan(math.pi * f / rate) / math.tan(math.pi * fc / rate)
    lowpass = 1 / math.sqrt(1 + w ** 8)
    return lowpass if kind == "lowpass" else w ** 4 * lowpass


@contextlib.contextmanager
def raises_library_error(code, match=None):
    with pytest.raises(zopy.Error) as info:
        yield
    assert info.value.err == code, info.value
    assert match is None or match in info.value.errstr, info.value


class TestSettings:
    def test_defaults(self, dev, dtype):
        s = dev.open_stream(dtype)
        assert s.samplerate == RATE and s.samplesize == (4 if dtype == "f4" else 8)
        assert (s.calibration_mode, s.filter, s.downsampling) == ("auto", "none", 1)
        assert s.calibration_wavelength == dev.peak_responsivity
        assert s.calibration_units == -6
        assert s.cutoff == RATE / 10
        numpy.testing.assert_allclose(s.calibration, dev.get_calibration("auto"), rtol=1e-7)

    def test_downsampling_and_decimation_divide_the_rate(self, dev, dtype):
        s = dev.open_stream(dtype)
        s.downsampling = 10
        s.set_decimation(4)
        assert s.samplerate == RATE / 40 and s.downsampling == 10

    @pytest.mark.parametrize("setter, value", [
        ("set_downsampling", 0), ("set_downsampling", -3), ("set_decimation", 0),
        ("set_calibration_units", -9), ("set_calibration_units", 3),
        ("set_calibration_wavelength", 800.0), ("set_calibration_wavelength", 1800.0),
        ("set_calibration_wavelength", math.nan), ("set_calibration_wavelength", math.inf),
        ("set_calibration_wavelength", -5.0)])
    def test_bad_values_are_refused_and_not_kept(self, dev, setter, value):
        s = dev.open_stream()
        before = (s.downsampling, s.samplerate, s.calibration_units, s.calibration_wavelength)
        with raises_library_error(PARAMS):
            getattr(s, setter)(value)
        assert (s.downsampling, s.samplerate, s.calibration_units, s.calibration_wavelength) == before

    @pytest.mark.parametrize("setter, name, shown", [
        ("set_calibration_mode", "bogus", "bogus"), ("set_calibration_mode", "AUTO", "AUTO"),
        ("set_filter", "bandpass", "bandpass"), ("set_filter", "", ""),
        ("set_filter", b"low\xffpass", "low?pass")])
    def test_unknown_names_are_refused_by_name(self, dev, setter, name, shown):
        s = dev.open_stream()
        with raises_library_error(PARAMS, f"'{shown}'"):
            getattr(s, setter)(name)
        assert (s.calibration_mode, s.filter) == ("auto", "none")


class TestCalibration:
    def test_raw_mode_gives_the_instruments_codes(self, dev, dtype):
        sim.set_light(100.0, modulation_hz=12345.0, modulation_depth=0.3)
        s = dev.open_stream(dtype)
        s.calibration_mode = "raw"
        codes = s.acquire(5000)
        # The stream does not move the instrument's clock: the same samples.
        numpy.testing.assert_array_equal(codes, dev.get_raw_data(5000))
        numpy.testing.assert_array_equal(s.calibration, [1, 0])

    @pytest.mark.parametrize("units, scale", [(-6, 1.0), (-3, 1e-3), (0, 1e-6)])
    def test_auto_calibration_in_each_unit(self, dev, dtype, units, scale):
        sim.set_light(100.0, modulation_hz=12345.0, modulation_depth=0.3)
        s = dev.open_stream(dtype)
        s.calibration_units = units
        y = s.acquire(5000)
        m, b = dev.get_calibration("auto")
        expected = (dev.get_raw_data(5000) * m + b) * scale
        numpy.testing.assert_allclose(y, expected, rtol=1e-6, atol=1e-6 * scale)
        numpy.testing.assert_allclose(s.calibration, [m, b], rtol=1e-7)  # always uW

    def test_custom_pair_is_selected_and_used(self, dev, dtype):
        sim.set_light(40.0)
        s = dev.open_stream(dtype)
        s.calibration = [2.0, -1.0]
        assert s.calibration_mode == "custom"
        numpy.testing.assert_array_equal(s.calibration, [2.0, -1.0])
        s.calibration_units = -3
        numpy.testing.assert_allclose(s.acquire(1000), (dev.get_raw_data(1000) * 2.0 - 1.0) / 1000,
                                      rtol=1e-6)
        s.calibration_mode = "auto"  # the custom pair stays for later
        s.calibration_mode = "custom"
        numpy.testing.assert_array_equal(s.calibration, [2.0, -1.0])

    def test_wavelength_rescales_the_auto_pair(self, dev):
        s = dev.open_stream()
        s.calibration_wavelength = 1310.0
        assert s.calibration_wavelength == 1310.0
        numpy.testing.assert_allclose(s.calibration, dev.get_rel_calibration(1310.0, "auto"), rtol=1e-12)

    def test_update_reads_the_gain_again(self, dev):
        s = dev.open_stream()
        high = s.calibration.copy()
        dev.highgain = False
        numpy.testing.assert_array_equal(s.calibration, high)  # until asked
        s.update_auto_calibration()
        numpy.testing.assert_allclose(s.calibration, dev.get_calibration("auto"), rtol=1e-12)
        assert s.calibration[0] == pytest.approx(10 * high[0])


class TestFilter:
    @pytest.mark.parametrize("kind, fc, f", [
        ("lowpass", 100e3, 50e3), ("lowpass", 100e3, 100e3), ("lowpass", 100e3, 200e3),
        ("lowpass", 100e3, 400e3), ("lowpass", 2e6, 3e6), ("lowpass", 4.5e6, 4.8e6),
        ("highpass", 200e3, 100e3), ("highpass", 200e3, 400e3), ("highpass", 4e6, 4.5e6)])
    def test_response_matches_the_butterworth(self, dev, dtype, kind, fc, f):
        dev.antialias = False
        sim.set_light(100.0, modulation_hz=f, modulation_depth=0.5, noise=False)
        plain, filtered = open_streams(dev, dtype, 2)
        configure(filtered, filter=kind, cutoff=fc)
        n, settle = 1 << 17, 20000
        a_in = amplitude(plain.acquire(n)[settle:], f, RATE)
        a_out = amplitude(filtered.acquire(n)[settle:], f, RATE)
        expected = butterworth_gain(f, fc, RATE, kind)
        assert a_out / a_in == pytest.approx(expected, rel=3e-3, abs=2e-6)

    def test_filter_runs_before_averaging(self, dev, dtype):
        # 1.3 MHz averaged in groups of 10 lands on 300 kHz at 1 MS/s; it is
        # attenuated by the boxcar and by the low-pass at 1.3 MHz, which an
        # anti-alias filter must be.
        dev.antialias = False
        f, n_avg, fc = 1.3e6, 10, 200e3
        sim.set_light(100.0, modulation_hz=f, modulation_depth=0.5, noise=False)
        plain, averaged, filtered = open_streams(dev, dtype, 3)
        configure(averaged, downsampling=n_avg)
        configure(filtered, downsampling=n_avg, filter="lowpass", cutoff=fc)
        a_in = amplitude(plain.acquire(1 << 17), f, RATE)
        alias, out_rate = f - RATE / n_avg, RATE / n_avg
        boxcar = abs(math.sin(math.pi * f * n_avg / RATE) / (n_avg * math.sin(math.pi * f / RATE)))
        assert amplitude(averaged.acquire(1 << 14), alias, out_rate) / a_in == pytest.approx(boxcar, rel=1e-3)
        a_out = amplitude(filtered.acquire(1 << 14)[2000:], alias, out_rate)
        assert a_out / a_in == pytest.approx(boxcar * butterworth_gain(f, fc, RATE), rel=2e-2)

    @pytest.mark.parametrize("fc, n_avg", [(10e3, 1), (100.0, 1000)])
    def test_step_response(self, dev, dtype, fc, n_avg):
        # A 4th-order Butterworth overshoots a step by 10.8 % and then settles
        # on the new level exactly (unit gain at DC), even at fc = 1e-5 rate.
        sim.set_light(100.0, noise=False)
        s = dev.open_stream(dtype)
        configure(s, filter="lowpass", cutoff=fc, downsampling=n_avg)
        numpy.testing.assert_allclose(s.acquire(1000), 100.0, rtol=1e-9)  # starts at rest
        sim.set_light(50.0, noise=False)
        y = s.acquire(int(40 / fc * RATE / n_avg))
        assert (50.0 - y.min()) / 50.0 == pytest.approx(0.1083, abs=2e-3)
        assert y[-1] == pytest.approx(50.0, rel=2e-6)

    # 0.01 Hz and below (1e-9 of the rate): poles rounded onto z = 1, NaN out.
    @pytest.mark.parametrize("cutoff", [5e6, 6e6, 0.0, -1.0, math.nan, math.inf, 0.01, 1e-300])
    def test_bad_cutoff_fails_every_acquire_until_fixed(self, dev, dtype, cutoff):
        sim.set_light(10.0)
        s = dev.open_stream(dtype)
        s.filter = "lowpass"
        s.cutoff = cutoff  # the module ignores set_cutoff's status
        assert s.cutoff == cutoff or math.isnan(cutoff)
        for _ in range(2):
            with raises_library_error(PARAMS, f"cutoff {cutoff:g}"):
                s.acquire(10)
        s.filter = "none"
        assert s.acquire(10).shape == (10,)  # no filter, no cutoff to realise
        s.filter = "lowpass"
        s.cutoff = 1e6
        assert s.acquire(10).shape == (10,)

    def test_cutoff_is_checked_against_the_current_rate(self, dtype):
        dev = zopy.zopy._DDevice()
        try:
            s = dev.open_stream(dtype)
            configure(s, filter="lowpass", cutoff=2e6, downsampling=5)
            s.acquire(10)
            dev.set_clock_divide(4)  # 2.5 MS/s: Nyquist 1.25 MHz
            assert s.samplerate == 2.5e6 / 5
            with raises_library_error(PARAMS, "cutoff 2e+06"):
                s.acquire(10)
            s.cutoff = 1e6
            assert s.acquire(10).shape == (10,)
        finally:
            dev.close()


class TestDownsamplingAndBits:
    def test_groups_are_averaged_and_every_mth_kept(self, dev, dtype):
        sim.set_light(100.0, modulation_hz=54321.0, modulation_depth=0.4)
        raw, reduced = open_streams(dev, dtype, 2, mode="raw")
        configure(reduced, downsampling=4, decimation=3)
        assert reduced.samplerate == RATE / 12
        codes = raw.acquire(12 * 1000).astype(float)
        expected = codes.reshape(-1, 3, 4).mean(axis=2)[:, 2]  # the 3rd of every 3 groups
        numpy.testing.assert_allclose(reduced.acquire(1000), expected, rtol=1e-6)

    @pytest.mark.parametrize("n_avg, n_dec", [(1, 1), (4, 1), (4, 2), (7, 3)])
    def test_bits_follow_the_ports(self, dev, dtype, n_avg, n_dec):
        # S: a square wave of 32 samples, low for the first 16; T: high.
        sim.set_port_input("S", frequency_hz=RATE / 32, duty=0.5)
        sim.set_port_input("T", True)
        s = dev.open_stream(dtype)
        configure(s, downsampling=n_avg, decimation=n_dec)
        _, bits = s.acquire(500, getbits=True)
        last_input = (numpy.arange(500) + 1) * n_avg * n_dec - 1  # of each kept group
        numpy.testing.assert_array_equal(bits, 2 | ((last_input % 32) >= 16))


class TestContinuity:
    @pytest.mark.parametrize("settings", [
        {}, {"filter": "lowpass", "cutoff": 300e3},
        {"filter": "lowpass", "cutoff": 300e3, "downsampling": 3, "decimation": 2},
        {"filter": "highpass", "cutoff": 50e3, "downsampling": 10},
        {"filter": "lowpass", "cutoff": 1e3, "downsampling": 10000}])
    def test_blocks_join_without_gap_or_repeat(self, dev, dtype, settings):
        sim.set_light(100.0, modulation_hz=12345.0, modulation_depth=0.3)
        sim.set_port_input("S", frequency_hz=7777.0, duty=0.3)
        whole, pieces = open_streams(dev, dtype, 2, **settings)
        n = 1001 if settings.get("downsampling") == 10000 else 30011
        data, bits = whole.acquire(n, getbits=True)
        parts, part_bits, size = [], [], 1
        while sum(map(len, parts)) < n:
            d, b = pieces.acquire(min(size, n - sum(map(len, parts))), getbits=True)
            parts.append(d)
            part_bits.append(b)
            size = size * 3 + 1
        numpy.testing.assert_array_equal(numpy.concatenate(parts), data)
        numpy.testing.assert_array_equal(numpy.concatenate(part_bits), bits)

    def test_a_block_consumes_n_times_the_reduction(self, dev, dtype):
        # 100 outputs averaged by 10 take 1000 inputs; the next block starts
        # at input 1000, whatever the settings are by then.
        sim.set_light(100.0, modulation_hz=12345.0, modulation_depth=0.3)
        s = dev.open_stream(dtype)
        configure(s, mode="raw", downsampling=10)
        s.acquire(100)
        s.downsampling = 1
        numpy.testing.assert_array_equal(s.acquire(500), dev.get_raw_data(1500)[1000:])


class TestClosedDevice:
    def test_calls_fail_with_invalid_device(self, dev, dtype):
        s = dev.open_stream(dtype)
        dev.close()
        with raises_library_error(zopy.errors.ZO_ERROR_INVALID_DEVICE):
            s.acquire(10)
        with raises_library_error(zopy.errors.ZO_ERROR_INVALID_DEVICE):
            s.filter = "lowpass"
        assert s.samplerate == 0.0 and s.filter == "" and s.downsampling == 0
        s.close()

    def test_stale_after_reset(self, dev, dtype):
        s = dev.open_stream(dtype)
        sim.reset()
        with raises_library_error(zopy.errors.ZO_ERROR_INVALID_DEVICE):
            s.acquire(10)
        s.close()


class TestCallLog:
    def test_operations_are_logged_with_their_arguments(self, dev, serial, dtype):
        s = dev.open_stream(dtype)
        s.filter = "lowpass"
        s.cutoff = 1e5
        s.set_decimation(2)
        s.acquire(5)
        s.acquire(3, getbits=True)
        s.close()
        t = "float" if dtype == "f4" else "double"
        assert [c for c in sim.calls() if c[0] != "ZOGenericStream::read_samplesize"] == [
            (f"zo_open_stream<{t}>", serial),
            ("ZOGenericStream::set_filter", "lowpass"),
            ("ZOGenericStream::set_cutoff", 1e5),
            ("ZOGenericStream::set_decimation", 2),
            (f"ZOStream<{t}>::acquire", 5, 5, None),
            (f"ZOStream<{t}>::acquire", 3, 3, 3),
            ("zo_close_stream",)]

    def test_overrides_replace_answers(self, dev):
        s = dev.open_stream("f4")
        sim.override("ZOGenericStream::read_samplerate", 123.5)
        sim.override("ZOGenericStream::read_filter", b"scripted")
        sim.override("ZOGenericStream::read_calibration", (1.5, 2.5))
        sim.override("ZOGenericStream::set_downsampling", 0)
        sim.override("ZOStream<float>::acquire", 0x37, error=(0x37, "samples lost"))
        assert (s.samplerate, s.filter) == (123.5, "scripted")
        numpy.testing.assert_array_equal(s.calibration, [1.5, 2.5])
        s.downsampling = 0  # the scripted status, not the instrument's refusal
        with raises_library_error(0x37, "samples lost"):
            s.acquire(10)
        assert (s.samplerate, s.filter, s.downsampling) == (RATE, "none", 1)
