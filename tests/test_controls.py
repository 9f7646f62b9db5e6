"""Device controls: front-end switches, digital ports and LEDs, test patterns, reset."""

import pytest
from conftest import assert_library_error, calls

import zopy
from zopy import sim

INVALID_DEVICE = zopy.errors.ZO_ERROR_INVALID_DEVICE


class Truthless:
    """An object whose truth test fails."""

    def __bool__(self):
        raise ZeroDivisionError("no truth")


@pytest.fixture
def balanced():
    """A balanced instrument, opened (it has the power monitor switches)."""
    sim.attach("KVB0001", balanced=True)
    device = zopy.Device(serial="KVB")
    sim.clear_calls()
    yield device
    device.close()


# property, library read, library set, key in the instrument's state
SWITCHES = [
    ("highgain", "zo_read_highgain", "zo_set_highgain", "highgain"),
    ("antialias", "zo_read_antialias", "zo_set_antialias", "antialias"),
    ("powerdown", "zo_read_powerdown", "zo_set_powerdown", "powerdown"),
    ("adcclock", "zo_read_adcclock", "zo_set_adcclock", "adcclock"),
    ("p1_select", "zo_read_p1_monitor", "zo_set_p1_monitor", "p1_monitor"),
    ("p2_select", "zo_read_p2_monitor", "zo_set_p2_monitor", "p2_monitor"),
]
BOOL_SWITCHES = [s for s in SWITCHES if s[0] != "highgain"]


class TestSwitches:
    @pytest.mark.parametrize("name, read, set_, key", SWITCHES)
    def test_round_trip_through_the_instrument(self, balanced, name, read, set_, key):
        for wanted in (False, True, False):
            setattr(balanced, name, wanted)
            assert sim.state(serial="KVB0001")[key] is wanted
            assert getattr(balanced, name) == wanted
        assert calls()[:2] == [(set_, "KVB0001", False), (read, "KVB0001")]

    def test_highgain_reads_as_the_library_int(self, dev):
        sim.override("zo_read_highgain", 2)
        value = dev.read_highgain()
        assert value == 2 and type(value) is int
        sim.override("zo_read_highgain", 1)
        assert type(dev.highgain) is int
        sim.override("zo_read_highgain", 0)
        value = dev.highgain
        assert value == 0 and type(value) is int

    @pytest.mark.parametrize("name, read, set_, key", BOOL_SWITCHES)
    @pytest.mark.parametrize("answer, expected", [(0, False), (1, True), (2, True), (2**31 - 1, True)])
    def test_other_switches_read_as_bool(self, dev, name, read, set_, key, answer, expected):
        sim.override(read, answer)
        assert getattr(dev, "read_" + name)() is expected

    @pytest.mark.parametrize("name, read, set_, key", SWITCHES)
    @pytest.mark.parametrize("answer", [-1, -48])
    def test_negative_read_is_the_library_error(self, dev, name, read, set_, key, answer):
        sim.override(read, answer, error=(52, "settings"))
        with pytest.raises(zopy.Error) as info:
            getattr(dev, name)
        assert_library_error(info, 52, "settings")

    @pytest.mark.parametrize("name, read, set_, key", SWITCHES)
    @pytest.mark.parametrize("status", [1, -1, 48])
    def test_any_nonzero_set_status_is_the_library_error(self, dev, name, read, set_, key, status):
        sim.override(set_, status, error=(33, "timeout"))
        with pytest.raises(zopy.Error) as info:
            getattr(dev, "set_" + name)(True)
        assert_library_error(info, 33, "timeout")

    @pytest.mark.parametrize("value, level", [
        (True, True), (False, False), ("no", True), (0, False), (None, False), ("", False),
        ([], False), ([0], True), (0.0, False), (-3, True)])
    def test_set_takes_the_truth_value(self, dev, serial, value, level):
        assert dev.set_antialias(value) is None
        dev.powerdown = value
        assert calls() == [("zo_set_antialias", serial, level), ("zo_set_powerdown", serial, level)]

    def test_failing_truth_test_makes_no_call(self, dev):
        with pytest.raises(ZeroDivisionError):
            dev.set_highgain(Truthless())
        with pytest.raises(ZeroDivisionError):
            dev.adcclock = Truthless()
        assert calls() == []

    def test_arguments(self, dev, serial):
        dev.set_adcclock(enable=False)
        assert calls() == [("zo_set_adcclock", serial, False)]
        for bad in (lambda: dev.set_adcclock(), lambda: dev.set_adcclock(1, 2),
                    lambda: dev.set_adcclock(value=1), lambda: dev.read_adcclock(1)):
            with pytest.raises(TypeError):
                bad()
        assert len(calls()) == 1

    def test_properties_have_no_deleter(self, dev):
        with pytest.raises(AttributeError):
            del dev.highgain

    @pytest.mark.parametrize("name, read, set_, key", SWITCHES)
    def test_closed_device_passes_a_null_handle(self, name, read, set_, key):
        dev = zopy.Device(open=False)
        for attempt in (lambda: getattr(dev, name), lambda: setattr(dev, name, True)):
            with pytest.raises(zopy.Error) as info:
                attempt()
            assert info.value.err == INVALID_DEVICE
        assert calls() == [(read, None), (set_, None, True)]

    def test_monitors_on_a_single_diode_unit_are_refused_by_the_library(self, dev):
        with pytest.raises(zopy.Error) as info:
            dev.p1_select = True
        assert info.value.err == zopy.errors.ZO_ERROR_NOT_IMPLEMENTED

    def test_class_layout_and_documentation(self):
        names = list(vars(zopy.Device))
        for name, *_ in SWITCHES:
            at = names.index(name)
            assert names[at - 2:at] == ["read_" + name, "set_" + name]
            prop = vars(zopy.Device)[name]
            assert isinstance(prop, property)
            assert prop.__doc__ == getattr(zopy.Device, "read_" + name).__doc__
            assert getattr(zopy.Device, "set_" + name).__doc__.startswith(f"set_{name}(enable)\n")
            assert prop.__doc__.rstrip().endswith("Readable and Writeable.")
        order = [names.index(s[0]) for s in SWITCHES]
        assert order == sorted(order)
        doc = zopy.Device.highgain.__doc__
        assert doc.startswith("bool: Control the `highgain` feature of the KV310\n")
        assert ":cpp:func:`zo_set_highgain`" in doc
        assert zopy.Device.p2_select.__doc__.startswith(
            "bool: Control the `p2_select` feature of the KV310 Balanced photodetector. "
            "(KV310 Balanced Photodetector only)")
        assert "16th bit" in zopy.Device.p2_select.__doc__


PORTS = [("A", 0), ("B", 1), ("S", 2), ("T", 3), ("LEDR", 4), ("LEDG", 5), ("LEDB", 6),
         (zopy.PORT_A, 0), (zopy.PORT_S, 2), (zopy.PORT_T, 3), (2, 2), (True, 1)]
INVALID_PORTS = ["a", "s", "Z", " A", "A ", "ledr", 7, -1, None, "2", 2.5, b"A"]


class TestPorts:
    @pytest.mark.parametrize("port, code", PORTS)
    def test_each_key_of_the_table_names_its_port(self, dev, serial, port, code):
        dev.port_drive(port, False)
        dev.port_pwm(port, 3, 10)
        dev.port_pulse(port, 4)
        dev.port_read(port)
        assert calls() == [("zo_port_drive", serial, code, False),
                           ("zo_port_pwm", serial, code, 3, 10),
                           ("zo_port_pulse", serial, code, 4),
                           ("zo_port_read", serial, code)]

    @pytest.mark.parametrize("port", INVALID_PORTS)
    def test_unknown_ports(self, dev, port):
        for attempt in (lambda: dev.port_drive(port, True), lambda: dev.port_pulse(port, 1),
                        lambda: dev.port_read(port)):
            with pytest.raises(zopy.Error) as info:
                attempt()
            assert str(info.value) == "zopy error: invalid port"
        with pytest.raises(ValueError) as info:
            dev.port_pwm(port, 10, 20)
        assert str(info.value) == "invalid port"
        assert not isinstance(info.value, zopy.Error)
        assert calls() == []

    def test_the_port_is_checked_before_the_other_arguments(self, dev):
        with pytest.raises(ValueError, match="^invalid port$"):
            dev.port_pwm("Z", -1, "x")
        with pytest.raises(zopy.Error, match="invalid port"):
            dev.port_pulse("Z", -1)
        with pytest.raises(zopy.Error, match="invalid port"):
            dev.port_drive("Z", Truthless())
        assert calls() == []

    def test_unhashable_port(self, dev):
        with pytest.raises(TypeError):
            dev.port_read(["A"])
        assert calls() == []

    def test_the_table_of_the_moment_is_used(self, dev, serial, monkeypatch):
        table = dict(zopy.zopy.port_lookup, X=6)
        del table["A"]
        monkeypatch.setattr(zopy.zopy, "port_lookup", table)
        dev.port_drive("X", True)
        assert calls() == [("zo_port_drive", serial, 6, True)]
        with pytest.raises(zopy.Error, match="invalid port"):
            dev.port_read("A")
        monkeypatch.setattr(zopy.zopy, "port_lookup", {"only": 1})
        dev.port_pulse("only", 5)
        assert calls()[-1] == ("zo_port_pulse", serial, 1, 5)
        with pytest.raises(ValueError, match="invalid port"):
            dev.port_pwm("B", 1, 2)

    def test_table_value_outside_int_range(self, dev, monkeypatch):
        monkeypatch.setattr(zopy.zopy, "port_lookup", {"X": 2**31})
        with pytest.raises(OverflowError):
            dev.port_read("X")
        assert calls() == []

    @pytest.mark.parametrize("given, passed", [
        (0, 0), (4294967295, 4294967295), (2.9, 2), ("12", 12), (True, 1)])
    def test_durations_go_through_int(self, dev, serial, given, passed):
        sim.override("zo_port_pwm", 0)   # the instrument refuses a zero period
        dev.port_pulse("B", given)
        dev.port_pwm("B", given, given)
        assert calls() == [("zo_port_pulse", serial, 1, passed),
                           ("zo_port_pwm", serial, 1, passed, passed)]

    @pytest.mark.parametrize("bad, error", [
        (-1, OverflowError), (4294967296, OverflowError), (2**64, OverflowError),
        (None, TypeError), ("x", ValueError), ([], TypeError), (float("nan"), ValueError)])
    def test_bad_durations_make_no_call(self, dev, bad, error):
        for attempt in (lambda: dev.port_pulse("A", bad), lambda: dev.port_pwm("A", bad, 10),
                        lambda: dev.port_pwm("A", 10, bad)):
            with pytest.raises(error):
                attempt()
        assert calls() == []

    def test_negative_duration_message(self, dev):
        with pytest.raises(OverflowError) as info:
            dev.port_pulse("A", -1)
        assert str(info.value) == "can't convert negative value to uint32_t"

    def test_threshold_is_converted_before_period(self, dev):
        with pytest.raises(ValueError):
            dev.port_pwm("A", "x", -1)
        with pytest.raises(OverflowError):
            dev.port_pwm("A", -1, "x")

    def test_durations_are_passed_unjudged(self, dev, serial):
        dev.port_pwm("A", 30, 10)
        sim.override("zo_port_pwm", 0)
        dev.port_pwm("A", 0, 0)
        assert calls() == [("zo_port_pwm", serial, 0, 30, 10), ("zo_port_pwm", serial, 0, 0, 0)]

    @pytest.mark.parametrize("value, level", [
        (True, True), (1, True), ("no", True), (False, False), (None, False), ([], False)])
    def test_drive_takes_the_truth_value(self, dev, serial, value, level):
        dev.port_drive("A", value)
        assert calls() == [("zo_port_drive", serial, 0, level)]

    def test_drive_value_truth_failure(self, dev):
        with pytest.raises(ZeroDivisionError):
            dev.port_drive("A", Truthless())
        assert calls() == []

    @pytest.mark.parametrize("answer, level", [(0, False), (1, True), (5, True)])
    def test_read_gives_a_bool(self, dev, answer, level):
        sim.override("zo_port_read", answer)
        assert dev.port_read("S") is level

    @pytest.mark.parametrize("method, function, args, failure", [
        ("port_drive", "zo_port_drive", ("A", True), 1),
        ("port_drive", "zo_port_drive", ("A", True), -1),
        ("port_pwm", "zo_port_pwm", ("A", 1, 2), 1),
        ("port_pulse", "zo_port_pulse", ("A", 1), -48),
        ("port_read", "zo_port_read", ("A",), -1),
    ])
    def test_library_failure(self, dev, method, function, args, failure):
        sim.override(function, failure, error=(52, "settings"))
        with pytest.raises(zopy.Error) as info:
            getattr(dev, method)(*args)
        assert_library_error(info, 52, "settings")

    def test_commands_return_none(self, dev):
        assert dev.port_drive("A", True) is None
        assert dev.port_pwm("A", 1, 2) is None
        assert dev.port_pulse("A", 1) is None

    def test_closed_device_passes_a_null_handle(self):
        dev = zopy.Device(open=False)
        for attempt in (lambda: dev.port_drive("A", 1), lambda: dev.port_pwm("A", 1, 2),
                        lambda: dev.port_pulse("A", 1), lambda: dev.port_read("A")):
            with pytest.raises(zopy.Error) as info:
                attempt()
            assert info.value.err == INVALID_DEVICE
        assert calls() == [("zo_port_drive", None, 0, True), ("zo_port_pwm", None, 0, 1, 2),
                           ("zo_port_pulse", None, 0, 1), ("zo_port_read", None, 0)]

    def test_driving_and_reading_the_instrument(self, dev):
        dev.port_drive("A", True)
        assert dev.port_read("A") is True
        assert sim.port_state("A")["direction"] == "output"
        dev.port_drive("A", False)
        assert dev.port_read(zopy.PORT_A) is False

    def test_reading_an_input(self, dev):
        sim.set_port_input("T", True)
        assert dev.port_read(zopy.PORT_T) is True
        sim.set_port_input("T", False)
        assert dev.port_read("T") is False

    def test_leds(self, dev):
        dev.port_drive("LEDG", 1)
        dev.port_pwm("LEDR", 1, 4)
        assert sim.leds() == {"R": 0.25, "G": 1.0, "B": 0.0}

    def test_keywords_and_argument_counts(self, dev, serial):
        dev.port_drive(port="B", value=True)
        dev.port_pwm(port="B", threshold=2, period=3)
        dev.port_pulse(port="B", threshold=4)
        dev.port_read(port="B")
        assert calls() == [("zo_port_drive", serial, 1, True), ("zo_port_pwm", serial, 1, 2, 3),
                           ("zo_port_pulse", serial, 1, 4), ("zo_port_read", serial, 1)]
        for bad in (lambda: dev.port_drive("A"), lambda: dev.port_drive("A", 1, 2),
                    lambda: dev.port_pwm("A", 1), lambda: dev.port_pulse("A", cycles=1),
                    lambda: dev.port_read(), lambda: dev.port_read("A", port="A")):
            with pytest.raises(TypeError):
                bad()
        assert len(calls()) == 4

    def test_documentation(self):
        assert zopy.Device.port_drive.__doc__.startswith(
            "port_drive(self, port, value)\n\n        Drive a logic signal to a port.\n")
        assert zopy.Device.port_pwm.__doc__.startswith("port_pwm(self, port, threshold, period)\n")
        assert zopy.Device.port_pulse.__doc__.startswith("port_pulse(self, port, threshold)\n")
        doc = zopy.Device.port_read.__doc__
        assert doc.startswith("port_read(self, port)\n\n        Read the logic level applied to the port.")
        assert "Returns:" in doc and "bool: The measured logic level" in doc


class TestPatternsAndReset:
    @pytest.mark.parametrize("method, function", [
        ("test_pn9", "zo_test_pn9"), ("test_checkerboard", "zo_test_checkerboard"),
        ("test_normal", "zo_test_normal")])
    def test_pattern_commands_ignore_the_answer(self, dev, serial, method, function):
        assert getattr(dev, method)() is None
        sim.override(function, -1, error=(53, "not implemented"))
        assert getattr(dev, method)() is None
        assert calls() == [(function, serial)] * 2

    def test_pattern_commands_on_a_closed_device_do_not_raise(self):
        dev = zopy.Device(open=False)
        assert dev.test_pn9() is None
        assert dev.test_checkerboard() is None
        assert dev.test_normal() is None
        assert dev.test_user(1) is None
        assert calls() == [("zo_test_pn9", None), ("zo_test_checkerboard", None),
                           ("zo_test_normal", None), ("zo_test_user", None, 1)]

    @pytest.mark.parametrize("given, passed", [
        (0, 0), (65535, 65535), (1.9, 1), ("7", 7), (True, 1), (-0.5, 0)])
    def test_user_sample_goes_through_int(self, dev, serial, given, passed):
        dev.test_user(given)
        dev.test_user(sample=given)
        assert calls() == [("zo_test_user", serial, passed)] * 2

    @pytest.mark.parametrize("bad, error, message", [
        (65536, OverflowError, "value too large to convert to uint16_t"),
        (2**70, OverflowError, None),
        (-1, OverflowError, "can't convert negative value to uint16_t"),
        (None, TypeError, None), ("x", ValueError, None), ("1.5", ValueError, None)])
    def test_user_sample_refused(self, dev, bad, error, message):
        with pytest.raises(error) as info:
            dev.test_user(bad)
        if message:
            assert str(info.value) == message
        assert calls() == []

    def test_user_pattern_reaches_the_samples(self, dev):
        dev.test_user(0x1234)
        assert set(dev.get_raw_data(50).tolist()) == {0x1234}
        dev.test_normal()
        assert len(set(dev.get_raw_data(200).tolist())) > 1

    def test_pattern_arguments(self, dev):
        for bad in (lambda: dev.test_pn9(1), lambda: dev.test_user(), lambda: dev.test_user(1, 2),
                    lambda: dev.test_user(value=1), lambda: dev.reset(True)):
            with pytest.raises(TypeError):
                bad()
        assert calls() == []

    def test_reset_keeps_the_device_open(self, dev, serial):
        dev.highgain = False
        assert dev.reset() is None
        assert dev.isopen()
        assert dev.highgain == 1   # the instrument is back at its power-on settings
        assert calls() == [("zo_set_highgain", serial, False), ("zo_reset_device", serial),
                           ("zo_read_highgain", serial)]

    @pytest.mark.parametrize("status", [1, -1])
    def test_reset_failure(self, dev, status):
        sim.override("zo_reset_device", status, error=(32, "usb"))
        with pytest.raises(zopy.Error) as info:
            dev.reset()
        assert_library_error(info, 32, "usb")
        assert dev.isopen()

    def test_reset_of_a_closed_device(self):
        with pytest.raises(zopy.Error) as info:
            zopy.Device(open=False).reset()
        assert info.value.err == INVALID_DEVICE
        assert calls() == [("zo_reset_device", None)]

    def test_documentation(self):
        assert zopy.Device.reset.__doc__ == "Resets the attached device."
        for name in ("test_pn9", "test_checkerboard", "test_normal"):
            assert getattr(zopy.Device, name).__doc__.startswith(f"{name}()\n")
        assert zopy.Device.test_user.__doc__.startswith("test_user(sample)\n")
