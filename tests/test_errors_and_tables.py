"""Error and NoDeviceError; the constants, `errors` and the lookup tables."""

import pytest

import zopy.zopy as zz
from zopy import sim


class TestError:
    def test_without_message_it_reports_the_library_error(self):
        sim.set_error(33, b"transfer timed out")
        exc = zz.Error()
        assert (exc.err, exc.errstr) == (33, "transfer timed out")
        assert str(exc) == "libzo error (33): transfer timed out"
        assert exc.args == ("libzo error (33): transfer timed out",)

    @pytest.mark.parametrize("call", [lambda: zz.Error("bad port"), lambda: zz.Error(msg="bad port"),
                                      lambda: zz.Error(("bad port",))])
    def test_a_true_message_is_the_module_form_and_still_carries_the_library_error(self, call):
        sim.set_error(48, b"params")
        exc = call()
        assert str(exc) == "zopy error: bad port"
        assert (exc.err, exc.errstr) == (48, "params")

    @pytest.mark.parametrize("msg", ["", 0, None])
    def test_a_false_message_takes_the_library_form(self, msg):
        sim.set_error(-1, b"generic")
        assert str(zz.Error(msg)) == "libzo error (-1): generic"

    def test_an_empty_library_text_ends_the_message(self):
        sim.set_error(50, b"")
        exc = zz.Error()
        assert exc.errstr == "" and str(exc) == "libzo error (50): "

    def test_a_tuple_of_two_is_a_format_error(self):
        with pytest.raises(TypeError):
            zz.Error(("a", "b"))

    def test_invalid_utf8_text_fails_after_err_is_set(self):
        sim.set_error(51, b"\xff\xfe")
        with pytest.raises(UnicodeDecodeError):
            zz.Error()

    def test_too_many_arguments(self):
        with pytest.raises(TypeError):
            zz.Error("a", "b")

    def test_classes(self):
        assert issubclass(zz.NoDeviceError, zz.Error) and issubclass(zz.Error, Exception)
        assert zz.NoDeviceError.__doc__.startswith("Raised by :py:func:`Device.open` when no device")
        assert zz.Error.__doc__.startswith(
            "A class representing an `libzo` error.  This is raised whenever `libzo` gives "
            "and error in it's oporation.")
        assert "respectfully." in zz.Error.__doc__ and zz.Error.__doc__.endswith("\n    ")
        assert set(vars(zz.Error)) >= {"__init__", "__doc__"}

        class Mine(zz.Error):
            pass

        sim.set_error(1, b"x")
        assert str(Mine("m")) == "zopy error: m"


class TestTables:
    def test_sizes(self):
        assert len(zz.port_lookup) == 11
        assert len(zz.calibrationtype_lookup) == 17
        assert len(zz.usb_speed_lookup) == 5
        assert len(zz._trigger_mode_lookup) == 8
        assert zz.error_lookup == {}

    def test_port_table_in_order(self):
        assert list(zz.port_lookup.items()) == [
            (0, 0), (1, 1), (2, 2), (3, 3), ("A", 0), ("B", 1), ("S", 2), ("T", 3),
            ("LEDR", 4), ("LEDG", 5), ("LEDB", 6)]
        assert (zz.PORT_A, zz.PORT_B, zz.PORT_S, zz.PORT_T) == (0, 1, 2, 3)
        assert "s" not in zz.port_lookup

    def test_calibration_table_in_order(self):
        assert list(zz.calibrationtype_lookup.items()) == [
            (0, 0), (1, 1), (2, 2), (3, 3), (4, 4), ("digital highgain", 0),
            ("digital lowgain", 1), ("analog highgain", 2), ("analog lowgain", 3),
            ("balanced", 5), ("balanced digital", 5), ("balanced analog", 6),
            ("p1 digital", 7), ("p1 analog", 8), ("p2 digital", 9), ("p2 analog", 10),
            ("auto", 4)]
        assert (zz.CALIBRATION_DIGITAL_HIGHGAIN, zz.CALIBRATION_DIGITAL_LOWGAIN,
                zz.CALIBRATION_ANALOG_HIGHGAIN, zz.CALIBRATION_ANALOG_LOWGAIN,
                zz.CALIBRATION_DIGITAL_AUTO) == (0, 1, 2, 3, 4)

    def test_trigger_and_usb_tables(self):
        assert list(zz._trigger_mode_lookup.items()) == [
            (("s", "rising"), 1), (("s", "falling"), 2), (("s", "high"), 3), (("s", "low"), 4),
            (("t", "rising"), 5), (("t", "falling"), 6), (("t", "high"), 7), (("t", "low"), 8)]
        assert zz.usb_speed_lookup == {0: "unknown", 1: "low", 2: "full", 3: "high", 4: "super"}

    def test_error_codes(self):
        expected = [("ZO_SUCCESS", 0), ("ZO_ERROR", -1), ("ZO_ERROR_PARAMS", 48),
                    ("ZO_ERROR_MEMORY", 49), ("ZO_ERROR_INVALID_DEVICE", 50),
                    ("ZO_ERROR_BAD_CHECKSUM", 51), ("ZO_ERROR_DEVICE_SETTINGS", 52),
                    ("ZO_ERROR_NOT_IMPLEMENTED", 53), ("ZO_ERROR_FIRMWARE", 54),
                    ("ZO_ERROR_DATALOSS", 55), ("ZO_ERROR_USB", 32),
                    ("ZO_ERROR_USB_TIMEOUT", 33), ("ZO_ERROR_USB_SPEED", 34)]
        assert [(k, v) for k, v in vars(zz.errors).items() if k.startswith("ZO_")] == expected
        assert "error codes" in zz.errors.__doc__ and zz.errors.__bases__ == (object,)
        assert not hasattr(zz, "ZO_ERROR_USB")
