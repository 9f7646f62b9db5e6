"""Device: creation, opening, closing, destruction, identity, pickling."""

import copy
import gc
import pickle

import pytest

import zopy
from zopy import sim


READ_ERROR = [("zo_get_error",), ("zo_get_error_string",)]


def calls():
    """The library calls since the last clear, without the one-time zo_init."""
    return [c for c in sim.calls() if c != ("zo_init",)]


class TestLifecycle:
    def test_default_construction_opens_the_first_instrument(self, serial):
        dev = zopy.Device()
        assert calls() == [("zo_open_device",)]
        assert dev.isopen() and dev.serial == serial

    def test_construction_closed(self):
        dev = zopy.Device(open=False)
        assert not dev.isopen()
        dev.close()
        assert calls() == []

    def test_no_instrument_raises_no_device_error(self):
        sim.detach_all()
        with pytest.raises(zopy.NoDeviceError) as info:
            zopy.Device()
        assert str(info.value) == "zopy error: Could not find a device."
        assert isinstance(info.value, zopy.Error)

    @pytest.mark.parametrize("kwargs", [{"serial": "12"}, {}])
    def test_open_by_serial_substring(self, kwargs):
        sim.attach("AB-0012-X")
        args = () if kwargs else (True, "12")
        dev = zopy.Device(*args, **kwargs)
        assert calls() == [("zo_open_from_serial", "12")]
        assert dev.serial == "AB-0012-X"

    def test_an_open_instrument_is_not_found_twice(self):
        first = zopy.Device()
        with pytest.raises(zopy.NoDeviceError):
            zopy.Device()
        first.close()
        zopy.Device().close()

    def test_serial_without_encode_changes_nothing(self, dev):
        with pytest.raises(AttributeError):
            dev.open(b"12")
        assert dev.isopen() and calls() == []

    def test_serial_encoding_to_non_bytes_is_refused(self, dev):
        class Odd:
            def encode(self):
                return "not bytes"

        with pytest.raises(TypeError):
            dev.open(Odd())
        assert dev.isopen() and calls() == []

    def test_close_twice_calls_the_library_once(self, dev, serial):
        assert dev.close() is None
        assert dev.close() is None
        assert calls() == [("zo_close_device", serial)]
        assert not dev.isopen()

    def test_failed_reopen_leaves_the_device_closed(self, dev):
        with pytest.raises(zopy.NoDeviceError):
            dev.open("no such serial")
        assert not dev.isopen()

    def test_reopen_gives_the_old_handle_back_first(self, dev, serial):
        dev.open()
        assert dev.isopen() and dev.serial == serial
        assert calls()[:2] == [("zo_close_device", serial), ("zo_open_device",)]

    def test_destruction_closes_the_instrument(self, serial):
        dev = zopy.Device()
        sim.clear_calls()
        del dev
        gc.collect()
        assert calls() == [("zo_close_device", serial)]
        zopy.Device().close()   # it can be found again

    def test_destruction_during_unwinding_keeps_the_exception(self, serial):
        def fail():
            dev = zopy.Device()   # released while KeyError leaves the frame
            raise KeyError("pending")

        with pytest.raises(KeyError, match="pending"):
            fail()
        assert ("zo_close_device", serial) in calls()

    def test_a_closed_device_passes_a_null_handle(self):
        dev = zopy.Device(open=False)
        with pytest.raises(zopy.Error) as info:
            dev.samplerate
        assert info.value.err == zopy.errors.ZO_ERROR_INVALID_DEVICE
        assert calls() == [("zo_get_samplerate", None)] + READ_ERROR

    def test_argument_errors(self):
        with pytest.raises(TypeError):
            zopy.Device(True, None, 3)
        with pytest.raises(TypeError):
            zopy.Device(colour="red")
        dev = zopy.Device(open=False)
        with pytest.raises(TypeError):
            dev.close(1)
        with pytest.raises(TypeError):
            dev.isopen(x=1)

    def test_subclass_open_is_called_by_init(self):
        seen = []

        class Mine(zopy.Device):
            def open(self, serial=None):
                seen.append(serial)

        Mine(serial="XY")
        assert seen == ["XY"]

    def test_no_instance_dict(self):
        dev = zopy.Device(open=False)
        with pytest.raises(AttributeError):
            dev.anything = 1

    @pytest.mark.parametrize("cls", [zopy.Device, zopy.zopy._DDevice])
    def test_pickling_and_copying_are_refused(self, cls):
        dev = cls(open=False)
        for attempt in (pickle.dumps, copy.copy, copy.deepcopy, lambda d: d.__setstate__(None)):
            with pytest.raises(TypeError, match="no default __reduce__ due to non-trivial __cinit__"):
                attempt(dev)


class TestIdentity:
    def test_values_of_the_default_instrument(self, dev):
        assert dev.product == "KV310"
        assert dev.adcbits == 14
        assert dev.usb_speed == "high"
        assert isinstance(dev.samplerate, int) and dev.samplerate > 0
        assert isinstance(dev.fwversion, tuple) and len(dev.fwversion) == 3
        assert dev.peak_responsivity > 0

    def test_nothing_is_cached(self, dev, serial):
        dev.samplerate
        dev.samplerate
        assert calls() == [("zo_get_samplerate", serial)] * 2

    @pytest.mark.parametrize("prop, function, failure", [
        ("serial", "zo_get_serial", None),
        ("product", "zo_get_product", None),
        ("samplerate", "zo_get_samplerate", 4294967295),
        ("adcbits", "zo_get_adcbits", 255),
        ("fwversion", "zo_get_fwversion", (255, 255, 255)),
        ("usb_speed", "zo_get_usb_speed", -1),
        ("peak_responsivity", "zo_get_peak_responsivity", -2),
    ])
    def test_failure_values_raise_the_library_error(self, dev, prop, function, failure):
        sim.override(function, failure, error=(34, "usb speed"))
        with pytest.raises(zopy.Error) as info:
            getattr(dev, prop)
        assert (info.value.err, info.value.errstr) == (34, "usb speed")
        assert str(info.value) == "libzo error (34): usb speed"

    @pytest.mark.parametrize("prop, function, answer, expected", [
        ("samplerate", "zo_get_samplerate", 4294967294, 4294967294),
        ("samplerate", "zo_get_samplerate", 0, 0),
        ("adcbits", "zo_get_adcbits", 254, 254),
        ("fwversion", "zo_get_fwversion", (255, 255, 0), (255, 255, 0)),
        ("fwversion", "zo_get_fwversion", (1, 2, 3), (1, 2, 3)),
        ("usb_speed", "zo_get_usb_speed", 4, "super"),
        ("peak_responsivity", "zo_get_peak_responsivity", 0, 0),
        ("serial", "zo_get_serial", "µ-1".encode(), "µ-1"),
    ])
    def test_values_next_to_the_failure_value_pass(self, dev, prop, function, answer, expected):
        sim.override(function, answer)
        assert getattr(dev, prop) == expected

    def test_unknown_usb_speed_is_a_key_error(self, dev):
        sim.override("zo_get_usb_speed", 7)
        with pytest.raises(KeyError):
            dev.usb_speed

    def test_usb_speed_uses_the_table_of_the_moment(self, dev, monkeypatch):
        monkeypatch.setitem(zopy.zopy.usb_speed_lookup, 3, "very high")
        assert dev.usb_speed == "very high"

    def test_invalid_utf8_serial(self, dev):
        sim.override("zo_get_serial", b"\xff")
        with pytest.raises(UnicodeDecodeError):
            dev.serial

    def test_read_only(self, dev):
        with pytest.raises(AttributeError):
            dev.serial = "x"
        with pytest.raises(AttributeError):
            del dev.samplerate

    def test_repr(self, dev):
        sim.override("zo_get_product", b"KV310")
        sim.override("zo_get_serial", b"A1")
        assert repr(dev) == "KV310. SN: A1"

    def test_repr_propagates_failures(self):
        with pytest.raises(zopy.Error):
            repr(zopy.Device(open=False))

    def test_docstrings(self):
        assert zopy.Device.serial.__doc__.startswith("str: The serial number of the device.")
        assert zopy.Device.__doc__.startswith("Device(open=True, serial=None)\n")
        assert "Represents a Corvane KV310 device." in zopy.Device.__doc__
        assert "Read only." in zopy.Device.usb_speed.__doc__
